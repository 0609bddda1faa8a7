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
// A function may also have a `.first_step`, which runs the call's first
// step before any body exists. It either ends the call (answers null, with
// the result set, or null for the pending error; a PyError thrown there ends
// it too), and then no C++ frame is ever made, or it answers the body that
// takes over, which starts from its beginning: the first step must leave
// nothing done that this body would do again.
//
//     CoroutineBodyFn pop_first_step(Coroutine& co, Ref& result)
//     {
//         result = try_pop(reinterpret_cast<OrvixAsyncQueue*>(co.self()));
//         return result || PyErr_Occurred() ? nullptr : pop_body;
//     }
//
// A first step may also answer `await_result`, with `result` holding an
// awaitable: the call then ends with the outcome of awaiting it, as a body
// `co_return co_await result;` would, suspending meanwhile as that await
// does (send, throw and close reach the awaited iterator), with no body.
//
// An exception that ends the body gains a traceback entry named after the
// coroutine's short name ("pop"); a StopIteration escaping it becomes
// RuntimeError "generator raised StopIteration" (its cause). Each body's
// C++ frames come from a small per-body pool (FunctionSpec::frames).
#pragma once

#include "cpython_support/coroutine_body.hpp"
#include "cpython_support/coroutine_object.hpp"

// Bodies get `async with` from here too.
#include "cpython_support/async_with.hpp"
