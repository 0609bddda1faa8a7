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

// True when `async with _notify_cond: _notify_cond.notify()` could change
// nothing: the condition and its lock are asyncio's own classes, the lock is
// free with nobody queued for it, and every waiter of the condition has
// already been woken. The block would then take the lock at once, wake
// nobody and give the lock back, so a producer may leave it out. Never fails
// (when in doubt it answers false).
bool nobody_to_wake(OrvixAsyncQueue* q);

// _notify_cond.wait(): the awaitable to await (thrown as py::PyError on failure).
py::Ref condition_wait(OrvixAsyncQueue* q);

}  // namespace orvix::corvane
