// shutdown(*excinfo): wakes every waiter, then cancels the dispatch task and
// waits for it to end. The queue itself is left as it is.
#include <Python.h>

#include "cpython_support/coroutine.hpp"
#include "orvix/utils/corvane/asyncqueue/async_queue.hpp"
#include "orvix/utils/corvane/asyncqueue/condition.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {


StringConstant kAsyncio{"asyncio"};
StringConstant kCancel{"cancel"};
StringConstant kCancelledError{"CancelledError"};
StringConstant kCurrentTask{"current_task"};
StringConstant kCancelling{"cancelling"};

// The number of cancellation requests pending on the task running this
// coroutine (Task.cancelling()); 0 when it runs outside a task, or in a task
// class without cancelling(): then there is no request to pass on.
long cancel_requests(PyObject* asyncio) {
    py::Ref current = py::Ref::steal(PyObject_CallMethodNoArgs(asyncio, kCurrentTask.get()));
    py::Ref count = current ? py::Ref::steal(PyObject_CallMethodNoArgs(current.get(), kCancelling.get())) : py::Ref();
    if (!count) {
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::PyError();
        }
        PyErr_Clear();
        return 0;
    }
    const long n = PyLong_AsLong(count.get());
    if (n == -1 && PyErr_Occurred()) throw py::PyError();
    return n;
}

// The count when shutdown starts. A task can carry requests from earlier
// that it has already dealt with (an asyncio.TaskGroup whose child failed
// leaves its parent's count at 1); only requests beyond these are aimed at
// this call, as asyncio.timeout reasons. Without a global asyncio the
// count is 0 and the lookup at the end raises the NameError.
long cancel_requests_at_start() {
    py::Ref asyncio = py::Ref::steal(lookup_global(kAsyncio.get()));
    if (asyncio) return cancel_requests(asyncio.get());
    if (!PyErr_ExceptionMatches(PyExc_NameError)) throw py::PyError();
    PyErr_Clear();
    return 0;
}

py::CoroutineBody shutdown_body(py::Coroutine& co) {
    OrvixAsyncQueue* q = async_queue(co.self());
    const long cancel_requests_before = cancel_requests_at_start();
    // First: the cancellation that follows is shutdown()'s, not the reader's end.
    queue_delivery(co.self()).closed();
    {
        py::AsyncWith block(co, q->_notify_cond);
        co_await block.enter();
        try {
            notify_waiters(q, Wake::all, "shutdown");
        } catch (py::PyError& error) {
            block.fail(error);
        }
        co_await block.exit();
    }
    if (q->_task == Py_None) co_return py::none();
    py::check(py::Ref::steal(PyObject_CallMethodNoArgs(q->_task, kCancel.get())));

    py::Ref error;
    try {
        co_await q->_task;
    } catch (py::PyError& e) {
        error = e.take();
    }
    if (!error) co_return py::none();
    py::Ref asyncio = py::check(py::Ref::steal(lookup_global(kAsyncio.get())));
    py::Ref cancelled = py::check(py::Ref::steal(PyObject_GetAttr(asyncio.get(), kCancelledError.get())));
    if (PyErr_GivenExceptionMatches(error.get(), cancelled.get()) &&
        cancel_requests(asyncio.get()) <= cancel_requests_before) {
        co_return py::none();  // the dispatch task ended as asked
    }
    throw py::PyError(std::move(error));
}

}  // namespace

constinit const py::FunctionSpec kShutdownSpec = corvane_function({
    .name = "shutdown",
    .qualname = "AsyncQueue.shutdown",
    .doc = "AsyncQueue.shutdown(self, *excinfo)",
    .params = {"shutdown", nullptr, 0, 0, "excinfo"},
    .body = &shutdown_body,
});

}  // namespace orvix::corvane
