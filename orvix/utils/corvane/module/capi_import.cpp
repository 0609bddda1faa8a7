#include "orvix/utils/corvane/module/capi_import.hpp"

#include <cstring>

namespace orvix::corvane {

int import_c_function(PyObject* module, const char* module_name, const char* name, const char* signature,
                      void** function) {
    PyObject* table = PyObject_GetAttrString(module, "__qvx_capi__");
    if (!table) return -1;
    PyObject* capsule = PyMapping_GetItemString(table, name);
    Py_DECREF(table);
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %.8s %.200s", module_name,
                     "function", name);
        return -1;
    }

    // A capsule without a name cannot carry a signature; it is reported as a
    // mismatch rather than dereferenced.
    const char* actual = PyCapsule_GetName(capsule);
    if (!actual && PyErr_Occurred()) {
        Py_DECREF(capsule);
        return -1;
    }
    if (!actual || std::strcmp(actual, signature) != 0) {
        PyErr_Format(PyExc_TypeError, "C %.8s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)",
                     "function", module_name, name, signature, actual ? actual : "NULL");
        Py_DECREF(capsule);
        return -1;
    }
    *function = PyCapsule_GetPointer(capsule, actual);
    Py_DECREF(capsule);
    return *function ? 0 : -1;
}

}  // namespace orvix::corvane
