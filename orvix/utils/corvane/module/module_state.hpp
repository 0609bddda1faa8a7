// The process-wide state of orvix.utils.corvane.corvane.
//
// Written once by the module's create and exec steps on the importing
// thread, read-only afterwards: any thread holding the interpreter lock may
// read the object references, and native threads may read the plain data
// (the ring's table, the imported C functions) without it.
//
//     const auto& st = orvix::corvane::state();
//     PyObject* q = PyObject_Call((PyObject*)st.spscqueue_type, args, kwargs);
//     int r = orvix_spscqueue_vtable(q)->push(q, data, size);
//
// Calls into a ring always go through the queue object's own table pointer
// (orvix_spscqueue_vtable), never through `spscqueue_vtable`, which is only
// the proof taken at import that the type publishes one.
#pragma once

#include <Python.h>

#include "orvix/common/conversions.h"
#include "orvix/ringq/ringq.h"

namespace orvix::corvane {

struct ModuleState {
    // Owned, so that a class reached after a failed import (whose module
    // object is gone) still finds a live dictionary.
    PyObject* module_dict = nullptr;
    PyObject* builtins = nullptr;

    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* pickle_checksum = nullptr;   // 0xe6d5d6e, AsyncQueue's state checksum

    PyObject* none_triple = nullptr;       // (None, None, None): arguments of __aexit__
    PyObject* localhost_defaults = nullptr;  // ('127.0.0.1',): __defaults__ of the setups

    PyTypeObject* spscqueue_type = nullptr;
    const OrvixSPSCQueueVTable* spscqueue_vtable = nullptr;
    PyTypeObject* type_type = nullptr;

    // The buffer conversions of orvix.common (results and ownership rules
    // in orvix/common/conversions.h).
    orvix_obj_to_cbuf_fn obj_to_cbuf = nullptr;
    orvix_buf_to_cbuf_fn buf_to_cbuf = nullptr;
    orvix_str_to_cbuf_fn str_to_cbuf = nullptr;
};

namespace detail {
extern ModuleState module_state;
}

inline const ModuleState& state() noexcept { return detail::module_state; }

// Looks `name` up as module code would: the module's globals, then builtins.
// Returns a new reference, or null with NameError "name '<name>' is not
// defined" (or the lookup's own error).
PyObject* lookup_global(PyObject* name);

}  // namespace orvix::corvane
