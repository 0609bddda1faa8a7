/*
 * orvix.common: the C functions that turn Python objects into byte ranges.
 *
 * The module publishes them in its dict `__qvx_capi__`, one capsule per
 * function, keyed by the function's name. Each capsule's name is the
 * function's signature text below, so a consumer checks the signature by
 * comparing capsule names and takes the pointer with PyCapsule_GetPointer:
 *
 *     PyObject *capi = PyObject_GetAttrString(common_module, "__qvx_capi__");
 *     PyObject *cap = PyDict_GetItemString(capi, "buf_to_cbuf");
 *     orvix_buf_to_cbuf_fn f =
 *         (orvix_buf_to_cbuf_fn)PyCapsule_GetPointer(cap, ORVIX_BUF_TO_CBUF_SIGNATURE);
 *
 * All three are called with the interpreter lock held. Results:
 *
 *   buf_to_cbuf(obj, &view, &data, &size)  (view.buf must be NULL on entry)
 *       0: view holds a buffer export of obj; data/size stay valid while it
 *          is held. -1: exception set. The caller calls PyBuffer_Release(&view)
 *          if and only if view.buf is not NULL afterwards, whatever the result.
 *   obj_to_cbuf(obj, &owner, &data, &size)  (owner must be NULL on entry)
 *       0: push data/size, which stay valid while `owner` lives; 1: nothing to
 *       push (obj is None); -1: exception set. The caller releases `owner` if
 *       it is not NULL, whatever the result.
 *   str_to_cbuf(obj, &data, &size)
 *       0: push the UTF-8 text data/size, valid while obj lives; -1: exception
 *       set. (Other results are reserved for "nothing to push".)
 */
#ifndef ORVIX_COMMON_CONVERSIONS_H
#define ORVIX_COMMON_CONVERSIONS_H

#include <Python.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ORVIX_OBJ_TO_CBUF_SIGNATURE "int (PyObject *, PyObject **, char const **, size_t *)"
#define ORVIX_BUF_TO_CBUF_SIGNATURE "int (PyObject *, Py_buffer *, char const **, size_t *)"
#define ORVIX_STR_TO_CBUF_SIGNATURE "int (PyObject *, char const **, size_t *)"

typedef int (*orvix_obj_to_cbuf_fn)(PyObject *obj, PyObject **owner, char const **data, size_t *size);
typedef int (*orvix_buf_to_cbuf_fn)(PyObject *obj, Py_buffer *view, char const **data, size_t *size);
typedef int (*orvix_str_to_cbuf_fn)(PyObject *obj, char const **data, size_t *size);

#ifdef __cplusplus
}
#endif

#endif /* ORVIX_COMMON_CONVERSIONS_H */
