#include "orvix/utils/corvane/module/type_import.hpp"

namespace orvix::corvane {

py::Ref import_type(const char* module_name, const char* class_name, Py_ssize_t expected_size) {
    py::Ref module = py::Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return {};
    py::Ref found = py::Ref::steal(PyObject_GetAttrString(module.get(), class_name));
    if (!found) return {};
    if (!PyType_Check(found.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module_name, class_name);
        return {};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(found.get());

    const Py_ssize_t basic_size = type->tp_basicsize;
    Py_ssize_t offered_size = basic_size;
    if (type->tp_itemsize) {
        // A variable-size type offers room for at least one item, and never
        // less than the alignment the expected record was laid out with.
        const Py_ssize_t alignment = expected_size % 8 ? expected_size % 8 : 8;
        offered_size += type->tp_itemsize > alignment ? type->tp_itemsize : alignment;
    }

    static constexpr const char size_changed[] =
        "%.200s.%.200s size changed, may indicate binary incompatibility. "
        "Expected %zd from C header, got %zd from PyObject";
    if (offered_size < expected_size) {
        PyErr_Format(PyExc_ValueError, size_changed, module_name, class_name, expected_size, offered_size);
        return {};
    }
    // A larger record still starts with the fields this module uses.
    if (basic_size > expected_size &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 0, size_changed, module_name, class_name, expected_size,
                         basic_size) < 0) {
        return {};
    }
    return found;
}

}  // namespace orvix::corvane
