// The calls AsyncQueue's coroutines make on `_notify_cond` inside their
// `async with` blocks. `_notify_cond` is read from the instance at each call.
#pragma once

#include <Python.h>

#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/corvane.h"

namespace orvix::corvane {

enum class Wake { one, all };

// _notify_cond.notify() or .notify_all() inside the AsyncQueue method
// `method`. A failure gains that method's traceback entry and is thrown as
// py::PyError, for the block's __aexit__.
void notify_waiters(OrvixAsyncQueue* q, Wake which, const char* method);

// `async with _notify_cond: _notify_cond.notify()`, done without the block
// when the block could neither suspend nor be told apart from this: the
// condition and its lock are asyncio's own classes, and the lock is free
// with nobody queued for it. The block would then take the lock at once,
// set the result of the first pending waiter (if any) and give the lock
// back, waking nobody else. True when done so; false when the caller must
// run the block (also whenever in doubt). A failure of the waiter's
// set_result gains `method`'s traceback entry and is thrown as py::PyError.
bool notify_if_lock_free(OrvixAsyncQueue* q, const char* method);

// The wait of a consumer that found the ring empty, done without
// `async with _notify_cond:` when, as for notify_if_lock_free(), the block
// could not suspend: the block would take the lock at once, find the ring
// still empty, and wait() would give the lock back, queue a new future of
// the condition's loop in `_waiters` and await it. This queues that future
// and returns it, for the caller to await and then hand to forget_waiter()
// however the await ends (which re-takes no lock: the caller polls the ring
// without it). Null when the caller must take the full block; errors are
// thrown as py::PyError.
py::Ref wait_if_lock_free(OrvixAsyncQueue* q);
void forget_waiter(OrvixAsyncQueue* q, PyObject* future);

// What notify() does, without its check that the lock is held: wakes the
// first waiter not woken yet. For a consumer that waited without the lock
// (wait_if_lock_free) and must hand a wake-up on; errors are thrown as
// py::PyError.
void wake_first_waiter(OrvixAsyncQueue* q);

// _notify_cond.wait(): the awaitable to await (thrown as py::PyError on failure).
py::Ref condition_wait(OrvixAsyncQueue* q);

}  // namespace orvix::corvane
