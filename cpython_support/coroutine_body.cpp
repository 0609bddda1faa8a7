// Python errors as C++ exceptions in coroutine bodies, and how a body's end
// is recorded in its promise.
#include "cpython_support/coroutine_body.hpp"

#include "cpython_support/errors.hpp"

#include <new>

namespace orvix::py {

// The exception pending now, taken over as an outcome.
Outcome pending_error() noexcept
{
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = PyErr_GetRaisedException();
    }
    return Outcome{Ref::steal(exc), true};
}

void PyError::restore() noexcept
{
    if (exc_)
        PyErr_SetRaisedException(exc_.release());
    else
        ensure_error_set();
}

Ref call_method(PyObject* obj, const char* name)
{
    return Ref::steal(PyObject_CallMethod(obj, name, nullptr));
}

void CoroutinePromise::unhandled_exception() noexcept
{
    try {
        throw;
    } catch (PyError& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a coroutine body");
    }
    result = pending_error();
}

}  // namespace orvix::py
