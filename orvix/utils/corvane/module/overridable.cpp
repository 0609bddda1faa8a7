#include "orvix/utils/corvane/module/overridable.hpp"

namespace orvix::corvane {
namespace {

// Instances of the classes themselves can have no override: the classes are
// immutable and carry no instance dictionary. Only a Python subclass (a heap
// type) or an instance with a dictionary can bring one in.
bool may_override(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    return PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) ||
           type->tp_dictoffset != 0;
}

}  // namespace

Override find_override(PyObject* self, int skip_override, PyTypeObject* owner, PyObject* name) {
    Override found;
    if (skip_override || !may_override(self)) return found;

    found.taken_ = true;
    py::Ref method = py::Ref::steal(PyObject_GetAttr(self, name));
    if (!method) return found;
    PyObject* function = PyMethod_Check(method.get()) ? PyMethod_GET_FUNCTION(method.get()) : method.get();
    // Borrowed: the class dictionary holds its own function for good.
    PyObject* own = PyDict_GetItemWithError(owner->tp_dict, name);
    if (!own && PyErr_Occurred()) return found;
    if (function == own) {
        found.taken_ = false;
        return found;
    }
    found.method_ = std::move(method);
    return found;
}

py::Ref Override::call(std::initializer_list<PyObject*> args) const {
    if (!method_) return {};   // the lookup failed; its exception is pending
    return py::Ref::steal(
        PyObject_Vectorcall(method_.get(), args.begin(), args.size(), nullptr));
}

}  // namespace orvix::corvane
