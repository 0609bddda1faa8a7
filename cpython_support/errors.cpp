#include "cpython_support/errors.hpp"

#include "cpython_support/ref.hpp"

#include <frameobject.h>

#include <string>
#include <unordered_map>

namespace orvix::py {
namespace {

// Code objects for traceback entries, built once per (name, file, line) and
// kept for the life of the process. Only touched with the interpreter lock
// held, which serialises every access.
PyObject* traceback_code(const char* funcname, int lineno, const char* filename)
{
    static auto* cache = new std::unordered_map<std::string, PyObject*>();
    std::string key = std::string(funcname) + '\0' + filename + '\0' + std::to_string(lineno);
    if (auto it = cache->find(key); it != cache->end())
        return it->second;
    // The empty code object's only line is its first line, so the entry shows
    // `lineno` without touching the frame's internals.
    PyObject* code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, funcname, lineno));
    if (code)
        cache->emplace(std::move(key), code);
    return code;
}

PyObject* traceback_globals()
{
    static PyObject* globals = PyDict_New();
    return globals;
}

}  // namespace

void add_traceback(const char* funcname, int lineno, const char* filename)
{
    if (!PyErr_Occurred())
        return;
    PyFrameObject* frame = nullptr;
    {
        // Building the entry must not disturb (or be disturbed by) the
        // exception it is for.
        SavedError saved;
        PyObject* code = traceback_code(funcname, lineno, filename);
        PyObject* globals = traceback_globals();
        if (code && globals)
            frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals,
                                nullptr);
        if (!frame)
            PyErr_Clear();
    }
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

void report_unraisable(const char* context)
{
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc)
        return;
    PyObject* ctx = PyUnicode_FromString(context);
    if (!ctx) {
        PyErr_Clear();
        ctx = Py_NewRef(Py_None);
    }
    if (PyErr_GivenExceptionMatches(exc, PyExc_SystemExit)) {
        // PyErr_PrintEx would end the process here; an error nobody can
        // receive must not do that.
        PyErr_DisplayException(exc);
    } else {
        PyErr_SetRaisedException(Py_NewRef(exc));
        PyErr_PrintEx(0);
    }
    PyErr_SetRaisedException(exc);
    PyErr_WriteUnraisable(ctx);
    Py_DECREF(ctx);
}

void ensure_error_set() noexcept
{
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
}

}  // namespace orvix::py
