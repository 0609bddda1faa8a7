#include "orvix/utils/corvane/module/function_objects.hpp"

#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

StringConstant kReturn{"return"};
StringConstant kNone{"None"};

int attach_extra(py::Function& function, FunctionExtra extra) {
    switch (extra) {
    case FunctionExtra::none:
        return 0;
    case FunctionExtra::localhost_default:
        function.set_defaults(state().localhost_defaults);
        return 0;
    case FunctionExtra::returns_none: {
        PyObject* annotations = PyDict_New();
        if (!annotations || PyDict_SetItem(annotations, kReturn.get(), kNone.get()) < 0) {
            Py_XDECREF(annotations);
            return -1;
        }
        function.set_annotations(annotations);
        Py_DECREF(annotations);
        return 0;
    }
    }
    return 0;
}

}  // namespace

int add_function(PyTypeObject* owner, const FunctionEntry& entry) {
    py::Ref function = py::make_function(entry.def, owner);
    if (!function || attach_extra(*py::as_function(function.get()), entry.extra) < 0) return -1;
    // Written straight into the class dictionary: the class is immutable for
    // Python code, not for the module that defines it.
    if (PyDict_SetItemString(owner->tp_dict, entry.key, function.get()) < 0) return -1;
    PyType_Modified(owner);
    return 0;
}

int add_module_function(PyObject* globals, const ModuleFunctionEntry& entry) {
    py::Ref function = py::make_function(entry.def);
    if (!function) return -1;
    return PyDict_SetItemString(globals, entry.key, function.get());
}

}  // namespace orvix::corvane
