#include "orvix/batch/threaded_batch_dispatcher.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <string>

#include "cpython_support/function.hpp"
#include "orvix/batch/batch_construction.hpp"
#include "orvix/batch/batch_identity.hpp"
#include "orvix/batch/batch_object.hpp"
#include "orvix/batch/shared_ring_input.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/shm/shared_ring_object.hpp"
#include "orvix/utils/corvane/dispatchers/dispatcher_slots.hpp"
#include "orvix/utils/corvane/dispatchers/owned_fields.hpp"
#include "orvix/utils/corvane/dispatchers/reader_delivery.hpp"
#include "orvix/utils/corvane/dispatchers/stats_method.hpp"
#include "orvix/utils/corvane/dispatchers/threaded_reader.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"
#include "orvix/utils/corvane/module/method_description.hpp"
#include "orvix/utils/corvane/module/overridable.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::batch {

using corvane::threaded;

namespace {

corvane::StringConstant kSetup{"setup"};
corvane::StringConstant kClose{"close"};

OrvixThreadedDispatcherVTable vtable;

ThreadedBatchDispatcherObject& object(PyObject* self) noexcept {
    return *reinterpret_cast<ThreadedBatchDispatcherObject*>(self);
}
OrvixThreadedDispatcher& record(PyObject* self) noexcept { return object(self).base.pub; }

// ---- The reader's delivery: a Batch of every message present ------------
//
// The reader copies into the storage of the Batch it handed over last when
// the callback kept no reference to it (only the reader holds it, so no one
// can see the copy), else into fresh storage made, with the lock, as soon
// as the user kept the old one.
class BatchDelivery final : public corvane::ReaderDelivery {
public:
    BatchDelivery(const BatchShape& shape, bool variable) noexcept
        : shape_(shape), flags_(variable ? ORVIX_BURST_VARIABLE : 0), variable_(variable) {}
    ~BatchDelivery() override { Py_XDECREF(batch_); }   // the reader's sessions let go with the lock held

    bool prepare() noexcept { return fresh_.allocate(shape_.max_messages, shape_.first_bytes()); }

    // A shared ring whose producer broke its layout hands out its error: the
    // reader stops with it as with a callback's.
    int take(PyObject* ring, bool wait) noexcept override {
        BatchStorage& s = batch_ ? storage_of(batch_) : fresh_;
        const int r = s.fill(ring, flags_ | (wait ? ORVIX_BURST_WAIT : 0), shape_);
        if (r != shm::kRingCorrupt) return r;
        corrupt_ring_ = ring;
        return ORVIX_RING_STORED;
    }
    PyObject* argument(std::size_t& messages) override {
        if (corrupt_ring_) {
            set_corrupt_ring_error(corrupt_ring_);
            return nullptr;
        }
        if (!batch_ && !(batch_ = new_batch(std::move(fresh_)))) return nullptr;
        messages = storage_of(batch_).count();
        return Py_NewRef(batch_);
    }
    bool release(PyObject* argument) override {
        Py_DECREF(argument);
        if (reusable_after_call(batch_)) return true;
        Py_CLEAR(batch_);   // the user's now
        if (prepare()) return true;
        PyErr_NoMemory();
        return false;
    }
    const char* class_name() const noexcept override { return "ThreadedBatchDispatcher"; }
    std::string entry_name() const override {
        return corvane::member_name(&ThreadedBatchDispatcherType, variable_ ? "_reader_var" : "_reader");
    }

private:
    BatchShape shape_;
    int flags_;
    bool variable_;
    PyObject* batch_ = nullptr;   // owned: the Batch handed over last, while it may be filled again
    BatchStorage fresh_;          // where the next batch goes when there is no such Batch
    PyObject* corrupt_ring_ = nullptr;   // borrowed (the reader holds it): the ring take() found corrupt
};

template <bool variable>
std::unique_ptr<corvane::ReaderDelivery> make_delivery(PyObject* self) {
    auto delivery = std::unique_ptr<BatchDelivery>(new (std::nothrow) BatchDelivery(object(self).shape, variable));
    if (!delivery || !delivery->prepare()) {
        PyErr_NoMemory();
        return nullptr;
    }
    return delivery;
}

int start_reader(PyObject* self) {
    if (refuse_forked_consumer(self, "ThreadedBatchDispatcher") < 0) return -1;
    return corvane::start_reader_thread(self, record(self).variable_size ? make_delivery<true> : make_delivery<false>);
}
void run_reader(PyObject* self) { corvane::run_reader_here(self, make_delivery<false>); }
void run_reader_var(PyObject* self) { corvane::run_reader_here(self, make_delivery<true>); }

// ---- setup / close -----------------------------------------------------------

constinit const py::FunctionSpec kSetupSpec = batch_function(corvane::no_argument_method<start_reader>(
    "setup", "ThreadedBatchDispatcher.setup", "ThreadedBatchDispatcher.setup(self) -> None"));
constinit const py::FunctionSpec kCloseSpec = batch_function(corvane::no_argument_method<corvane::threaded_close>(
    "close", "ThreadedBatchDispatcher.close", "ThreadedBatchDispatcher.close(self) -> None"));

void setup_entry(PyObject* self, int skip_override) {
    corvane::run_overridable(self, skip_override, &ThreadedBatchDispatcherType, kSetup.get(), kSetupSpec, {},
                             [&] { return start_reader(self); });
}

void close_entry(PyObject* self, int skip_override) {
    corvane::run_overridable(self, skip_override, &ThreadedBatchDispatcherType, kClose.get(), kCloseSpec, {},
                             [&] { return corvane::threaded_close(self); });
}

void fill_vtable() {
    vtable.push = &corvane::threaded_push;
    vtable.push_var = &corvane::threaded_push_var;
    vtable._reader = &run_reader;
    vtable._reader_var = &run_reader_var;
    vtable.setup = &setup_entry;
    vtable.close = &close_entry;
    vtable.push_burst = &corvane::threaded_push_burst;
}

// ---- The type -------------------------------------------------------------------

constexpr corvane::RingFlag kRingFlags[] = {{corvane::RingOption::overwrite, kOverwrite},
                                            {corvane::RingOption::block_on_full, kBlockOnFull}};

corvane::DeliveryRecord& delivery_of(PyObject* self) noexcept { return threaded(self)->delivery; }

struct ThreadedBatchDispatcherClass {
    using Record = OrvixThreadedDispatcher;
    using Object = ThreadedBatchDispatcherObject;
    using Fields = corvane::OwnedFields<Record, &Record::_q, &Record::callback>;
    static PyTypeObject* type() noexcept { return &ThreadedBatchDispatcherType; }
    static constexpr corvane::ConstructorSpec kConstructor{.ring_flags = kRingFlags, .parse = parse_threaded_arguments};
    // tp_alloc has zeroed the rest: no link, not closed.
    static void prepare(PyObject* self) noexcept {
        record(self).vtab = &vtable;
        Fields::init_none(record(self));
    }
    static void configure(Record& d, const corvane::ConstructorArguments& a) noexcept {
        d.variable_size = a.flag(kVariableSize);
        d.push_fn = d.variable_size ? vtable.push_var : vtable.push;
        object(reinterpret_cast<PyObject*>(&d)).shape = batch_shape(a, d.variable_size != 0);
        // No reader until setup(): a blocking push must not wait for one.
        orvix_spscqueue_vtable(d._q)->set_reader_present(d._q, 0);
    }
    static void close_on_dealloc(PyObject* self) {
        record(self).vtab->close(self, corvane::dealloc_skip_override(self));
    }
    static void let_go(PyObject* self) { corvane::threaded_let_reader_go(self); }
    static corvane::DeliveryRecord& delivery(PyObject* self) noexcept { return delivery_of(self); }
};

constinit const py::FunctionSpec kStatsSpec =
    batch_function(corvane::stats_spec<delivery_of, add_producer_stats>("ThreadedBatchDispatcher.stats"));

const corvane::FunctionEntry kFunctions[] = {
    {"setup", kSetupSpec, corvane::FunctionExtra::returns_none},
    {"close", kCloseSpec, corvane::FunctionExtra::returns_none},
    {"stats", kStatsSpec},
};

using Slots = corvane::DispatcherSlots<ThreadedBatchDispatcherClass>;

PyTypeObject make_type() {
    PyTypeObject type = Slots::make_type("orvix.batch.ThreadedBatchDispatcher");
    type.tp_doc =
        "ThreadedBatchDispatcher(callback, *, slot_size=2048, capacity=16384, max_batch=1024, "
        "variable_size=False, overwrite=False, block_on_full=False, ring=None)\n\n"
        "A native reader thread, started by setup(), calls callback(batch) with a Batch of every "
        "message the ring holds at that moment (at most max_batch), taking the interpreter lock "
        "once per batch. Native producers push into it as into a ThreadedDispatcher.";
    return type;
}

}  // namespace

const char kThreadedBatchSignature[] =
    "(callback, *, slot_size=2048, capacity=16384, max_batch=1024, variable_size=False, overwrite=False, "
    "block_on_full=False, ring=None)";

PyTypeObject ThreadedBatchDispatcherType = make_type();

const corvane::ClassEntry threaded_batch_dispatcher_class = Slots::class_entry(&vtable, &fill_vtable, kFunctions, ORVIX_THREADED_DISPATCHER);

}  // namespace orvix::batch
