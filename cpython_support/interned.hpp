// Interned str constants made on first use (attribute names looked up on
// every call). Only touched with the interpreter lock held.
#pragma once

#include <Python.h>

namespace orvix::py {

// The interned `text`, made once into `cache`; null (with the error set) if
// that failed, in which case the next call tries again.
inline PyObject* interned(const char* text, PyObject*& cache) noexcept
{
    if (!cache)
        cache = PyUnicode_InternFromString(text);
    return cache;
}

}  // namespace orvix::py
