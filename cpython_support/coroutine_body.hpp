// What a coroutine body is made of: the C++20 promise and return type,
// the awaiter of Python awaitables, and Python errors as C++ exceptions.
// See coroutine.hpp for writing bodies.
#pragma once

#include "cpython_support/coroutine_object.hpp"
#include "cpython_support/ref.hpp"

#include <Python.h>

#include <concepts>
#include <coroutine>
#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>

namespace orvix::py {

// A Python exception travelling through a coroutine body as a C++ exception.
// Made while the exception is pending, it takes it over; restore() makes it
// pending again.
class PyError {
public:
    PyError() noexcept : exc_(Ref::steal(PyErr_GetRaisedException())) {}
    explicit PyError(Ref exc) noexcept : exc_(std::move(exc)) {}

    // Makes the exception pending again (SystemError if there was none).
    void restore() noexcept;
    [[nodiscard]] Ref take() noexcept { return std::move(exc_); }
    [[nodiscard]] PyObject* exception() const noexcept { return exc_.get(); }

private:
    Ref exc_;
};

// Turns a failed C-API result into a PyError.
inline Ref check(Ref result)
{
    if (!result)
        throw PyError();
    return result;
}
inline int check(int status)
{
    if (status < 0)
        throw PyError();
    return status;
}

[[nodiscard]] inline Ref none() noexcept { return Ref::borrow(Py_None); }

// Calls obj.<name>() (a small convenience for bodies); null on error.
[[nodiscard]] Ref call_method(PyObject* obj, const char* name);

struct CoroutinePromise;

// What a resumed await receives: a value or an exception.
struct Outcome {
    Ref value;
    bool failed = false;  // value holds the exception
};

// The exception pending now, taken over as an outcome (SystemError if there
// is none).
[[nodiscard]] Outcome pending_error() noexcept;

// The iterator `await obj` runs, found as the interpreter finds it: obj
// itself (not a new reference: most awaitables are their own iterator, and
// the await holds obj already), a new reference to another object, or null
// with an exception set.
[[nodiscard]] PyObject* awaitable_iterator(PyObject* obj) noexcept;

// Base of the awaiters a body may co_await: they suspend only inside a
// Python await, which is what the driver expects.
struct PythonAwaiter {};

// `co_await` of a Python awaitable. The first step runs at once; the body
// suspends only if the awaitable's iterator yields.
class Await : public PythonAwaiter {
public:
    explicit Await(Ref awaitable) noexcept : awaitable_(std::move(awaitable)) {}

    bool await_ready() noexcept;
    void await_suspend(std::coroutine_handle<CoroutinePromise> h) noexcept;
    // In line: the body's every await ends here.
    Ref await_resume()
    {
        if (outcome_.failed) [[unlikely]]
            raise_outcome();
        return std::move(outcome_.value);
    }

    // What the suspended await receives when the driver resumes the body.
    void deliver(Outcome in) noexcept { outcome_ = std::move(in); }

private:
    [[noreturn]] void raise_outcome();

    Ref awaitable_;      // then: the iterator while suspending
    Outcome outcome_;    // set when ready at once, or by the driver on resume
    Ref yielded_;
    friend struct CoroutinePromise;
};

struct CoroutinePromise {
    explicit CoroutinePromise(Coroutine& co) noexcept : co(&co) {}

    Coroutine* co;
    Await* current = nullptr;  // the await the body is suspended in
    Ref yielded;               // what the last suspension passes out
    Outcome result;            // how the body ended

    // Frames come from the body's FramePool; on allocation failure the
    // call reports MemoryError.
    static void* operator new(std::size_t size, Coroutine& co) noexcept;
    static void operator delete(void* frame, std::size_t size) noexcept;
    static CoroutineBody get_return_object_on_allocation_failure() noexcept;

    CoroutineBody get_return_object() noexcept;
    std::suspend_always initial_suspend() const noexcept { return {}; }
    std::suspend_always final_suspend() const noexcept { return {}; }
    void return_value(Ref value) noexcept
    {
        if (value) [[likely]]
            result = Outcome{std::move(value), false};
        else
            result = pending_error();
    }
    void unhandled_exception() noexcept;

    Await await_transform(PyObject* awaitable) noexcept { return Await(Ref::borrow(awaitable)); }
    Await await_transform(Ref awaitable) noexcept { return Await(std::move(awaitable)); }
    Await await_transform(const Held& awaitable) noexcept { return Await(awaitable.ref()); }
    template <class Awaiter>
        requires std::derived_from<std::remove_cvref_t<Awaiter>, PythonAwaiter>
    Awaiter&& await_transform(Awaiter&& awaiter) noexcept
    {
        return std::forward<Awaiter>(awaiter);
    }
};

// The return type of a body; owned by the coroutine object.
class CoroutineBody {
public:
    using promise_type = CoroutinePromise;
    using Handle = std::coroutine_handle<CoroutinePromise>;

    explicit CoroutineBody(Handle h) noexcept : handle_(h) {}
    CoroutineBody(CoroutineBody&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    CoroutineBody(const CoroutineBody&) = delete;
    CoroutineBody& operator=(const CoroutineBody&) = delete;
    ~CoroutineBody()
    {
        if (handle_)
            handle_.destroy();
    }
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, {}); }

private:
    Handle handle_;
};

inline CoroutineBody CoroutinePromise::get_return_object() noexcept
{
    return CoroutineBody(CoroutineBody::Handle::from_promise(*this));
}

inline CoroutineBody CoroutinePromise::get_return_object_on_allocation_failure() noexcept
{
    return CoroutineBody(CoroutineBody::Handle{});
}

}  // namespace orvix::py
