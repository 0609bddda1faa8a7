#include "orvix/utils/corvane/dispatchers/dispatcher_deallocation.hpp"

#include "cpython_support/errors.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"

namespace orvix::corvane {

bool close_for_dealloc(PyObject* self, destructor own_dealloc, void (*close)(PyObject*), PyTypeObject* owner) {
    PyTypeObject* type = Py_TYPE(self);
    // A Python subclass's __del__ has already run in the subclass's own
    // deallocator; this catches the remaining case of a finalizer that
    // reaches here first.
    if (type->tp_finalize && type->tp_dealloc == own_dealloc && !PyObject_GC_IsFinalized(self)) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return false;   // resurrected
    }
    PyObject_GC_UnTrack(self);
    // The collector may be tearing down the subclass together with this
    // object: it empties the class's __dict__ (releasing an override of
    // close) without telling the class, whose attribute cache would then
    // hand the lookup below a freed function. Dropping the cache makes the
    // lookup read the dictionaries as they are now.
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) PyType_Modified(type);
    py::SavedError saved;
    // The count is 0 here; the call below makes and drops references to
    // self (a bound method for an override), which must not deallocate it
    // a second time.
    Py_SET_REFCNT(self, Py_REFCNT(self) + 1);
    close(self);
    if (PyErr_Occurred()) py::report_unraisable(member_name(owner, "__dealloc__").c_str());
    Py_SET_REFCNT(self, Py_REFCNT(self) - 1);
    if (Py_REFCNT(self) == 0) return true;
    // Something kept a reference: an override stored self, or an unraisable
    // hook kept close's error, whose traceback holds the frame that holds
    // self. The object lives on, as after a resurrecting __del__; it is
    // deallocated again when that reference goes.
    PyObject_GC_Track(self);
    // A Python subclass's deallocator drops its reference to the type once
    // this returns; the living object still needs it.
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) Py_INCREF(type);
    return false;
}

}  // namespace orvix::corvane
