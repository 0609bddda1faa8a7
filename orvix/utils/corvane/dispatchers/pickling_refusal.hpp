// __reduce__() and __setstate__(state) of the dispatchers: both raise
// TypeError "no default __reduce__ due to non-trivial __cinit__" (after
// __setstate__ has checked that it got exactly one argument).
#pragma once

#include <Python.h>

namespace orvix::corvane {

extern const PyMethodDef refuse_reduce_def;
extern const PyMethodDef refuse_setstate_def;

}  // namespace orvix::corvane
