// The consumer side: pop(), the dispatch coroutine and start_dispatcher.
//
// pop() and the dispatch task share one loop: poll the ring without the lock;
// when it is empty, wait on `_notify_cond` (without its lock while nobody
// else holds or wants it, see wait_if_lock_free) and poll again. pop() returns the
// first message, the dispatch task awaits the callback with each one.
#include <Python.h>

#include "cpython_support/coroutine.hpp"
#include "cpython_support/errors.hpp"
#include "orvix/utils/corvane/asyncqueue/async_queue.hpp"
#include "orvix/utils/corvane/asyncqueue/condition.hpp"
#include "orvix/utils/corvane/asyncqueue/queue_ring.hpp"
#include "orvix/utils/corvane/dispatchers/stats_method.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/overridable.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {


StringConstant kStartDispatcher{"start_dispatcher"};
StringConstant kDispatch{"_AsyncQueue__dispatch"};
StringConstant kCreateTask{"create_task"};
StringConstant kDone{"done"};

enum class Delivery { first_message, every_message };

// The name a consumer's errors are reported under.
template <Delivery kDelivery>
constexpr const char* kConsumerName = kDelivery == Delivery::first_message ? "pop" : "_AsyncQueue__dispatch";

enum class WaitedWith { no_lock, lock };

// A consumer that leaves its wait by an exception (a cancellation, mostly)
// may have been woken by a push already: a woken task that is cancelled
// before it runs gets the cancellation instead of the message. Like
// asyncio.Queue it hands the wake-up on to the next waiter, or the message
// would sit in the ring while another consumer sleeps. Whether this one was
// woken is not always known (the block's wait() does not tell), so any
// message left in the ring counts: a waiter woken for nothing polls, finds
// the ring empty and waits again. The block's wait() takes the lock back
// before it raises, so there the condition's own notify() applies; a wait
// without the lock wakes the next waiter as notify() would. A failure here
// cannot replace the exception that is leaving: it is reported unraisable.
template <Delivery kDelivery>
void pass_on_wake_up(OrvixAsyncQueue* q, WaitedWith waited) noexcept {
    try {
        if (!holds_message(q)) return;
        if (waited == WaitedWith::lock) {
            notify_waiters(q, Wake::one, kConsumerName<kDelivery>);
        } else {
            wake_first_waiter(q);
        }
    } catch (py::PyError& error) {
        error.restore();
        py::report_unraisable(kDelivery == Delivery::first_message
                                  ? "orvix.utils.corvane.corvane.AsyncQueue.pop"
                                  : "orvix.utils.corvane.corvane.AsyncQueue._AsyncQueue__dispatch");
    }
}

template <Delivery kDelivery>
py::CoroutineBody consume(py::Coroutine& co) {
    OrvixAsyncQueue* q = async_queue(co.self());
    try {
        for (;;) {
            // A message found here is taken without touching the lock.
            py::Ref message = take_message(q);
            if (!message) {
                if (py::Ref future = wait_if_lock_free(q)) {
                    py::Held waiter(co, std::move(future));
                    try {
                        co_await waiter;
                    } catch (py::PyError&) {
                        forget_waiter(q, waiter.get());
                        pass_on_wake_up<kDelivery>(q, WaitedWith::no_lock);
                        throw;
                    }
                    forget_waiter(q, waiter.get());
                    continue;
                }
                py::AsyncWith block(co, q->_notify_cond);
                co_await block.enter();
                try {
                    // Polled again under the lock: a producer's notify() that came
                    // while this consumer queued for the lock found nobody waiting.
                    // The ring is asked only through try_pop, so a message found
                    // here is taken at once and handed on once the block is left
                    // (asyncio's condition releases its lock there without
                    // suspending, so nothing can come between).
                    message = take_message(q);
                    if (!message) co_await condition_wait(q);
                } catch (py::PyError& error) {
                    pass_on_wake_up<kDelivery>(q, WaitedWith::lock);
                    block.fail(error);  // a cancelled wait leaves through __aexit__
                }
                co_await block.exit();
                if (!message) continue;
            }
            queue_delivery(co.self()).count_delivery();
            if constexpr (kDelivery == Delivery::first_message) {
                co_return message;
            } else {
                // The next message is not taken before this one's callback has finished.
                co_await py::check(py::Ref::steal(PyObject_CallOneArg(q->_callback, message.get())));
            }
        }
    } catch (py::PyError& error) {
        // The dispatch task's end is the reader's; pop()'s failures are its caller's.
        if constexpr (kDelivery == Delivery::every_message) queue_delivery(co.self()).reader_stopped(error.exception());
        throw;
    }
}

// pop() with a message in the ring takes it in its first step, with no body
// made; the body then starts over from polling the ring.
py::CoroutineBodyFn pop_first_step(py::Coroutine& co, py::Ref& result) {
    result = take_message(async_queue(co.self()));
    if (!result) return &consume<Delivery::first_message>;
    queue_delivery(co.self()).count_delivery();
    return nullptr;
}

// Starting while an earlier dispatch task still runs is refused: two tasks
// would share the ring's single consumer side, and the first could no longer
// be shut down.
int refuse_second_dispatcher(OrvixAsyncQueue* q) {
    if (q->_task == Py_None) return 0;
    py::Ref done = py::Ref::steal(PyObject_CallMethodNoArgs(q->_task, kDone.get()));
    const int finished = done ? PyObject_IsTrue(done.get()) : -1;
    if (finished) return finished < 0 ? -1 : 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "AsyncQueue dispatcher is already running: await shutdown() before starting another");
    return -1;
}

PyObject* start_dispatcher(PyObject* self, PyObject* callback) {
    OrvixAsyncQueue* q = async_queue(self);
    if (refuse_second_dispatcher(q) < 0) return nullptr;
    py::replace_field(q->_callback, Py_NewRef(callback));
    // Looked up on the instance, so a subclass's dispatch coroutine runs.
    py::Ref coroutine = py::Ref::steal(PyObject_CallMethodNoArgs(self, kDispatch.get()));
    if (!coroutine) return nullptr;
    py::Ref task = py::Ref::steal(PyObject_CallMethodOneArg(q->_loop, kCreateTask.get(), coroutine.get()));
    if (!task) return nullptr;
    py::replace_field(q->_task, task.release());
    // The task runs only once the loop gets a turn, after this.
    queue_delivery(self).reader_started();
    Py_RETURN_NONE;
}

PyObject* start_dispatcher_method(py::Function&, PyObject* self, py::BoundArguments& args) {
    return start_dispatcher(self, args[0]);
}

constexpr const char* kCallback[] = {"callback"};
constexpr const char* kConsumerLocals[] = {"data", "size"};

// pop() and _AsyncQueue__dispatch(): no parameters besides self. A call that
// fails is reported under the name the method is stored as, which for the
// private dispatch coroutine is its mangled name, not its qualified name.
template <Delivery kDelivery>
constexpr py::FunctionSpec consumer_spec(const char* name, const char* qualname, const char* doc,
                                         const char* func_name, const char* traceback_name = nullptr) {
    return {
        .name = name,
        .qualname = qualname,
        .doc = doc,
        .params = {func_name, nullptr, 0, 0},
        .body = &consume<kDelivery>,
        .first_step = kDelivery == Delivery::first_message ? &pop_first_step : nullptr,
        .traceback_name = traceback_name,
        .locals = kConsumerLocals,
        .nlocals = 2,
    };
}

}  // namespace

PyObject* start_dispatcher_entry(PyObject* self, PyObject* callback, int skip_override) {
    py::Ref result;
    if (Override o = find_override(self, skip_override, &AsyncQueueType, kStartDispatcher.get())) {
        result = o.call({callback});
    } else {
        result = py::Ref::steal(start_dispatcher(self, callback));
    }
    if (!result) add_member_traceback(&AsyncQueueType, "start_dispatcher");
    return result.release();
}

constinit const py::FunctionSpec kStatsSpec = stats_spec<queue_delivery>("AsyncQueue.stats");

constinit const py::FunctionSpec kStartDispatcherSpec = corvane_function({
    .name = "start_dispatcher",
    .qualname = "AsyncQueue.start_dispatcher",
    .doc = "AsyncQueue.start_dispatcher(self, callback)",
    .params = {"start_dispatcher", kCallback, 1, 1},
    .impl = &start_dispatcher_method,
});

constinit const py::FunctionSpec kPopSpec = corvane_function(
    consumer_spec<Delivery::first_message>("pop", "AsyncQueue.pop", "AsyncQueue.pop(self)", "pop"));

constinit const py::FunctionSpec kDispatchSpec = corvane_function(consumer_spec<Delivery::every_message>(
    "__dispatch", "AsyncQueue.__dispatch", "AsyncQueue.__dispatch(self)", "_AsyncQueue__dispatch",
    "AsyncQueue._AsyncQueue__dispatch"));

}  // namespace orvix::corvane
