// `async with manager:` inside a coroutine body.
//
//     AsyncWith block(co, manager);    // looks up __aexit__, then __aenter__
//     co_await block.enter();
//     try {
//         ...                          // the block
//     } catch (PyError& e) {
//         block.fail(e);               // no co_await inside a catch handler
//     }
//     co_await block.exit();           // __aexit__ decides about the error
#pragma once

#include "cpython_support/coroutine_body.hpp"
#include "cpython_support/ref.hpp"

#include <Python.h>

#include <coroutine>

namespace orvix::py {

class AsyncWith {
public:
    // Looks up __aexit__, then __aenter__, on the manager's type (bound to the
    // manager); a missing one raises AttributeError naming it (as PyError).
    AsyncWith(Coroutine& co, PyObject* manager);

    // Awaits __aenter__(); its value is the `as` target.
    [[nodiscard]] Await enter();
    // Records the error that left the block (call it in the catch handler).
    void fail(PyError& error) noexcept;
    // Awaits __aexit__(None, None, None), or __aexit__(type, value, tb) after
    // fail(): a true result suppresses the error, otherwise it is re-raised.
    // After fail(), the error is the exception being handled (sys.exception())
    // from the call of __aexit__ until its result is in, as in an except
    // clause.
    class Exit;
    [[nodiscard]] Exit exit();

    [[nodiscard]] PyObject* manager() const noexcept { return manager_.get(); }

    class Exit : public PythonAwaiter {
    public:
        bool await_ready() noexcept { return await_.await_ready(); }
        void await_suspend(std::coroutine_handle<CoroutinePromise> h) noexcept
        {
            await_.await_suspend(h);
        }
        void await_resume();

    private:
        Exit(AsyncWith& with, Ref call) noexcept : with_(with), await_(std::move(call)) {}
        AsyncWith& with_;
        Await await_;
        friend class AsyncWith;
    };

private:
    Coroutine* co_;
    Held manager_;
    Held exit_;
    Held enter_;
    Held error_;  // the exception that left the block, if any
    Held outer_handled_;  // the handled exception that error_ replaces during __aexit__
};

}  // namespace orvix::py
