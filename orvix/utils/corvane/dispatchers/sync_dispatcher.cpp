#include "orvix/utils/corvane/dispatchers/sync_dispatcher.hpp"

#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/common.hpp"
#include "orvix/utils/corvane/dispatchers/reader_socket.hpp"
#include "orvix/utils/corvane/dispatchers/ring_pop.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_push.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_type.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/overridable.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {

namespace {

using py::Ref;

StringConstant kSetup{"setup"};
StringConstant kTryPop{"_try_pop"};
StringConstant kTryPopVar{"_try_pop_var"};
StringConstant kClose{"close"};
StringConstant kSocketModule{"socket"};
StringConstant kThreadingModule{"threading"};
StringConstant kThread{"Thread"};
StringConstant kTarget{"target"};
StringConstant kDaemon{"daemon"};
StringConstant kStart{"start"};

constexpr const char kSetupTraceback[] = "orvix.utils.corvane.corvane.SyncDispatcher.setup";
constexpr const char kCloseTraceback[] = "orvix.utils.corvane.corvane.SyncDispatcher.close";
constexpr const char kTryPopTraceback[] = "orvix.utils.corvane.corvane.SyncDispatcher._try_pop";
constexpr const char kTryPopVarTraceback[] = "orvix.utils.corvane.corvane.SyncDispatcher._try_pop_var";
constexpr const char kPopOneTraceback[] =
    "orvix.utils.corvane.corvane.SyncDispatcher._SyncDispatcher__try_pop";
constexpr const char kPopOneVarTraceback[] =
    "orvix.utils.corvane.corvane.SyncDispatcher._SyncDispatcher__try_pop_var";

OrvixSyncDispatcherVTable vtable;

OrvixSyncDispatcher& rec(PyObject* self) noexcept { return sync_dispatcher(self).rec(); }

// ---- The reader loop ------------------------------------------------------------

// The two flavours of the loop: which ring pop, and the names its errors carry.
struct ReaderFlavour {
    RingPop pop;
    const char* pop_traceback;    // a bytes copy that cannot be made
    const char* loop_traceback;   // any error that ends the loop
};
constexpr ReaderFlavour kFixedSize{&OrvixSPSCQueueVTable::try_pop, kPopOneTraceback, kTryPopTraceback};
constexpr ReaderFlavour kVariableSize{&OrvixSPSCQueueVTable::try_pop_var, kPopOneVarTraceback,
                                      kTryPopVarTraceback};

// Blocks in one receive with the interpreter lock released. Returns 0 on a
// wake-up, or -1 with the exception that must end the reader.
int wait_for_datagram(PyObject* self) {
    const net::SocketHandle handle = socket_core(self).wake_handle.current();
    unsigned char byte;
    int error = 0;
    net::ReceiveResult received;
    Py_BEGIN_ALLOW_THREADS
    received = net::receive_datagram(handle, &byte, 1, error);
    Py_END_ALLOW_THREADS
    switch (received) {
    case net::ReceiveResult::received: return 0;
    case net::ReceiveResult::interrupted:
        // A signal on the main thread: let its handler run (and raise).
        return PyErr_CheckSignals();
    case net::ReceiveResult::failed: break;
    }
    // A receive that fails once fails for ever (no socket, a closed one):
    // end the reader instead of spinning on it.
    net::set_os_error(error);
    return -1;
}

// Runs on the reader thread, with the interpreter lock held except inside
// the receive: hands every message to the callback in order, and sleeps
// when the ring is empty. Returns 0 when close() stopped it (after
// delivering what was queued), or -1 with the exception that ended it. The
// caller adds the loop's own traceback entry.
int run_reader(PyObject* self, const ReaderFlavour& flavour) {
    SyncDispatcherPrivate& own = sync_dispatcher(self).own;
    DoorbellReader doorbell{socket_core(self).doorbell};
    for (;;) {
        if (own.stop_requested && own.left_after_stop == 0) return 0;
        Ref msg = Ref::steal(pop_message(self, flavour.pop, flavour.pop_traceback));
        if (!msg) return -1;
        const bool found = msg.get() != Py_None;
        // With the ring empty: close() sets the mark (then retires the
        // handle and sends one last datagram) under the interpreter lock,
        // which this thread has held since its pop: a mark seen here was set
        // before that pop, which therefore saw every message pushed before
        // close().
        if (!found && own.stop_requested) return 0;
        switch (doorbell.after_poll(found)) {
        case ReaderStep::message: {
            if (own.stop_requested) --own.left_after_stop;
            // Read afresh per message, and held for the call: the callback
            // may be replaced (or the dispatcher cleared) while it runs.
            Ref callback = Ref::borrow(rec(self).callback);
            if (!Ref::steal(PyObject_CallOneArg(callback.get(), msg.get()))) return -1;
            break;
        }
        case ReaderStep::armed: break;   // poll once more before sleeping
        case ReaderStep::must_wait:
            if (wait_for_datagram(self) < 0) return -1;
            doorbell.woken();
            break;
        }
    }
}

// ---- Setup and close ----------------------------------------------------------------

int setup_impl(PyObject* self, PyObject* host) {
    if (refuse_second_setup(self) < 0) return -1;
    Ref socket_module = Ref::steal(import_module(kSocketModule.get()));
    if (!socket_module) return -1;
    Ref threading = Ref::steal(import_module(kThreadingModule.get()));
    if (!threading) return -1;
    OrvixSyncDispatcher& r = rec(self);
    // A blocking socket: the reader sleeps in recvfrom.
    Ref sock = Ref::steal(open_reader_socket(self, &r._socket, socket_module.get(), host, /*blocking=*/true));
    if (!sock) return -1;

    Ref target = Ref::steal(PyObject_GetAttr(self, r.variable_size ? kTryPopVar.get() : kTryPop.get()));
    if (!target) return -1;
    Ref thread_type = Ref::steal(PyObject_GetAttr(threading.get(), kThread.get()));
    if (!thread_type) return -1;
    Ref kwnames = Ref::steal(PyTuple_Pack(2, kTarget.get(), kDaemon.get()));
    if (!kwnames) return -1;
    PyObject* values[] = {target.get(), r.daemon ? Py_True : Py_False};
    Ref thread = Ref::steal(PyObject_Vectorcall(thread_type.get(), values, 0, kwnames.get()));
    if (!thread) return -1;
    return Ref::steal(PyObject_CallMethodNoArgs(thread.get(), kStart.get())) ? 0 : -1;
}

// Stops the reader: the mark and the number of messages queued now first,
// then the handle retired (late pushes send nothing), then one datagram
// through the old handle wakes the reader, which delivers those messages
// and leaves. The socket itself stays open
// until `_socket` is released, so a reader just about to receive never
// reaches a closed (or reused) handle.
void close_impl(PyObject* self) {
    SyncDispatcherObject& d = sync_dispatcher(self);
    if (!d.tail.socket_opened) return;   // nothing was set up
    d.own.stop_requested = true;
    PyObject* q = d.rec()._q;
    d.own.left_after_stop = q == Py_None ? 0 : orvix_spscqueue_vtable(q)->size(q);
    const net::SocketHandle old = d.tail.core.wake_handle.retire();
    if (old != net::kNoSocket) send_wakeup_datagram(old, d.rec()._addr);
}

// ---- C-level table entries ---------------------------------------------------------

void setup_entry(PyObject* self, int skip_override, const OrvixSetupOptArgs* opt) {
    PyObject* host = setup_host(opt);
    if (Override o = find_override(self, skip_override, &SyncDispatcherType, kSetup.get())) {
        if (!o.call({host})) py::add_traceback(kSetupTraceback, 1);
        return;
    }
    if (setup_impl(self, host) < 0) py::add_traceback(kSetupTraceback, 1);
}

template <const ReaderFlavour& flavour>
void try_pop_entry(PyObject* self, int skip_override) {
    StringConstant& name = &flavour == &kFixedSize ? kTryPop : kTryPopVar;
    if (Override o = find_override(self, skip_override, &SyncDispatcherType, name.get())) {
        if (!o.call({})) py::add_traceback(flavour.loop_traceback, 1);
        return;
    }
    if (run_reader(self, flavour) < 0) py::add_traceback(flavour.loop_traceback, 1);
}

template <const ReaderFlavour& flavour>
PyObject* pop_one_entry(PyObject* self) {
    return pop_message(self, flavour.pop, flavour.pop_traceback);
}

void close_entry(PyObject* self, int skip_override) {
    if (Override o = find_override(self, skip_override, &SyncDispatcherType, kClose.get())) {
        if (!o.call({})) py::add_traceback(kCloseTraceback, 1);
        return;
    }
    close_impl(self);
}

void fill_vtable() {
    vtable.setup = setup_entry;
    vtable.push = push_and_wake;
    vtable.push_var = push_var_and_wake;
    vtable._try_pop = try_pop_entry<kFixedSize>;
    vtable._try_pop_var = try_pop_entry<kVariableSize>;
    vtable.__try_pop = pop_one_entry<kFixedSize>;
    vtable.__try_pop_var = pop_one_entry<kVariableSize>;
    vtable.close = close_entry;
}

// ---- Python-visible methods (the function type adds their traceback entries) -------

PyObject* setup_method(py::Function&, PyObject* self, py::BoundArguments& args) {
    if (!check_setup_host(args[0]) || setup_impl(self, args[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

template <const ReaderFlavour& flavour>
PyObject* try_pop_method(py::Function&, PyObject* self, py::BoundArguments&) {
    if (run_reader(self, flavour) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* close_method(py::Function&, PyObject* self, py::BoundArguments&) {
    close_impl(self);
    Py_RETURN_NONE;
}

constexpr const char* kHostNames[] = {"host"};
constexpr const char* kNoNames[] = {nullptr};

constinit py::FunctionSpec kSetupSpec{
    .name = "setup",
    .qualname = "SyncDispatcher.setup",
    .doc = "SyncDispatcher.setup(self, str host='127.0.0.1') -> void",
    .params = {"setup", kHostNames, 1, 0},
    .impl = setup_method,
};
constinit py::FunctionSpec kTryPopSpec{
    .name = "_try_pop",
    .qualname = "SyncDispatcher._try_pop",
    .doc = "SyncDispatcher._try_pop(self) -> void",
    .params = {"_try_pop", kNoNames, 0, 0},
    .impl = try_pop_method<kFixedSize>,
};
constinit py::FunctionSpec kTryPopVarSpec{
    .name = "_try_pop_var",
    .qualname = "SyncDispatcher._try_pop_var",
    .doc = "SyncDispatcher._try_pop_var(self) -> void",
    .params = {"_try_pop_var", kNoNames, 0, 0},
    .impl = try_pop_method<kVariableSize>,
};
constinit py::FunctionSpec kCloseSpec{
    .name = "close",
    .qualname = "SyncDispatcher.close",
    .doc = "SyncDispatcher.close(self) -> void",
    .params = {"close", kNoNames, 0, 0},
    .impl = close_method,
};

const FunctionEntry functions[] = {
    {"setup", kSetupSpec, FunctionExtra::localhost_default},
    {"_try_pop", kTryPopSpec},
    {"_try_pop_var", kTryPopVarSpec},
    {"close", kCloseSpec},
};

// ---- The type ------------------------------------------------------------------------

constexpr const char* kConstructorNames[] = {"callback", "capacity", "slot_size", "zerocopy",
                                             "overwrite", "variable_size", "daemon"};
constexpr int kVariableSizeFlag = 5, kDaemonFlag = 6;

struct SyncDispatcherClass {
    using Record = OrvixSyncDispatcher;
    using Private = SyncDispatcherPrivate;
    using Fields = OwnedFields<Record, &Record::_q, &Record::callback, &Record::_socket>;
    static constexpr const char kDeallocContext[] = "orvix.utils.corvane.corvane.SyncDispatcher.__dealloc__";
    // Through the table, so a subclass's close() override runs (unless the
    // collector has already torn the subclass down: dealloc_skip_override).
    static void close_on_dealloc(PyObject* self) { close_entry(self, dealloc_skip_override(self)); }
};
using Slots = SocketDispatcherSlots<SyncDispatcherClass>;

PyObject* sync_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    ConstructorArguments a;
    Ref obj = Slots::construct(type, &vtable, kConstructorNames, {.overwrite = 4, .zerocopy = 3}, args, kwargs,
                               "orvix.utils.corvane.corvane.SyncDispatcher.__cinit__", a);
    if (!obj) return nullptr;
    OrvixSyncDispatcher& r = Slots::record(obj.get());
    r.variable_size = a.flag(kVariableSizeFlag);
    r.daemon = a.flag(kDaemonFlag);
    r.push_fn = r.variable_size ? vtable.push_var : vtable.push;
    return obj.release();
}

}  // namespace

PyTypeObject SyncDispatcherType =
    Slots::make_type("orvix.utils.corvane.corvane.SyncDispatcher", sync_new);

const ClassEntry sync_dispatcher_class = {
    .type = &SyncDispatcherType,
    .vtable = &vtable,
    .fill_vtable = &fill_vtable,
    .reduce = &refuse_reduce_def,
    .setstate = &refuse_setstate_def,
    .functions = functions,
};

}  // namespace orvix::corvane
