// Deallocation of a dispatcher through its `close`.
#pragma once

#include <Python.h>

namespace orvix::corvane {

// The first half of a dispatcher's tp_dealloc. Runs a finalizer that has not
// run yet, untracks the object, and calls `close(self)` with the pending
// exception set aside and the object kept alive for the call, so an override
// in Python sees a live object. An exception that `close` leaves is printed
// and passed to the unraisable hook with "<owner>.__dealloc__". Returns false
// when the finalizer or the close resurrected the object (deallocation must
// stop there); otherwise the caller releases its fields and frees the memory.
bool close_for_dealloc(PyObject* self, destructor own_dealloc, void (*close)(PyObject*), PyTypeObject* owner);

// The `skip_override` for the close that deallocation runs through the
// table: 0, except for an instance of a Python subclass that the collector
// tore down together with its instances. Such a class has lost its
// dictionary and MRO, so no override can be looked up (the lookup would fail
// with AttributeError); the class's own close runs instead.
inline int dealloc_skip_override(PyObject* self) noexcept { return Py_TYPE(self)->tp_mro == nullptr; }

}  // namespace orvix::corvane
