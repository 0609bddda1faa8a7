// shutdown(*excinfo): wakes every waiter, then cancels the dispatch task and
// waits for it to end. The queue itself is left as it is.
#include <Python.h>

#include "cpython_support/coroutine.hpp"
#include "orvix/utils/corvane/asyncqueue/async_queue.hpp"
#include "orvix/utils/corvane/asyncqueue/condition.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

constexpr const char kShutdownName[] = "orvix.utils.corvane.corvane.AsyncQueue.shutdown";

StringConstant kAsyncio{"asyncio"};
StringConstant kCancel{"cancel"};
StringConstant kCancelledError{"CancelledError"};
StringConstant kCurrentTask{"current_task"};
StringConstant kCancelling{"cancelling"};

// True when the task running shutdown has itself been asked to stop. Its
// CancelledError must reach it, not be taken for the dispatch task's own.
bool caller_is_cancelled(PyObject* asyncio) {
    py::Ref current = py::Ref::steal(PyObject_CallMethodNoArgs(asyncio, kCurrentTask.get()));
    py::Ref count = current ? py::Ref::steal(PyObject_CallMethodNoArgs(current.get(), kCancelling.get())) : py::Ref();
    if (!count) {
        // Driven outside a task (current_task() has no loop), or a task class
        // without cancelling(): there is no request to pass on.
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::PyError();
        }
        PyErr_Clear();
        return false;
    }
    return py::check(PyObject_IsTrue(count.get())) == 1;
}

py::CoroutineBody shutdown_body(py::Coroutine& co) {
    OrvixAsyncQueue* q = async_queue(co.self());
    {
        py::AsyncWith block(co, q->_notify_cond);
        co_await block.enter();
        try {
            notify_waiters(q, Wake::all, kShutdownName);
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
    if (PyErr_GivenExceptionMatches(error.get(), cancelled.get()) && !caller_is_cancelled(asyncio.get())) {
        co_return py::none();  // the dispatch task ended as asked
    }
    throw py::PyError(std::move(error));
}

}  // namespace

constinit const py::FunctionSpec kShutdownSpec{
    .name = "shutdown",
    .qualname = "AsyncQueue.shutdown",
    .doc = "AsyncQueue.shutdown(self, *excinfo)",
    .params = {"shutdown", nullptr, 0, 0, "excinfo"},
    .body = &shutdown_body,
};

}  // namespace orvix::corvane
