// The coroutine type of the module's coroutine methods, with bodies written
// as C++20 coroutines.
//
// A coroutine method is a FunctionSpec with `.body`. Calling the method binds
// its arguments into a new coroutine object and creates the body suspended;
// the object then behaves like a native coroutine (send, throw, close,
// __await__, am_send, the same errors). Inside the body:
//
//   * `Ref r = co_await x;` awaits the Python awaitable x (a PyObject*,
//     a Ref or a Held) exactly as `await x` does: send/throw/close reaching
//     this coroutine are delegated to x's iterator while it runs.
//   * A Python error is a C++ exception: `PyError` carries the pending
//     exception. `check(...)` turns a null / -1 C-API result into one; a
//     failed await throws one. An error escaping the body ends the coroutine
//     with that Python exception.
//   * `co_return ref;` finishes with that value (a null Ref = the pending
//     error); `co_return none();` returns None.
//   * Objects kept across an await belong in `Held` (registered with the
//     coroutine, so its GC traversal sees them); plain Refs are fine for
//     values that do not live across a suspension.
//   * `async with m:` is `AsyncWith`. C++ forbids co_await inside a catch
//     handler, so the error path stores the error and the exit runs after:
//
//     CoroutineBody pop_body(Coroutine& co)
//     {
//         auto* self = reinterpret_cast<OrvixAsyncQueue*>(co.self());
//         for (;;) {
//             if (Ref msg = try_pop(self))        // null + no error: empty
//                 co_return msg;
//             if (PyErr_Occurred())
//                 throw PyError();
//             AsyncWith cond(co, self->_notify_cond);   // __aexit__, __aenter__
//             co_await cond.enter();
//             try {
//                 co_await check(call_method(cond.manager(), "wait"));
//             } catch (PyError& e) {
//                 cond.fail(e);                 // __aexit__(type, value, tb)
//             }
//             co_await cond.exit();             // re-raises unless suppressed
//         }
//     }
//
//     constinit const char* const kNoNames[] = {nullptr};
//     constinit FunctionSpec kPop{
//         .name = "pop", .qualname = "AsyncQueue.pop", .doc = "AsyncQueue.pop(self)",
//         .params = {"pop", kNoNames, 0, 0}, .body = pop_body, .firstlineno = 300};
//
// An exception that ends the body gains a traceback entry named after the
// coroutine's short name ("pop"); a StopIteration escaping it becomes
// RuntimeError "generator raised StopIteration" (its cause). Each body's
// C++ frames come from a small per-body pool (FunctionSpec::frames).
#pragma once

#include "cpython_support/function.hpp"
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

enum class CoroutineState : unsigned char { created, running, suspended, finished };

struct HeldLink {
    HeldLink* next = nullptr;
    HeldLink* prev = nullptr;
    PyObject* object = nullptr;  // owned
};

// The Python coroutine object.
struct Coroutine {
    PyObject_VAR_HEAD               // ob_size: the number of slots
    std::coroutine_handle<> frame;  // the body; null once finished
    PyObject* function;             // the Function that made it
    PyObject* name;
    PyObject* qualname;
    PyObject* awaiting;             // iterator the body is awaiting, or null
    PyObject* weakreflist;
    HeldLink held;                  // sentinel of the Held objects in the body
    // The exception the body is handling (exc_value, null for none), on the
    // thread's exception stack while the body runs, as a native coroutine's
    // own entry is: code the body calls sees it as sys.exception() and
    // chains new exceptions to it. Set with handle_exception().
    _PyErr_StackItem exc_state;
    CoroutineState state;
    PyObject* slots[1];             // self (methods), the parameters, *args

    [[nodiscard]] const FunctionSpec& spec() const noexcept
    {
        return *reinterpret_cast<Function*>(function)->spec;
    }
    // The bound object of a method call.
    [[nodiscard]] PyObject* self() const noexcept { return slots[0]; }
    // Parameter i (not counting self).
    [[nodiscard]] PyObject* arg(int i) const noexcept { return slots[first_param() + i]; }
    // The *args tuple of a function that takes one.
    [[nodiscard]] PyObject* rest() const noexcept { return slots[Py_SIZE(this) - 1]; }
    // The closure state the function was made with (or null).
    [[nodiscard]] PyObject* data() const noexcept
    {
        return reinterpret_cast<Function*>(function)->data;
    }

private:
    [[nodiscard]] int first_param() const noexcept { return spec().method ? 1 : 0; }
};

PyTypeObject* coroutine_type();

// Makes `exc` (null: none) the exception the body is handling, as entering an
// except clause does, and returns the one it replaces, which the body puts
// back the same way when it leaves the clause.
[[nodiscard]] Ref handle_exception(Coroutine& co, Ref exc) noexcept;

// Makes the coroutine object of one call of a coroutine function (the
// function type calls it after binding the arguments). New reference, or
// null with an exception set.
PyObject* new_coroutine(Function& fn, PyObject* self, BoundArguments& args);

// An object reference kept in the coroutine body across suspensions, visible
// to the coroutine's GC traversal.
class Held {
public:
    explicit Held(Coroutine& co, Ref object = nullptr) noexcept;
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    Held& operator=(Ref object) noexcept;
    [[nodiscard]] PyObject* get() const noexcept { return link_.object; }
    [[nodiscard]] Ref ref() const noexcept { return Ref::borrow(link_.object); }
    explicit operator bool() const noexcept { return link_.object != nullptr; }

private:
    HeldLink link_;
};

struct CoroutinePromise;

// What a resumed await receives: a value or an exception.
struct Outcome {
    Ref value;
    bool failed = false;  // value holds the exception
};

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
    Ref await_resume();

    // What the suspended await receives when the driver resumes the body.
    void deliver(Outcome in) noexcept { outcome_ = std::move(in); }

private:
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
    void return_value(Ref value) noexcept;
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

// Bodies get `async with` from here too.
#include "cpython_support/async_with.hpp"
