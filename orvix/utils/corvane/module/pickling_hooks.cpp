#include "orvix/utils/corvane/module/pickling_hooks.hpp"

#include <initializer_list>

#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

StringConstant kReduce{"__reduce__"};
StringConstant kReduceEx{"__reduce_ex__"};
StringConstant kGetstate{"__getstate__"};
StringConstant kSetstate{"__setstate__"};

// 1: `type` inherits `name` from object unchanged; 0: it has its own; -1: error.
int inherits_from_object(PyTypeObject* type, PyObject* name) {
    PyObject* own = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name);
    if (!own) return -1;
    PyObject* base = PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), name);
    if (!base) {
        Py_DECREF(own);
        return -1;
    }
    const int same = own == base;
    Py_DECREF(own);
    Py_DECREF(base);
    return same;
}

int store_method(PyTypeObject* type, PyObject* name, const PyMethodDef* def) {
    // The interpreter keeps a pointer to the definition for the life of the
    // descriptor; the definitions are static, so the cast only drops const.
    PyObject* descriptor = PyDescr_NewMethod(type, const_cast<PyMethodDef*>(def));
    if (!descriptor) return -1;
    const int result = PyDict_SetItem(type->tp_dict, name, descriptor);
    Py_DECREF(descriptor);
    return result;
}

int install(PyTypeObject* type, const PyMethodDef* reduce, const PyMethodDef* setstate) {
    for (PyObject* name : {kReduceEx.get(), kReduce.get(), kGetstate.get()}) {
        // A class that already pickles its own way (0) keeps its methods.
        const int inherited = inherits_from_object(type, name);
        if (inherited <= 0) return inherited;
    }
    if (store_method(type, kReduce.get(), reduce) < 0 || store_method(type, kSetstate.get(), setstate) < 0) {
        return -1;
    }
    PyType_Modified(type);
    return 0;
}

}  // namespace

int install_pickling_hooks(PyTypeObject* type, const PyMethodDef* reduce, const PyMethodDef* setstate) {
    if (install(type, reduce, setstate) == 0) return 0;
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    }
    return -1;
}

}  // namespace orvix::corvane
