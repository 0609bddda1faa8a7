#include "orvix/utils/corvane/dispatchers/async_dispatcher.hpp"

#include <utility>

#include "cpython_support/coroutine.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/common.hpp"
#include "orvix/utils/corvane/dispatchers/native_exception.hpp"
#include "orvix/utils/corvane/dispatchers/reader_socket.hpp"
#include "orvix/utils/corvane/dispatchers/ring_pop.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_push.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_type.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/overridable.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {

namespace {

using py::Ref;

StringConstant kSetup{"setup"};
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
StringConstant kSleep{"sleep"};

constexpr const char kSetupTraceback[] = "orvix.utils.corvane.corvane.AsyncDispatcher.setup";

OrvixAsyncDispatcherVTable vtable;

OrvixAsyncDispatcher& rec(PyObject* self) noexcept { return async_dispatcher(self).rec(); }

// ---- The reader ---------------------------------------------------------------------

// One message, or None when the ring is empty; a native exception thrown by
// the ring becomes the Python exception of the translation table.
Ref next_message(PyObject* self) {
    try {
        return Ref::steal(rec(self).pop_fn(self));
    } catch (...) {
        set_error_from_native_exception();
        return nullptr;
    }
}

// async def _reader(self, loop, sock):
//     while True:
//         data = self.pop_fn()
//         if data is None:
//             await loop.sock_recv(sock, 1)
//         else:
//             await self.callback(data)
// Any exception (the callback's, the receive's, a cancellation) ends it.
// Callbacks that finish without suspending never give the loop a turn, so
// after kMessagesPerTurn of them in a row the reader yields once
// (`await asyncio.sleep(0)`): a producer that never pauses cannot starve
// the loop's other tasks, nor keep close()'s cancellation from running.
// Before it waits, the reader arms the doorbell and polls once more (see
// reader_step.hpp), so producers send only when it actually sleeps. close()
// closes the socket at once but cancels the task only when the loop runs
// its callback; a reader that gets there first finds the dispatcher closed
// and returns instead of receiving on a closed socket.
constexpr int kMessagesPerTurn = 1024;

// asyncio.sleep(0): one turn of the loop for everything else.
Ref yield_to_loop() {
    Ref asyncio = py::check(Ref::steal(lookup_global(kAsyncio.get())));
    return py::check(Ref::steal(PyObject_CallMethodOneArg(asyncio.get(), kSleep.get(), state().int_0)));
}

py::CoroutineBody reader_body(py::Coroutine& co) {
    PyObject* self = co.self();   // the coroutine holds self, loop and sock
    PyObject* loop = co.arg(0);
    PyObject* sock = co.arg(1);
    DoorbellReader doorbell{socket_core(self).doorbell};
    int since_turn = 0;
    for (;;) {
        Ref data = py::check(next_message(self));
        const bool found = data.get() != Py_None;
        if (!found && wake_socket_retired(self)) co_return py::none();
        switch (doorbell.after_poll(found)) {
        case ReaderStep::message: {
            // Read afresh per message and held for the call.
            Ref callback = Ref::borrow(rec(self).callback);
            co_await py::check(Ref::steal(PyObject_CallOneArg(callback.get(), data.get())));
            if (++since_turn == kMessagesPerTurn) {
                since_turn = 0;
                co_await yield_to_loop();
            }
            break;
        }
        case ReaderStep::armed: break;
        case ReaderStep::must_wait:
            co_await py::check(Ref::steal(
                PyObject_CallMethodObjArgs(loop, kSockRecv.get(), sock, state().int_1, nullptr)));
            doorbell.woken();
            since_turn = 0;
            break;
        }
    }
}

PyObject* try_pop_entry(PyObject* self) {
    return pop_message(self, &OrvixSPSCQueueVTable::try_pop,
                       "orvix.utils.corvane.corvane.AsyncDispatcher._try_pop");
}

PyObject* try_pop_var_entry(PyObject* self) {
    return pop_message(self, &OrvixSPSCQueueVTable::try_pop_var,
                       "orvix.utils.corvane.corvane.AsyncDispatcher._try_pop_var");
}

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

constinit py::FunctionSpec kFinalizeSpec{
    .name = "_finalize",
    .qualname = "close.<locals>._finalize",
    .doc = nullptr,
    .params = {"_finalize", kNoNames, 0, 0},
    .impl = finalize_method,
    .method = false,
    .traceback_name = "orvix.utils.corvane.corvane.AsyncDispatcher.close._finalize",
};

int close_impl(PyObject* self) {
    OrvixAsyncDispatcher& r = rec(self);
    if (r._task != Py_None) {
        // The task is cancelled in its own loop's thread; close() may run in
        // any thread that holds the interpreter lock.
        Ref task = Ref::steal(std::exchange(r._task, Py_NewRef(Py_None)));
        Ref loop = Ref::steal(PyObject_CallMethodNoArgs(task.get(), kGetLoop.get()));
        if (!loop) return -1;
        Ref finalize = py::make_function(kFinalizeSpec, nullptr, task.get());
        if (!finalize) return -1;
        if (!Ref::steal(PyObject_CallMethodOneArg(loop.get(), kCallSoonThreadsafe.get(), finalize.get())))
            return -1;
    }
    if (r._socket != Py_None) {
        // No producer may send through the handle once the socket is closed
        // (the system may hand the number to another socket at once).
        socket_core(self).wake_handle.retire();
        if (!Ref::steal(PyObject_CallMethodNoArgs(r._socket, kClose.get()))) return -1;
        py::replace_field(r._socket, Py_NewRef(Py_None));
    }
    return 0;
}

// ---- C-level table entries ---------------------------------------------------------

void setup_entry(PyObject* self, int skip_override, const OrvixSetupOptArgs* opt) {
    PyObject* host = setup_host(opt);
    if (Override o = find_override(self, skip_override, &AsyncDispatcherType, kSetup.get())) {
        if (!o.call({host})) py::add_traceback(kSetupTraceback, 1);
        return;
    }
    if (setup_impl(self, host) < 0) py::add_traceback(kSetupTraceback, 1);
}

void fill_vtable() {
    vtable.setup = setup_entry;
    vtable.push = push_and_wake;
    vtable.push_var = push_var_and_wake_on_one;
    vtable._try_pop = try_pop_entry;
    vtable._try_pop_var = try_pop_var_entry;
}

// ---- Python-visible methods (the function type adds their traceback entries) -------

PyObject* setup_method(py::Function&, PyObject* self, py::BoundArguments& args) {
    if (!check_setup_host(args[0]) || setup_impl(self, args[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* close_method(py::Function&, PyObject* self, py::BoundArguments&) {
    if (close_impl(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr const char* kHostNames[] = {"host"};
constexpr const char* kReaderNames[] = {"loop", "sock"};

constinit py::FunctionSpec kSetupSpec{
    .name = "setup",
    .qualname = "AsyncDispatcher.setup",
    .doc = "AsyncDispatcher.setup(self, str host='127.0.0.1') -> void",
    .params = {"setup", kHostNames, 1, 0},
    .impl = setup_method,
};
constinit py::FunctionSpec kReaderSpec{
    .name = "_reader",
    .qualname = "AsyncDispatcher._reader",
    .doc = "AsyncDispatcher._reader(self, loop, sock)",
    .params = {"_reader", kReaderNames, 2, 2},
    .body = reader_body,
};
constinit py::FunctionSpec kCloseSpec{
    .name = "close",
    .qualname = "AsyncDispatcher.close",
    .doc = "AsyncDispatcher.close(self) -> None",
    .params = {"close", kNoNames, 0, 0},
    .impl = close_method,
};

const FunctionEntry functions[] = {
    {"setup", kSetupSpec, FunctionExtra::localhost_default},
    {"_reader", kReaderSpec},
    {"close", kCloseSpec, FunctionExtra::returns_none},
};

// ---- The type ------------------------------------------------------------------------

constexpr const char* kConstructorNames[] = {"callback", "capacity", "slot_size",
                                             "overwrite", "zerocopy", "variable_size"};
constexpr int kVariableSize = 5;

// Deallocation closes through attribute lookup, so a subclass's close runs;
// a subclass that the collector has already torn down has nothing left to
// look up in (dealloc_skip_override), so the class's own close runs then.
void close_by_lookup(PyObject* self) {
    if (dealloc_skip_override(self)) {
        if (close_impl(self) < 0) py::add_traceback("orvix.utils.corvane.corvane.AsyncDispatcher.close", 1);
        return;
    }
    Ref discarded = Ref::steal(PyObject_CallMethodNoArgs(self, kClose.get()));
}

struct AsyncDispatcherClass {
    using Record = OrvixAsyncDispatcher;
    using Private = AsyncDispatcherPrivate;
    using Fields = OwnedFields<Record, &Record::_q, &Record::callback, &Record::_socket, &Record::_task>;
    static constexpr const char kDeallocContext[] = "orvix.utils.corvane.corvane.AsyncDispatcher.__dealloc__";
    static constexpr auto close_on_dealloc = close_by_lookup;
};
using Slots = SocketDispatcherSlots<AsyncDispatcherClass>;

PyObject* async_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    ConstructorArguments a;
    Ref obj = Slots::construct(type, &vtable, kConstructorNames, {.overwrite = 3, .zerocopy = 4}, args, kwargs,
                               "orvix.utils.corvane.corvane.AsyncDispatcher.__cinit__", a);
    if (!obj) return nullptr;
    OrvixAsyncDispatcher& r = Slots::record(obj.get());
    const bool variable_size = a.flag(kVariableSize);
    r.push_fn = variable_size ? vtable.push_var : vtable.push;
    r.pop_fn = variable_size ? vtable._try_pop_var : vtable._try_pop;
    return obj.release();
}

}  // namespace

PyTypeObject AsyncDispatcherType =
    Slots::make_type("orvix.utils.corvane.corvane.AsyncDispatcher", async_new);

const ClassEntry async_dispatcher_class = {
    .type = &AsyncDispatcherType,
    .vtable = &vtable,
    .fill_vtable = &fill_vtable,
    .reduce = &refuse_reduce_def,
    .setstate = &refuse_setstate_def,
    .functions = functions,
};

}  // namespace orvix::corvane
