// Conversions of argument values to native integers and flags.
//
// An int (subclasses and bool included) is taken by value; any other object
// goes through its __int__ (nb_int): a float is truncated, a result that is
// not an int raises TypeError "__int__ returned non-int (type %.200s)", a
// strict int subclass is accepted after a DeprecationWarning, and an object
// without __int__ raises TypeError "an integer is required". Out-of-range
// values raise OverflowError:
//   unsigned, negative:     "can't convert negative value to <type>"
//   unsigned 64-bit, large: the interpreter's own unsigned 64-bit message
//   narrower, out of range: "value too large to convert to <type>"
// Each returns 0, or -1 with the exception set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstddef>

namespace orvix::py {

// Any unsigned target up to 64 bits: `type_name` appears in the messages,
// `max` is the largest value the target holds.
int to_unsigned(PyObject* value, const char* type_name, std::uint64_t max, std::uint64_t* out);
// Any signed target up to 64 bits.
int to_signed(PyObject* value, const char* type_name, std::int64_t min, std::int64_t max,
              std::int64_t* out);

inline int to_size(PyObject* value, std::size_t* out)
{
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "64-bit platforms only");
    std::uint64_t v;
    if (to_unsigned(value, "size_t", UINT64_MAX, &v) < 0)
        return -1;
    *out = static_cast<std::size_t>(v);
    return 0;
}

inline int to_uint16(PyObject* value, std::uint16_t* out)
{
    std::uint64_t v;
    if (to_unsigned(value, "uint16_t", UINT16_MAX, &v) < 0)
        return -1;
    *out = static_cast<std::uint16_t>(v);
    return 0;
}

// The native socket handle type (unsigned 64-bit).
inline int to_platform_socket(PyObject* value, std::uint64_t* out)
{
    return to_unsigned(value, "PLATFORM_SOCKET", UINT64_MAX, out);
}

inline int to_int32(PyObject* value, std::int32_t* out)
{
    std::int64_t v;
    if (to_signed(value, "int", INT32_MIN, INT32_MAX, &v) < 0)
        return -1;
    *out = static_cast<std::int32_t>(v);
    return 0;
}

// A flag argument: True -> 1, False and None -> 0, anything else by its
// truth value. Returns 1, 0, or -1 when the truth test raised.
inline int to_flag(PyObject* value)
{
    if (value == Py_True)
        return 1;
    if (value == Py_False || value == Py_None)
        return 0;
    return PyObject_IsTrue(value);
}

}  // namespace orvix::py
