#include "orvix/batch/async_batch_dispatcher.hpp"

#include <cstddef>
#include <utility>

#include "cpython_support/coroutine.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/batch/batch_construction.hpp"
#include "orvix/batch/batch_identity.hpp"
#include "orvix/batch/batch_object.hpp"
#include "orvix/batch/shared_ring_bridge.hpp"
#include "orvix/batch/shared_ring_input.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/shm/shared_ring_object.hpp"
#include "orvix/utils/corvane/dispatchers/async_dispatcher.hpp"
#include "orvix/utils/corvane/dispatchers/async_reader_loop.hpp"
#include "orvix/utils/corvane/dispatchers/dispatcher_slots.hpp"
#include "orvix/utils/corvane/dispatchers/reader_socket.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_push.hpp"
#include "orvix/utils/corvane/dispatchers/stats_method.hpp"
#include "orvix/utils/corvane/module/method_description.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::batch {
namespace {

using py::Ref;

corvane::StringConstant kClose{"close"};

// This class's own fields, after the shared tail.
struct AsyncBatchPrivate {
    PyObject* batch = nullptr;   // owned: the Batch popped last, filled again once no one else holds it
    BatchShape shape;
    int flags = 0;               // ORVIX_BURST_VARIABLE for variable-size records
    SharedRingBridge* bridge = nullptr;   // owned: wakes the reader for a producer in another process
};

using Object = corvane::SocketDispatcherObject<OrvixAsyncDispatcher, AsyncBatchPrivate>;

Object& object(PyObject* self) noexcept { return *reinterpret_cast<Object*>(self); }
OrvixAsyncDispatcher& rec(PyObject* self) noexcept { return object(self).rec(); }

OrvixAsyncDispatcherVTable vtable;

// ---- The reader's poll: a Batch of every message present, or None -----------

// The record's pop_fn (and the table's _try_pop / _try_pop_var), run by the
// reader task on the loop's thread. The reader has let go of the Batch it
// awaited the callback with by the time it polls again, so the one kept
// here is filled again unless the callback kept it.
PyObject* pop_batch(PyObject* self) {
    AsyncBatchPrivate& own = object(self).own;
    PyObject* q = rec(self)._q;
    if (q == Py_None) Py_RETURN_NONE;   // cleared by the collector: nothing more to read
    if (own.batch && !reusable_after_call(own.batch)) Py_CLEAR(own.batch);
    if (!own.batch) {
        BatchStorage storage;
        if (!storage.allocate(own.shape.max_messages, own.shape.first_bytes())) return PyErr_NoMemory();
        if (!(own.batch = new_batch(std::move(storage)))) return nullptr;
    }
    const int r = storage_of(own.batch).fill(q, own.flags, own.shape);
    if (r == ORVIX_RING_STORED) return Py_NewRef(own.batch);
    if (r == ORVIX_RING_TOO_LARGE) return PyErr_NoMemory();   // the buffer could not grow to the record
    if (r == shm::kRingCorrupt) {   // the reader task ends with the error
        set_corrupt_ring_error(q);
        return nullptr;
    }
    Py_RETURN_NONE;
}

std::size_t messages_in(PyObject* batch) noexcept { return storage_of(batch).count(); }


// ---- A shared ring: the bridge that wakes the reader ---------------------------

void stop_bridge(PyObject* self) noexcept {
    SharedRingBridge::stop(std::exchange(object(self).own.bridge, nullptr));
}

int batch_setup(PyObject* self, PyObject* host) {
    if (refuse_forked_consumer(self, "AsyncBatchDispatcher") < 0) return -1;
    if (corvane::async_dispatcher_setup(self, host) < 0) return -1;
    if (object(self).own.bridge || !is_shared_ring(rec(self)._q)) return 0;
    if (!(object(self).own.bridge = SharedRingBridge::start(self))) {
        PyErr_SetString(PyExc_RuntimeError, "cannot start the thread that wakes the reader for the shared ring");
        return -1;
    }
    return 0;
}

// A shared ring is closed (its name removed) even before setup(), when the
// dispatcher's own close leaves its ring as it was: the ring's owner is done.
int batch_close(PyObject* self) {
    stop_bridge(self);
    PyObject* q = rec(self)._q;
    if (is_shared_ring(q)) orvix_spscqueue_vtable(q)->close(q);
    return corvane::async_dispatcher_close(self);
}

bool batch_stats(PyObject* self, PyObject* dict) {
    return corvane::add_wakeup_stats(self, dict) && add_producer_stats(self, dict);
}

// ---- Python-visible methods ---------------------------------------------------

constexpr const char* kReaderNames[] = {"loop", "sock"};

constinit py::FunctionSpec kSetupSpec = batch_function(corvane::setup_spec<batch_setup>(
    "AsyncBatchDispatcher.setup", "AsyncBatchDispatcher.setup(self, str host='127.0.0.1') -> None"));
constinit py::FunctionSpec kReaderSpec = batch_function({
    .name = "_reader",
    .qualname = "AsyncBatchDispatcher._reader",
    .doc = "AsyncBatchDispatcher._reader(self, loop, sock)",
    .params = {"_reader", kReaderNames, 2, 2},
    .body = corvane::async_reader_loop<messages_in>,
});
constinit py::FunctionSpec kCloseSpec = batch_function(corvane::no_argument_method<batch_close>(
    "close", "AsyncBatchDispatcher.close", "AsyncBatchDispatcher.close(self) -> None"));
constinit py::FunctionSpec kStatsSpec = batch_function(
    corvane::stats_spec<corvane::socket_delivery, batch_stats>("AsyncBatchDispatcher.stats"));

const corvane::FunctionEntry kFunctions[] = {
    {"setup", kSetupSpec, corvane::FunctionExtra::localhost_default},
    {"_reader", kReaderSpec},
    {"close", kCloseSpec, corvane::FunctionExtra::returns_none},
    {"stats", kStatsSpec},
};

// ---- C-level table entries -------------------------------------------------------

void setup_entry(PyObject* self, int skip_override, const OrvixSetupOptArgs* opt) {
    corvane::run_setup_entry(self, skip_override, opt, &AsyncBatchDispatcherType, kSetupSpec,
                             batch_setup);
}

std::size_t push_burst_entry(PyObject* self, const OrvixRingMessage* messages, std::size_t n, int* results) {
    return corvane::push_burst_and_wake(self, messages, n, results, object(self).own.flags != 0);
}

void fill_vtable() {
    vtable.setup = setup_entry;
    vtable.push = corvane::without_result<corvane::push_and_wake>;
    vtable.push_var = corvane::without_result<corvane::push_var_and_wake>;
    vtable._try_pop = pop_batch;
    vtable._try_pop_var = pop_batch;
    vtable.push_burst = push_burst_entry;
}

// ---- The type ----------------------------------------------------------------------

constexpr corvane::RingFlag kRingFlags[] = {{corvane::RingOption::overwrite, kOverwrite}};

// Deallocation closes through attribute lookup, so a subclass's close runs,
// unless the collector has torn the subclass down (as AsyncDispatcher does).
void close_by_lookup(PyObject* self) {
    if (corvane::dealloc_skip_override(self)) {
        if (batch_close(self) < 0) py::add_call_traceback(kCloseSpec);
        return;
    }
    Ref discarded = Ref::steal(PyObject_CallMethodNoArgs(self, kClose.get()));
}

struct AsyncBatchDispatcherClass
    : corvane::SocketDispatcherClass<OrvixAsyncDispatcher, AsyncBatchPrivate, &OrvixAsyncDispatcher::_q,
                                     &OrvixAsyncDispatcher::callback, &OrvixAsyncDispatcher::_socket,
                                     &OrvixAsyncDispatcher::_task> {
    using Base = corvane::SocketDispatcherClass<OrvixAsyncDispatcher, AsyncBatchPrivate, &OrvixAsyncDispatcher::_q,
                                                &OrvixAsyncDispatcher::callback, &OrvixAsyncDispatcher::_socket,
                                                &OrvixAsyncDispatcher::_task>;
    static PyTypeObject* type() noexcept { return &AsyncBatchDispatcherType; }
    static constexpr corvane::ConstructorSpec kConstructor{.ring_flags = kRingFlags, .parse = parse_async_arguments};
    static void prepare(PyObject* self) noexcept { prepare_with(self, &vtable); }
    static void configure(Record& r, const corvane::ConstructorArguments& a) noexcept {
        const bool variable_size = a.flag(kVariableSize);
        r.push_fn = variable_size ? vtable.push_var : vtable.push;
        r.try_push_fn = variable_size ? corvane::push_var_and_wake : corvane::push_and_wake;
        r.pop_fn = pop_batch;
        AsyncBatchPrivate& own = object(reinterpret_cast<PyObject*>(&r)).own;
        own.shape = batch_shape(a, variable_size);
        own.flags = variable_size ? ORVIX_BURST_VARIABLE : 0;
    }
    static constexpr auto close_on_dealloc = close_by_lookup;
    // The kept Batch goes with the other fields (it refers to nothing, so
    // the collector need not see it).
    static void let_go(PyObject* self) noexcept {
        stop_bridge(self);
        Base::let_go(self);
        Py_CLEAR(object(self).own.batch);
    }
};

using Slots = corvane::DispatcherSlots<AsyncBatchDispatcherClass>;

PyTypeObject make_type() {
    PyTypeObject type = Slots::make_type("orvix.batch.AsyncBatchDispatcher");
    type.tp_doc =
        "AsyncBatchDispatcher(callback, *, slot_size=2048, capacity=16384, max_batch=1024, "
        "variable_size=False, overwrite=False, ring=None)\n\n"
        "setup() inside a running event loop starts a task that awaits callback(batch) with a "
        "Batch of every message the ring holds at that moment (at most max_batch), woken as "
        "AsyncDispatcher is. Native producers push into it as into an AsyncDispatcher.";
    return type;
}

}  // namespace

const char kAsyncBatchSignature[] =
    "(callback, *, slot_size=2048, capacity=16384, max_batch=1024, variable_size=False, overwrite=False, "
    "ring=None)";

PyTypeObject AsyncBatchDispatcherType = make_type();

const corvane::ClassEntry async_batch_dispatcher_class = Slots::class_entry(&vtable, &fill_vtable, kFunctions, ORVIX_ASYNC_DISPATCHER);

}  // namespace orvix::batch
