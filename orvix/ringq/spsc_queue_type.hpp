// The SPSCQueue Python type of orvix.ringq.ringq.
#pragma once

#include <Python.h>

namespace orvix::ringq {

// Creates the SPSCQueue type for `module`, with its C-level method table
// published as an unnamed capsule under "__qvx_vtable__" in the class
// dictionary. Returns a new reference, or nullptr with an exception set.
PyObject* make_spsc_queue_type(PyObject* module);

}  // namespace orvix::ringq
