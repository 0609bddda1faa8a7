#include "orvix/utils/corvane/module/module_state.hpp"

namespace orvix::corvane {

namespace detail {
constinit ModuleState module_state{};
}

PyObject* lookup_global(PyObject* name) {
    const ModuleState& st = state();
    PyObject* value = PyDict_GetItemWithError(st.module_dict, name);
    if (value) return Py_NewRef(value);
    if (PyErr_Occurred()) return nullptr;
    value = PyObject_GetAttr(st.builtins, name);
    if (value) return value;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return nullptr;
}

}  // namespace orvix::corvane
