// __name__ and __qualname__ of the function and coroutine types: strings
// that Python code may replace by other strings, as on Python functions.
#pragma once

#include "cpython_support/ref.hpp"

#include <Python.h>

namespace orvix::py {

inline int set_str_attribute(PyObject*& field, PyObject* value, const char* what)
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    replace_field(field, Py_NewRef(value));
    return 0;
}

// Getset entries for an object record with `name` and `qualname` fields.
template <class Object>
struct NameAttributes {
    static Object* of(PyObject* self) noexcept { return reinterpret_cast<Object*>(self); }

    static PyObject* get_name(PyObject* self, void*) { return Py_NewRef(of(self)->name); }
    static int set_name(PyObject* self, PyObject* value, void*)
    {
        return set_str_attribute(of(self)->name, value, "__name__");
    }
    static PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(of(self)->qualname); }
    static int set_qualname(PyObject* self, PyObject* value, void*)
    {
        return set_str_attribute(of(self)->qualname, value, "__qualname__");
    }

    static constexpr PyGetSetDef name{"__name__", get_name, set_name, nullptr, nullptr};
    static constexpr PyGetSetDef qualname{"__qualname__", get_qualname, set_qualname, nullptr, nullptr};
};

}  // namespace orvix::py
