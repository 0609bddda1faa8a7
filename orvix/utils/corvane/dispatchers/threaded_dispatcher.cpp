#include "orvix/utils/corvane/dispatchers/threaded_dispatcher.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <string>

#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/ringq/ring_message.hpp"
#include "orvix/ringq/ring_result.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/dispatchers/burst_refusal.hpp"
#include "orvix/utils/corvane/dispatchers/dispatcher_slots.hpp"
#include "orvix/utils/corvane/dispatchers/owned_fields.hpp"
#include "orvix/utils/corvane/dispatchers/stats_method.hpp"
#include "orvix/utils/corvane/dispatchers/threaded_reader.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"
#include "orvix/utils/corvane/module/method_description.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/overridable.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

// What a push returns when the dispatcher has been cleared by the garbage
// collector and has no ring any more: what the ring, which clearing closed,
// answers after close.
constexpr int kNoRing = ringq::kClosed;

StringConstant kSetup{"setup"};
StringConstant kClose{"close"};

OrvixThreadedDispatcherVTable vtable;

OrvixThreadedDispatcher& record(PyObject* self) noexcept { return threaded(self)->pub; }

// ---- Producer entries (any native thread, no interpreter lock) -------------
//
// `_q` is written by the constructor before the object can reach a producer
// (handing it over goes through Python code and so through the interpreter
// lock, which orders the write before the producer's read), and only the
// collector's clearing changes it afterwards, when no producer can hold the
// object any more.

int push(PyObject* self, const char* data, std::size_t size) {
    PyObject* q = record(self)._q;
    if (q == Py_None) return kNoRing;
    return orvix_spscqueue_vtable(q)->push_notify(q, data, size);
}

int push_var(PyObject* self, const char* data, std::size_t size) {
    PyObject* q = record(self)._q;
    if (q == Py_None) return kNoRing;
    return orvix_spscqueue_vtable(q)->push_var_notify(q, data, size);
}

// One publish and at most one wake-up of the reader for the whole burst.
std::size_t push_burst(PyObject* self, const OrvixRingMessage* messages, std::size_t n, int* results) {
    PyObject* q = record(self)._q;
    if (q == Py_None) return refuse_burst_without_ring(n, results);
    const int flags = ORVIX_BURST_NOTIFY | (record(self).variable_size ? ORVIX_BURST_VARIABLE : 0);
    return orvix_spscqueue_vtable(q)->push_burst(q, messages, n, results, flags);
}

// ---- The reader's delivery: one message at a time, as bytes ---------------

// In variable-size mode the wait takes the record out itself; in fixed-size
// mode the message stays in its slot until pop_front, so the bytes object is
// copied straight from the ring.
class MessageDelivery final : public ReaderDelivery {
public:
    explicit MessageDelivery(bool variable) noexcept : variable_(variable) {}

    int take(PyObject* ring, bool wait) noexcept override {
        const OrvixSPSCQueueVTable* vt = orvix_spscqueue_vtable(ring);
        if (wait) return variable_ ? vt->wait_pop_var(ring, &m_.data, &m_.size) : vt->wait_front(ring, &m_.data, &m_.size);
        return variable_ ? vt->try_pop_var(ring, &m_.data, &m_.size) : vt->try_pop(ring, &m_.data, &m_.size);
    }
    bool stays_in_ring() const noexcept override { return !variable_; }
    void leave_ring(PyObject* ring) noexcept override { orvix_spscqueue_vtable(ring)->pop_front(ring); }
    PyObject* argument(std::size_t& messages) override {
        messages = 1;
        return PyBytes_FromStringAndSize(m_.data, static_cast<Py_ssize_t>(m_.size));
    }
    bool release(PyObject* argument) override {
        Py_DECREF(argument);
        return true;
    }
    std::string entry_name() const override {
        return member_name(&ThreadedDispatcherType, variable_ ? "_reader_var" : "_reader");
    }

private:
    bool variable_;
    ringq::Message m_;   // handed out by the last take()
};

template <bool variable>
std::unique_ptr<ReaderDelivery> make_delivery(PyObject*) {
    auto delivery = std::unique_ptr<ReaderDelivery>(new (std::nothrow) MessageDelivery(variable));
    if (!delivery) PyErr_NoMemory();
    return delivery;
}

MakeDelivery delivery_for(PyObject* self) noexcept {
    return record(self).variable_size ? make_delivery<true> : make_delivery<false>;
}

int start_reader(PyObject* self) { return start_reader_thread(self, delivery_for(self)); }
void run_reader(PyObject* self) { run_reader_here(self, make_delivery<false>); }
void run_reader_var(PyObject* self) { run_reader_here(self, make_delivery<true>); }

// ---- setup / close ---------------------------------------------------------

int close_ring(PyObject* self) {
    ThreadedDispatcherObject* d = threaded(self);
    d->delivery.closed();
    // A dispatcher cleared by the collector has no ring to close.
    if (d->pub._q == Py_None) return 0;
    // The ring's close wakes the reader and never blocks: the reader may be
    // waiting for the interpreter lock that the caller holds.
    orvix_spscqueue_vtable(d->pub._q)->close(d->pub._q);
    d->closed = true;
    return 0;
}

constinit const py::FunctionSpec kSetupSpec = no_argument_method<start_reader>(
    "setup", "ThreadedDispatcher.setup", "ThreadedDispatcher.setup(self) -> void");
constinit const py::FunctionSpec kCloseSpec = no_argument_method<close_ring>(
    "close", "ThreadedDispatcher.close", "ThreadedDispatcher.close(self) -> void");

// The table entries: a Python subclass's override runs instead unless
// `skip_override` is set. Failures leave the exception pending.
void setup_entry(PyObject* self, int skip_override) {
    run_overridable(self, skip_override, &ThreadedDispatcherType, kSetup.get(), kSetupSpec, {},
                    [&] { return start_reader(self); });
}

void close_entry(PyObject* self, int skip_override) {
    run_overridable(self, skip_override, &ThreadedDispatcherType, kClose.get(), kCloseSpec, {},
                    [&] { return close_ring(self); });
}

void fill_vtable() {
    vtable.push = &push;
    vtable.push_var = &push_var;
    vtable._reader = &run_reader;
    vtable._reader_var = &run_reader_var;
    vtable.setup = &setup_entry;
    vtable.close = &close_entry;
    vtable.push_burst = &push_burst;
}

// ---- The type -------------------------------------------------------------

constexpr const char* kParameterNames[] = {"callback",      "capacity",  "slot_size",    "zerocopy",
                                           "block_on_full", "overwrite", "variable_size"};
constexpr int kVariableSize = 6;
constexpr RingFlag kRingFlags[] = {
    {RingOption::zerocopy, 3}, {RingOption::overwrite, 5}, {RingOption::block_on_full, 4}};

DeliveryRecord& delivery_of(PyObject* self) noexcept { return threaded(self)->delivery; }

// The reader is told the dispatcher is gone and the ring is closed, which
// ends the reader's wait. Without this a reader would wait for ever on a
// ring that only it still holds.
void let_reader_go(PyObject* self) {
    ReaderLink::dispatcher_gone(threaded(self));
    if (!threaded(self)->closed) close_ring(self);
}

struct ThreadedDispatcherClass {
    using Record = OrvixThreadedDispatcher;
    using Object = ThreadedDispatcherObject;
    using Fields = OwnedFields<Record, &Record::_q, &Record::callback>;
    static PyTypeObject* type() noexcept { return &ThreadedDispatcherType; }
    static constexpr ConstructorSpec kConstructor{.names = kParameterNames, .ring_flags = kRingFlags};
    // tp_alloc has zeroed the rest: no link, not closed.
    static void prepare(PyObject* self) noexcept {
        record(self).vtab = &vtable;
        Fields::init_none(record(self));
    }
    static void configure(Record& d, const ConstructorArguments& a) noexcept {
        d.variable_size = a.flag(kVariableSize);
        d.push_fn = d.variable_size ? vtable.push_var : vtable.push;
        // No reader until setup(): a blocking push must not wait for one
        // that may never come. The reader says when it is there.
        orvix_spscqueue_vtable(d._q)->set_reader_present(d._q, 0);
    }
    static void close_on_dealloc(PyObject* self) { record(self).vtab->close(self, dealloc_skip_override(self)); }
    static void let_go(PyObject* self) { let_reader_go(self); }
    static DeliveryRecord& delivery(PyObject* self) noexcept { return delivery_of(self); }
};

constinit const py::FunctionSpec kStatsSpec = stats_spec<delivery_of>("ThreadedDispatcher.stats");

const FunctionEntry kFunctions[] = {
    {"setup", kSetupSpec},
    {"close", kCloseSpec},
    {"stats", kStatsSpec},
};

}  // namespace

int threaded_push(PyObject* self, const char* data, std::size_t size) { return push(self, data, size); }
int threaded_push_var(PyObject* self, const char* data, std::size_t size) { return push_var(self, data, size); }
std::size_t threaded_push_burst(PyObject* self, const OrvixRingMessage* messages, std::size_t n, int* results) {
    return push_burst(self, messages, n, results);
}
int threaded_close(PyObject* self) { return close_ring(self); }
void threaded_let_reader_go(PyObject* self) { let_reader_go(self); }

PyTypeObject ThreadedDispatcherType =
    DispatcherSlots<ThreadedDispatcherClass>::make_type("orvix.utils.corvane.corvane.ThreadedDispatcher");

const ClassEntry threaded_dispatcher_class = DispatcherSlots<ThreadedDispatcherClass>::class_entry(&vtable, &fill_vtable, kFunctions, ORVIX_THREADED_DISPATCHER);

}  // namespace orvix::corvane
