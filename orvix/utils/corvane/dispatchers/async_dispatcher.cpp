#include "orvix/utils/corvane/dispatchers/async_dispatcher.hpp"

#include <utility>

#include "cpython_support/coroutine.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/async_reader_loop.hpp"
#include "orvix/utils/corvane/dispatchers/dispatcher_slots.hpp"
#include "orvix/utils/corvane/dispatchers/native_exception.hpp"
#include "orvix/utils/corvane/dispatchers/reader_socket.hpp"
#include "orvix/utils/corvane/dispatchers/ring_pop.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_push.hpp"
#include "orvix/utils/corvane/dispatchers/stats_method.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"
#include "orvix/utils/corvane/module/method_description.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/overridable.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {

namespace {

using py::Ref;

StringConstant kReader{"_reader"};
StringConstant kClose{"close"};
StringConstant kSocketModule{"socket"};
StringConstant kAsyncio{"asyncio"};
StringConstant kGetRunningLoop{"get_running_loop"};
StringConstant kCreateTask{"create_task"};
StringConstant kSockRecv{"sock_recv"};
StringConstant kGetLoop{"get_loop"};
StringConstant kCallSoonThreadsafe{"call_soon_threadsafe"};
StringConstant kDone{"done"};
StringConstant kCancel{"cancel"};
StringConstant kLoopField{"_loop"};
StringConstant kIsClosed{"is_closed"};
StringConstant kSleep{"sleep"};

OrvixAsyncDispatcherVTable vtable;

OrvixAsyncDispatcher& rec(PyObject* self) noexcept { return async_dispatcher(self).rec(); }

// ---- The reader ---------------------------------------------------------------------

std::size_t one_message(PyObject*) noexcept { return 1; }

// The table's _try_pop / _try_pop_var: a failed copy is reported under
// that entry's name.
template <RingPop pop, const char* name>
PyObject* try_pop_entry(PyObject* self) {
    return pop_message(self, pop, &AsyncDispatcherType, name);
}
constexpr char kTryPopName[] = "_try_pop";
constexpr char kTryPopVarName[] = "_try_pop_var";

// ---- Setup ---------------------------------------------------------------------------

int setup_impl(PyObject* self, PyObject* host) {
    if (refuse_second_setup(self) < 0) return -1;
    Ref socket_module = Ref::steal(import_module(kSocketModule.get()));
    if (!socket_module) return -1;
    // The loop first: without one, no socket is made.
    Ref asyncio = Ref::steal(lookup_global(kAsyncio.get()));
    if (!asyncio) return -1;
    Ref loop = Ref::steal(PyObject_CallMethodNoArgs(asyncio.get(), kGetRunningLoop.get()));
    if (!loop) return -1;
    OrvixAsyncDispatcher& r = rec(self);
    // Non-blocking: the loop's sock_recv waits for it.
    Ref sock = Ref::steal(open_reader_socket(self, &r._socket, socket_module.get(), host, /*blocking=*/false));
    if (!sock) return -1;
    // Looked up on the object, so a subclass's _reader runs.
    Ref coro = Ref::steal(PyObject_CallMethodObjArgs(self, kReader.get(), loop.get(), sock.get(), nullptr));
    if (!coro) return -1;
    Ref task = Ref::steal(PyObject_CallMethodOneArg(loop.get(), kCreateTask.get(), coro.get()));
    if (!task) return -1;
    py::replace_field(r._task, task.release());
    // The task runs only once the loop gets a turn, after this.
    socket_delivery(self).reader_started();
    return 0;
}

// ---- Close ---------------------------------------------------------------------------

// close.<locals>._finalize: runs in the task's loop; `fn.data` is the task.
PyObject* finalize_method(py::Function& fn, PyObject*, py::BoundArguments&) {
    PyObject* task = fn.data;
    Ref done = Ref::steal(PyObject_CallMethodNoArgs(task, kDone.get()));
    if (!done) return nullptr;
    const int is_done = PyObject_IsTrue(done.get());
    if (is_done < 0) return nullptr;
    if (!is_done && !Ref::steal(PyObject_CallMethodNoArgs(task, kCancel.get()))) return nullptr;
    Py_RETURN_NONE;
}

constexpr const char* kNoNames[] = {nullptr};

constinit py::FunctionSpec kFinalizeSpec = corvane_function({
    .name = "_finalize",
    .qualname = "close.<locals>._finalize",
    .doc = nullptr,
    .params = {"_finalize", kNoNames, 0, 0},
    .impl = finalize_method,
    .method = false,
    .traceback_name = "AsyncDispatcher.close._finalize",
});

// A task that the collector has cleared (it was garbage together with the
// dispatcher) has no loop left (asyncio's tasks then answer None for
// `_loop`, and their get_loop raises) and never runs again. 1 if so, 0 if
// not, -1 with an exception.
int task_cleared(PyObject* task) {
    Ref loop = Ref::steal(PyObject_GetAttr(task, kLoopField.get()));
    if (!loop) {
        // A task of another kind, without the field: treated as usual.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return loop.get() == Py_None;
}

// A closed loop runs nothing any more: a task that finished before it
// closed needs no cancelling, and asking the loop would only raise. (Asked
// only then: while the loop runs, done() belongs to the loop's thread.)
int finished_in_closed_loop(PyObject* task, PyObject* loop) {
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(loop, kIsClosed.get()));
    if (!closed) return -1;
    const int is_closed = PyObject_IsTrue(closed.get());
    if (is_closed <= 0) return is_closed;
    Ref done = Ref::steal(PyObject_CallMethodNoArgs(task, kDone.get()));
    return done ? PyObject_IsTrue(done.get()) : -1;
}

// The task is cancelled in its own loop's thread; close() may run in any
// thread that holds the interpreter lock.
int cancel_in_its_loop(PyObject* task) {
    Ref loop = Ref::steal(PyObject_CallMethodNoArgs(task, kGetLoop.get()));
    if (!loop) return -1;
    if (const int finished = finished_in_closed_loop(task, loop.get()); finished != 0) return finished < 0 ? -1 : 0;
    Ref finalize = py::make_function(kFinalizeSpec, nullptr, task);
    if (!finalize) return -1;
    return Ref::steal(PyObject_CallMethodOneArg(loop.get(), kCallSoonThreadsafe.get(), finalize.get())) ? 0 : -1;
}

// What the ring holds when close() runs is not delivered, save what the
// reader takes before the cancellation reaches it (its next step in the
// loop): it stays in the closed ring, counted in stats()["pending"].
int close_impl(PyObject* self) {
    OrvixAsyncDispatcher& r = rec(self);
    // First: the cancellation that follows is close()'s, not the reader's
    // end; and once set up, the ring refuses every push from here on.
    close_socket_ring(self);
    bool torn_down = false;
    if (r._task != Py_None) {
        Ref task = Ref::steal(std::exchange(r._task, Py_NewRef(Py_None)));
        const int cleared = task_cleared(task.get());
        if (cleared < 0) return -1;
        torn_down = cleared != 0;
        if (!torn_down && cancel_in_its_loop(task.get()) < 0) return -1;
    }
    if (r._socket != Py_None) {
        // No producer may send through the handle once the socket is closed
        // (the system may hand the number to another socket at once).
        socket_core(self).wake_handle.retire();
        if (close_socket(r._socket, torn_down) < 0) return -1;
        py::replace_field(r._socket, Py_NewRef(Py_None));
    }
    return 0;
}

// ---- Python-visible methods (the function type adds their traceback entries) -------

constexpr const char* kReaderNames[] = {"loop", "sock"};

constinit py::FunctionSpec kSetupSpec =
    setup_spec<setup_impl>("AsyncDispatcher.setup", "AsyncDispatcher.setup(self, str host='127.0.0.1') -> void");
constinit py::FunctionSpec kReaderSpec = corvane_function({
    .name = "_reader",
    .qualname = "AsyncDispatcher._reader",
    .doc = "AsyncDispatcher._reader(self, loop, sock)",
    .params = {"_reader", kReaderNames, 2, 2},
    .body = async_reader_loop<one_message>,
});
constinit py::FunctionSpec kCloseSpec =
    no_argument_method<close_impl>("close", "AsyncDispatcher.close", "AsyncDispatcher.close(self) -> None");
constinit py::FunctionSpec kStatsSpec = stats_spec<socket_delivery, add_wakeup_stats>("AsyncDispatcher.stats");

const FunctionEntry functions[] = {
    {"setup", kSetupSpec, FunctionExtra::localhost_default},
    {"_reader", kReaderSpec},
    {"close", kCloseSpec, FunctionExtra::returns_none},
    {"stats", kStatsSpec},
};

// ---- C-level table entries ---------------------------------------------------------

void setup_entry(PyObject* self, int skip_override, const OrvixSetupOptArgs* opt) {
    run_setup_entry(self, skip_override, opt, &AsyncDispatcherType, kSetupSpec, setup_impl);
}

std::size_t push_burst_entry(PyObject* self, const OrvixRingMessage* messages, std::size_t n, int* results) {
    return push_burst_and_wake(self, messages, n, results, rec(self).try_push_fn == push_var_and_wake);
}

void fill_vtable() {
    vtable.setup = setup_entry;
    vtable.push = without_result<push_and_wake>;
    vtable.push_var = without_result<push_var_and_wake>;
    vtable._try_pop = try_pop_entry<&OrvixSPSCQueueVTable::try_pop, kTryPopName>;
    vtable._try_pop_var = try_pop_entry<&OrvixSPSCQueueVTable::try_pop_var, kTryPopVarName>;
    vtable.push_burst = push_burst_entry;
}

// ---- The type ------------------------------------------------------------------------

constexpr const char* kConstructorNames[] = {"callback", "capacity", "slot_size",
                                             "overwrite", "zerocopy", "variable_size"};
constexpr int kVariableSize = 5;
constexpr RingFlag kRingFlags[] = {{RingOption::overwrite, 3}, {RingOption::zerocopy, 4}};

// Deallocation closes through attribute lookup, so a subclass's close runs;
// a subclass that the collector has already torn down has nothing left to
// look up in (dealloc_skip_override), so the class's own close runs then.
void close_by_lookup(PyObject* self) {
    if (dealloc_skip_override(self)) {
        if (close_impl(self) < 0) py::add_call_traceback(kCloseSpec);
        return;
    }
    Ref discarded = Ref::steal(PyObject_CallMethodNoArgs(self, kClose.get()));
}

struct AsyncDispatcherClass : SocketDispatcherClass<OrvixAsyncDispatcher, AsyncDispatcherPrivate,
                                                    &OrvixAsyncDispatcher::_q, &OrvixAsyncDispatcher::callback,
                                                    &OrvixAsyncDispatcher::_socket, &OrvixAsyncDispatcher::_task> {
    static PyTypeObject* type() noexcept { return &AsyncDispatcherType; }
    static constexpr ConstructorSpec kConstructor{.names = kConstructorNames, .ring_flags = kRingFlags};
    static void prepare(PyObject* self) noexcept { prepare_with(self, &vtable); }
    static void configure(Record& r, const ConstructorArguments& a) noexcept {
        const bool variable_size = a.flag(kVariableSize);
        r.push_fn = variable_size ? vtable.push_var : vtable.push;
        r.try_push_fn = variable_size ? push_var_and_wake : push_and_wake;
        r.pop_fn = variable_size ? vtable._try_pop_var : vtable._try_pop;
    }
    static constexpr auto close_on_dealloc = close_by_lookup;
};

}  // namespace

// ---- The reader's steps (async_reader_loop.hpp) ---------------------------------

Ref async_reader_poll(PyObject* self) {
    try {
        return Ref::steal(rec(self).pop_fn(self));
    } catch (...) {
        set_error_from_native_exception();
        return nullptr;
    }
}

Ref async_reader_yield() {
    Ref asyncio = py::check(Ref::steal(lookup_global(kAsyncio.get())));
    return py::check(Ref::steal(PyObject_CallMethodOneArg(asyncio.get(), kSleep.get(), state().int_0)));
}

Ref async_reader_receive(PyObject* loop, PyObject* sock) {
    return py::check(Ref::steal(PyObject_CallMethodObjArgs(loop, kSockRecv.get(), sock, state().int_1, nullptr)));
}

int async_dispatcher_setup(PyObject* self, PyObject* host) { return setup_impl(self, host); }
int async_dispatcher_close(PyObject* self) { return close_impl(self); }

PyTypeObject AsyncDispatcherType =
    DispatcherSlots<AsyncDispatcherClass>::make_type("orvix.utils.corvane.corvane.AsyncDispatcher");

const ClassEntry async_dispatcher_class = DispatcherSlots<AsyncDispatcherClass>::class_entry(&vtable, &fill_vtable, functions, ORVIX_ASYNC_DISPATCHER);

}  // namespace orvix::corvane
