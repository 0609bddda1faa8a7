#include "cpython_support/conversions.hpp"

#include "cpython_support/ref.hpp"

namespace orvix::py {
namespace {

// The int an argument stands for: itself when it is an int, else the result
// of its __int__, checked the way the interpreter checks it.
Ref as_int(PyObject* value)
{
    if (PyLong_Check(value))
        return Ref::borrow(value);
    PyNumberMethods* number = Py_TYPE(value)->tp_as_number;
    if (!number || !number->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    Ref result = Ref::steal(number->nb_int(value));
    if (!result || PyLong_CheckExact(result.get()))
        return result;
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed "
                         "in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) < 0)
        return nullptr;
    return result;
}

void raise_too_large(const char* type_name)
{
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", type_name);
}

}  // namespace

int to_unsigned(PyObject* value, const char* type_name, std::uint64_t max, std::uint64_t* out)
{
    Ref number = as_int(value);
    if (!number)
        return -1;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (overflow < 0 || (overflow == 0 && v < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", type_name);
        return -1;
    }
    std::uint64_t u = static_cast<std::uint64_t>(v);
    if (overflow > 0) {
        // Beyond the signed range: the interpreter's unsigned conversion
        // either takes it or raises its own OverflowError.
        u = PyLong_AsUnsignedLongLong(number.get());
        if (u == static_cast<std::uint64_t>(-1) && PyErr_Occurred())
            return -1;
    }
    if (u > max) {
        raise_too_large(type_name);
        return -1;
    }
    *out = u;
    return 0;
}

int to_signed(PyObject* value, const char* type_name, std::int64_t min, std::int64_t max,
              std::int64_t* out)
{
    Ref number = as_int(value);
    if (!number)
        return -1;
    const long long v = PyLong_AsLongLong(number.get());
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (v < min || v > max) {
        raise_too_large(type_name);
        return -1;
    }
    *out = v;
    return 0;
}

}  // namespace orvix::py
