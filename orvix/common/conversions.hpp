// The three conversion functions of orvix.common (contracts in conversions.h).
#pragma once

#include "orvix/common/conversions.h"

namespace orvix::common {

// Any object exporting a C-contiguous buffer; the view stays held on success.
int buf_to_cbuf(PyObject* obj, Py_buffer* view, char const** data, size_t* size);

// None (nothing to push), bytes-like objects, str (UTF-8) and objects with
// __bytes__; the owner reference keeps the range alive.
int obj_to_cbuf(PyObject* obj, PyObject** owner, char const** data, size_t* size);

// str only, as UTF-8 (the encoding is cached in the str object itself).
int str_to_cbuf(PyObject* obj, char const** data, size_t* size);

}  // namespace orvix::common
