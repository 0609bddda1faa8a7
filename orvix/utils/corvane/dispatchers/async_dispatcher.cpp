#include "orvix/utils/corvane/dispatchers/async_dispatcher.hpp"

#include <new>

#include "cpython_support/coroutine.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/common.hpp"
#include "orvix/utils/corvane/dispatchers/native_exception.hpp"
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

constexpr const char kSetupTraceback[] = "orvix.utils.corvane.corvane.AsyncDispatcher.setup";

using Fields = OwnedFields<OrvixAsyncDispatcher, &OrvixAsyncDispatcher::_q, &OrvixAsyncDispatcher::callback,
                           &OrvixAsyncDispatcher::_socket, &OrvixAsyncDispatcher::_task>;

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
py::CoroutineBody reader_body(py::Coroutine& co) {
    PyObject* self = co.self();   // the coroutine holds self, loop and sock
    PyObject* loop = co.arg(0);
    PyObject* sock = co.arg(1);
    for (;;) {
        Ref data = py::check(next_message(self));
        if (data.get() == Py_None) {
            co_await py::check(Ref::steal(
                PyObject_CallMethodObjArgs(loop, kSockRecv.get(), sock, state().int_1, nullptr)));
        } else {
            // Read afresh per message and held for the call.
            Ref callback = Ref::borrow(rec(self).callback);
            co_await py::check(Ref::steal(PyObject_CallOneArg(callback.get(), data.get())));
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
    Ref sock = Ref::steal(open_wakeup_socket(self, &r._socket, socket_module.get(), host, /*blocking=*/false));
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
        retire_wakeup_socket(self);
        if (!Ref::steal(PyObject_CallMethodNoArgs(r._socket, kClose.get()))) return -1;
        py::replace_field(r._socket, Py_NewRef(Py_None));
    }
    return 0;
}

// ---- C-level table entries ---------------------------------------------------------

void setup_entry(PyObject* self, int skip_override, const OrvixSetupOptArgs* opt) {
    PyObject* host = setup_host(opt);
    if (Override o = find_override(self, skip_override, &AsyncDispatcherType, kSetup.get())) {
        Ref discarded = o.call({host});
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
constexpr int kOverwrite = 3, kZerocopy = 4, kVariableSize = 5;
constexpr const char kCinitTraceback[] = "orvix.utils.corvane.corvane.AsyncDispatcher.__cinit__";

PyObject* async_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    AsyncDispatcherObject& d = async_dispatcher(obj.get());
    new (&d.wakeup) WakeupTail{};
    OrvixAsyncDispatcher& r = d.rec();
    r.vtab = &vtable;
    Fields::init_none(r);
    // No handle until setup() stores one (never 0, a real descriptor).
    r._sock_fd = net::kNoSocket;

    ConstructorArguments a;
    if (parse_constructor_arguments(kConstructorNames, args, kwargs, a) < 0) {
        py::add_traceback(kCinitTraceback, 1);
        return nullptr;
    }
    Ref ring = create_ring(a.slot_size, a.capacity,
                           {{RingOption::overwrite, a.flag(kOverwrite)}, {RingOption::zerocopy, a.flag(kZerocopy)}});
    if (!ring) {
        py::add_traceback(kCinitTraceback, 1);
        return nullptr;
    }
    py::replace_field(r._q, ring.release());
    py::replace_field(r.callback, Py_NewRef(a.callback));
    const bool variable_size = a.flag(kVariableSize);
    r.push_fn = variable_size ? vtable.push_var : vtable.push;
    r.pop_fn = variable_size ? vtable._try_pop_var : vtable._try_pop;
    return obj.release();
}

int async_traverse(PyObject* self, visitproc visit, void* arg) { return Fields::traverse(rec(self), visit, arg); }

int async_clear(PyObject* self) {
    // Releasing `_socket` may close the handle: no producer may still use it.
    retire_wakeup_socket(self);
    Fields::clear(rec(self));
    return 0;
}

// Deallocation closes through attribute lookup, so a subclass's close runs.
void close_by_lookup(PyObject* self) { Ref discarded = Ref::steal(PyObject_CallMethodNoArgs(self, kClose.get())); }

void async_dealloc(PyObject* self) {
    if (!close_for_dealloc(self, async_dealloc, close_by_lookup,
                           "orvix.utils.corvane.corvane.AsyncDispatcher.__dealloc__"))
        return;
    retire_wakeup_socket(self);
    Fields::release(rec(self));
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject make_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "orvix.utils.corvane.corvane.AsyncDispatcher";
    type.tp_basicsize = sizeof(AsyncDispatcherObject);
    type.tp_dealloc = async_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
    type.tp_traverse = async_traverse;
    type.tp_clear = async_clear;
    type.tp_new = async_new;
    return type;
}

}  // namespace

PyTypeObject AsyncDispatcherType = make_type();

const ClassEntry async_dispatcher_class = {
    .type = &AsyncDispatcherType,
    .vtable = &vtable,
    .fill_vtable = &fill_vtable,
    .reduce = &refuse_reduce_def,
    .setstate = &refuse_setstate_def,
    .functions = functions,
};

}  // namespace orvix::corvane
