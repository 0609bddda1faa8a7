// `await x` inside a coroutine body: finding the iterator the interpreter
// would run for x, and the awaiter that runs it.
#include "cpython_support/coroutine_body.hpp"

#include "cpython_support/coroutine_driver.hpp"
#include "cpython_support/interned.hpp"
#include "cpython_support/interpreter_internals.hpp"

#include <utility>

namespace orvix::py {

PyObject* awaitable_iterator(PyObject* obj) noexcept
{
    if (PyCoro_CheckExact(obj)) {
        if (!internals::native_coroutine_maybe_awaiting(obj))
            return obj;  // only one suspended in an await is awaited elsewhere
        static PyObject* name_cr_await;
        Ref awaited = Ref::steal(PyObject_GetAttr(obj, interned("cr_await", name_cr_await)));
        if (!awaited)
            return nullptr;
        if (awaited.get() != Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return obj;
    }
    if (internals::is_iterable_coroutine(obj))
        return obj;
    if (is_coroutine_object(obj)) {
        if (as_coroutine(obj)->awaiting) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return obj;
    }
    PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
    if (!am || !am->am_await) {
        PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    Ref it = Ref::steal(am->am_await(obj));
    if (!it)
        return nullptr;
    // Only the interpreter's own coroutines are refused here, as the
    // interpreter refuses them: this type's __await__ hands out the coroutine
    // itself, so an __await__ written as `return coro.__await__()` over one
    // of these must go through, as it does in an `await` of Python code.
    if (PyCoro_CheckExact(it.get()) || internals::is_iterable_coroutine(it.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.get())->tp_name);
        return nullptr;
    }
    if (it.get() == obj)
        return obj;  // the reference __await__ returned drops here
    return it.release();
}

bool Await::await_ready() noexcept
{
    if (!awaitable_) {
        outcome_ = pending_error();
        return true;
    }
    PyObject* it = awaitable_iterator(awaitable_.get());
    if (!it) {
        outcome_ = pending_error();
        return true;
    }
    // Owned only when it is another object than the awaitable.
    Ref other = it == awaitable_.get() ? Ref() : Ref::steal(it);
    // `await` starts the iterator with None at once; only a yielded value
    // suspends the body.
    PyObject* value;
    switch (send_to_iterator(it, Py_None, &value)) {
    case PYGEN_NEXT:
        if (other)
            awaitable_ = std::move(other);
        yielded_ = Ref::steal(value);
        return false;
    case PYGEN_RETURN:
        outcome_.value = Ref::steal(value);
        return true;
    case PYGEN_ERROR:
        break;
    }
    outcome_ = pending_error();
    return true;
}

void Await::await_suspend(std::coroutine_handle<CoroutinePromise> h) noexcept
{
    CoroutinePromise& promise = h.promise();
    promise.current = this;
    promise.co->awaiting = awaitable_.release();
    promise.yielded = std::move(yielded_);
}

void Await::raise_outcome()
{
    throw PyError(std::move(outcome_.value));
}

}  // namespace orvix::py
