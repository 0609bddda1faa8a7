// Installing a class's own __reduce__ / __setstate__.
#pragma once

#include <Python.h>

namespace orvix::corvane {

// Stores `reduce` under __reduce__ and `setstate` under __setstate__ in the
// class dictionary, unless the class already customises pickling (its own
// __getstate__, or a __reduce_ex__ / __reduce__ other than object's), in
// which case it is left alone. Returns 0, or -1 with the failing lookup's
// exception (RuntimeError "Unable to initialize pickling for <type name>"
// when there is none).
int install_pickling_hooks(PyTypeObject* type, const PyMethodDef* reduce, const PyMethodDef* setstate);

}  // namespace orvix::corvane
