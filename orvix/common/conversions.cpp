// Turning Python objects into (pointer, length) byte ranges without copying
// where the object already holds its bytes contiguously.
#include "orvix/common/conversions.hpp"

namespace orvix::common {
namespace {

// Where an empty range points when its exporter handed out no memory at all:
// callers may still read zero bytes from it.
constexpr char empty_range[] = "";

void set_range(void const* start, Py_ssize_t length, char const** data, size_t* size) {
    *data = start != nullptr ? static_cast<char const*>(start) : empty_range;
    *size = static_cast<size_t>(length);
}

// The UTF-8 form of a str. CPython caches it inside the str object, so the
// range lives exactly as long as the str. Lone surrogates cannot be encoded
// and raise UnicodeEncodeError.
int utf8_range(PyObject* str, char const** data, size_t* size) {
    Py_ssize_t length = 0;
    char const* utf8 = PyUnicode_AsUTF8AndSize(str, &length);
    if (utf8 == nullptr) return -1;
    set_range(utf8, length, data, size);
    return 0;
}

// A memoryview over obj's bytes in C order: obj's own memory (holding an
// export of it) when that is contiguous, a contiguous copy otherwise.
PyObject* contiguous_view(PyObject* obj, char const** data, size_t* size) {
    PyObject* view = PyMemoryView_GetContiguous(obj, PyBUF_READ, 'C');
    if (view == nullptr) return nullptr;
    Py_buffer const* buffer = PyMemoryView_GET_BUFFER(view);
    set_range(buffer->buf, buffer->len, data, size);
    return view;
}

// obj's bytes through its __bytes__ method; nullptr with TypeError when the
// type has none, since bytes(obj) would otherwise treat ints and iterables as
// sizes and byte lists.
PyObject* bytes_from_dunder(PyObject* obj, char const** data, size_t* size) {
    PyObject* method = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__bytes__");
    if (method == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "a bytes-like object, str or object with __bytes__ is required, not '%.200s'",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    Py_DECREF(method);
    PyObject* bytes = PyObject_Bytes(obj);  // also refuses a __bytes__ that returns non-bytes
    if (bytes == nullptr) return nullptr;
    set_range(PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), data, size);
    return bytes;
}

}  // namespace

int buf_to_cbuf(PyObject* obj, Py_buffer* view, char const** data, size_t* size) {
    // Asking for a C-contiguous export makes exporters refuse strided memory
    // (BufferError) instead of handing out a pointer that reads the wrong bytes.
    if (PyObject_GetBuffer(obj, view, PyBUF_C_CONTIGUOUS) < 0) {
        view->buf = nullptr;  // nothing for the caller to release
        view->obj = nullptr;
        return -1;
    }
    // An exporter that ignores the request must not be read either.
    if (!PyBuffer_IsContiguous(view, 'C')) {
        PyBuffer_Release(view);
        view->buf = nullptr;
        PyErr_Format(PyExc_BufferError, "buffer of '%.200s' object is not C-contiguous", Py_TYPE(obj)->tp_name);
        return -1;
    }
    set_range(view->buf, view->len, data, size);
    // The caller releases the view only when view->buf is set, so an export
    // without memory (possible only when empty) is released here, not leaked.
    if (view->buf == nullptr) PyBuffer_Release(view);
    return 0;
}

int obj_to_cbuf(PyObject* obj, PyObject** owner, char const** data, size_t* size) {
    if (obj == Py_None) return 1;  // nothing to push
    if (PyBytes_Check(obj)) {
        set_range(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj), data, size);
        *owner = Py_NewRef(obj);
        return 0;
    }
    if (PyUnicode_Check(obj)) {
        if (utf8_range(obj, data, size) < 0) return -1;
        *owner = Py_NewRef(obj);
        return 0;
    }
    *owner = PyObject_CheckBuffer(obj) ? contiguous_view(obj, data, size) : bytes_from_dunder(obj, data, size);
    return *owner != nullptr ? 0 : -1;
}

int str_to_cbuf(PyObject* obj, char const** data, size_t* size) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "a str is required, not '%.200s'", Py_TYPE(obj)->tp_name);
        return -1;
    }
    return utf8_range(obj, data, size);
}

}  // namespace orvix::common
