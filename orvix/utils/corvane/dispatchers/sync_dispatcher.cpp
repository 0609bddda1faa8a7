#include "orvix/utils/corvane/dispatchers/sync_dispatcher.hpp"

#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/dispatcher_slots.hpp"
#include "orvix/utils/corvane/dispatchers/reader_socket.hpp"
#include "orvix/utils/corvane/dispatchers/readers_at_exit.hpp"
#include "orvix/utils/corvane/dispatchers/ring_pop.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_push.hpp"
#include "orvix/utils/corvane/dispatchers/stats_method.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/method_description.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/overridable.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {

namespace {

using py::Ref;

StringConstant kTryPop{"_try_pop"};
StringConstant kTryPopVar{"_try_pop_var"};
StringConstant kClose{"close"};
StringConstant kSocketModule{"socket"};
StringConstant kThreadingModule{"threading"};
StringConstant kThread{"Thread"};
StringConstant kTarget{"target"};
StringConstant kDaemon{"daemon"};
StringConstant kStart{"start"};

OrvixSyncDispatcherVTable vtable;

OrvixSyncDispatcher& rec(PyObject* self) noexcept { return sync_dispatcher(self).rec(); }

// ---- The reader loop ------------------------------------------------------------

// The two flavours of the loop: which ring pop, the table entry that pops
// one message (whose name a failed bytes copy carries), and the method's name.
struct ReaderFlavour {
    RingPop pop;
    const char* pop_one;
    StringConstant& name;
};
constexpr ReaderFlavour kFixedSize{&OrvixSPSCQueueVTable::try_pop, "_SyncDispatcher__try_pop", kTryPop};
constexpr ReaderFlavour kVariableSize{&OrvixSPSCQueueVTable::try_pop_var, "_SyncDispatcher__try_pop_var",
                                      kTryPopVar};

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
// delivering what the ring held), or -1 with the exception that ended it.
// The caller adds the loop's own traceback entry.
int run_reader_loop(PyObject* self, const ReaderFlavour& flavour) {
    const SocketDispatcherTail& tail = socket_tail(self);
    DoorbellReader doorbell{socket_core(self).doorbell};
    for (;;) {
        Ref msg = Ref::steal(pop_message(self, flavour.pop, &SyncDispatcherType, flavour.pop_one));
        if (!msg) return -1;
        const bool found = msg.get() != Py_None;
        // close() sets the mark and closes the ring under the interpreter
        // lock, which this thread has held since before its pop: a mark seen
        // here was set before that pop, and the closed ring stores nothing
        // after close(), so the ring is empty for good. (A push already
        // under way when close() ran may still store its message: producers
        // are to stop first.)
        if (!found && tail.closed) return 0;
        switch (doorbell.after_poll(found)) {
        case ReaderStep::message: {
            // Read afresh per message, and held for the call: the callback
            // may be replaced (or the dispatcher cleared) while it runs.
            Ref callback = Ref::borrow(rec(self).callback);
            socket_delivery(self).count_delivery();
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

int run_reader(PyObject* self, const ReaderFlavour& flavour) {
    const int result = run_reader_loop(self, flavour);
    // Stopped by close(), which retired the handle first: no producer sends
    // through it and no reader receives on it any more, so the socket is
    // closed now rather than left open until the collector finds it. A
    // reader ended by an error leaves it: producers may still be sending.
    if (result == 0) close_socket_quietly(rec(self)._socket);
    if (result < 0) socket_delivery(self).reader_stopped_with_pending_error();
    forget_reader_at_exit(self);
    return result;
}

// ---- Setup and close ----------------------------------------------------------------

int close_impl(PyObject* self);

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
    // Listed before the thread starts: interpreter exit may come before
    // the reader has entered its loop.
    if (stop_reader_at_exit(self, &close_impl) < 0) return -1;
    // Running from before the start: the reader may run (and end) before
    // start() returns here.
    socket_delivery(self).reader_started();
    if (Ref::steal(PyObject_CallMethodNoArgs(thread.get(), kStart.get()))) return 0;
    socket_delivery(self).reader_start_failed();
    forget_reader_at_exit(self);
    return -1;
}

// Stops the reader: the ring closed (later pushes are refused) and the
// mark set, then the handle retired (no producer sends through it any
// more), then the socket's receiving side shut down, which ends the
// reader's receive now and every later one at once: the reader delivers
// what the ring holds and leaves. No datagram is needed, so none can be
// lost; one is still sent for a platform whose shutdown does not end a
// receive already under way. The socket itself stays open until the reader
// leaves (or `_socket` is released), so a reader just about to receive
// never reaches a closed (or reused) handle. A forked child leaves the
// socket alone: it shares it with its parent, whose reader it would wake
// for good, and has no reader of its own.
int close_impl(PyObject* self) {
    if (!close_socket_ring(self)) return 0;   // nothing was set up
    const net::SocketHandle old = socket_core(self).wake_handle.retire();
    if (old != net::kNoSocket && socket_opened_here(self)) {
        net::stop_receiving(old);
        send_wakeup_datagram(old, rec(self)._addr);
    }
    return 0;
}

// ---- Python-visible methods (the function type adds their traceback entries) -------

template <const ReaderFlavour& flavour>
int run_reader_of(PyObject* self) {
    return run_reader(self, flavour);
}

constinit py::FunctionSpec kSetupSpec =
    setup_spec<setup_impl>("SyncDispatcher.setup", "SyncDispatcher.setup(self, str host='127.0.0.1') -> void");
constinit py::FunctionSpec kTryPopSpec = no_argument_method<run_reader_of<kFixedSize>>(
    "_try_pop", "SyncDispatcher._try_pop", "SyncDispatcher._try_pop(self) -> void");
constinit py::FunctionSpec kTryPopVarSpec = no_argument_method<run_reader_of<kVariableSize>>(
    "_try_pop_var", "SyncDispatcher._try_pop_var", "SyncDispatcher._try_pop_var(self) -> void");
constinit py::FunctionSpec kCloseSpec =
    no_argument_method<close_impl>("close", "SyncDispatcher.close", "SyncDispatcher.close(self) -> void");

constinit py::FunctionSpec kStatsSpec = stats_spec<socket_delivery, add_wakeup_stats>("SyncDispatcher.stats");

const FunctionEntry functions[] = {
    {"setup", kSetupSpec, FunctionExtra::localhost_default},
    {"_try_pop", kTryPopSpec},
    {"_try_pop_var", kTryPopVarSpec},
    {"close", kCloseSpec},
    {"stats", kStatsSpec},
};

// ---- C-level table entries ---------------------------------------------------------

void setup_entry(PyObject* self, int skip_override, const OrvixSetupOptArgs* opt) {
    run_setup_entry(self, skip_override, opt, &SyncDispatcherType, kSetupSpec, setup_impl);
}

template <const ReaderFlavour& flavour, const py::FunctionSpec& method>
void try_pop_entry(PyObject* self, int skip_override) {
    run_overridable(self, skip_override, &SyncDispatcherType, flavour.name.get(), method, {},
                    [&] { return run_reader(self, flavour); });
}

template <const ReaderFlavour& flavour>
PyObject* pop_one_entry(PyObject* self) {
    return pop_message(self, flavour.pop, &SyncDispatcherType, flavour.pop_one);
}

void close_entry(PyObject* self, int skip_override) {
    run_overridable(self, skip_override, &SyncDispatcherType, kClose.get(), kCloseSpec, {},
                    [&] { return close_impl(self); });
}

void fill_vtable() {
    vtable.setup = setup_entry;
    vtable.push = without_result<push_and_wake>;
    vtable.push_var = without_result<push_var_and_wake>;
    vtable._try_pop = try_pop_entry<kFixedSize, kTryPopSpec>;
    vtable._try_pop_var = try_pop_entry<kVariableSize, kTryPopVarSpec>;
    vtable.__try_pop = pop_one_entry<kFixedSize>;
    vtable.__try_pop_var = pop_one_entry<kVariableSize>;
    vtable.close = close_entry;
    vtable.push_burst = [](PyObject* self, const OrvixRingMessage* messages, std::size_t n, int* results) {
        return push_burst_and_wake(self, messages, n, results, rec(self).variable_size != 0);
    };
}

// ---- The type ------------------------------------------------------------------------

constexpr const char* kConstructorNames[] = {"callback", "capacity", "slot_size", "zerocopy",
                                             "overwrite", "variable_size", "daemon"};
constexpr int kVariableSizeFlag = 5, kDaemonFlag = 6;
// overwrite before zerocopy, though the parameters list them the other way round.
constexpr RingFlag kRingFlags[] = {{RingOption::overwrite, 4}, {RingOption::zerocopy, 3}};

struct SyncDispatcherClass : SocketDispatcherClass<OrvixSyncDispatcher, SyncDispatcherPrivate,
                                                   &OrvixSyncDispatcher::_q, &OrvixSyncDispatcher::callback,
                                                   &OrvixSyncDispatcher::_socket> {
    static PyTypeObject* type() noexcept { return &SyncDispatcherType; }
    static constexpr ConstructorSpec kConstructor{.names = kConstructorNames, .ring_flags = kRingFlags};
    static void prepare(PyObject* self) noexcept { prepare_with(self, &vtable); }
    static void configure(Record& r, const ConstructorArguments& a) noexcept {
        r.variable_size = a.flag(kVariableSizeFlag);
        r.daemon = a.flag(kDaemonFlag);
        r.push_fn = r.variable_size ? vtable.push_var : vtable.push;
        r.try_push_fn = r.variable_size ? push_var_and_wake : push_and_wake;
    }
    // Through the table, so a subclass's close() override runs (unless the
    // collector has already torn the subclass down: dealloc_skip_override).
    static void close_on_dealloc(PyObject* self) {
        forget_reader_at_exit(self);
        close_entry(self, dealloc_skip_override(self));
    }
};

}  // namespace

PyTypeObject SyncDispatcherType =
    DispatcherSlots<SyncDispatcherClass>::make_type("orvix.utils.corvane.corvane.SyncDispatcher");

const ClassEntry sync_dispatcher_class = DispatcherSlots<SyncDispatcherClass>::class_entry(&vtable, &fill_vtable, functions, ORVIX_SYNC_DISPATCHER);

}  // namespace orvix::corvane
