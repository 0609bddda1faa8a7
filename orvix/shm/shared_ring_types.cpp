// SharedRing and SharedProducer (shared_ring_types.hpp): heap types of the
// batch module, whose references live here from its exec step on.
#define PY_SSIZE_T_CLEAN
#include "orvix/shm/shared_ring_types.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_set>
#include <utility>

#include <unistd.h>

#include "cpython_support/ref.hpp"
#include "orvix/ringq/ring_result.hpp"
#include "orvix/shm/shared_ring_object.hpp"
#include "orvix/utils/corvane/module/producer_mark.hpp"

namespace orvix::shm {
namespace {

using ringq::Burst;
using ringq::Message;
using ringq::RingError;
using ringq::RingSharing;
using ringq::SpscRing;

// The classes, made by the module's exec step once for the process (the
// batch module lives in the main interpreter only, as one module object),
// and owned from then on.
struct SharedRingTypes {
    PyTypeObject* ring = nullptr;
    PyTypeObject* producer = nullptr;
    PyTypeObject* side = nullptr;   // SharedProducer's `_q`, never seen from Python
};
SharedRingTypes types;

// The rings this module made that are not closed yet (lock held).
std::unordered_set<SharedRingObject*> open_rings;

// An instance of a heap type holds a reference to its class.
void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

SharedRingObject& ring_object(PyObject* q) noexcept { return *reinterpret_cast<SharedRingObject*>(q); }
SharedProducerObject& producer_object(PyObject* p) noexcept { return *reinterpret_cast<SharedProducerObject*>(p); }

void set_mapping_error(const MappingError& error, const std::string& name) {
    if (error.errno_value == 0) {
        PyErr_SetString(PyExc_ValueError, error.message.c_str());
    } else {
        errno = error.errno_value;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, name.c_str());
    }
}

// A ring over `mapping`, taking it over, for one side; null with an exception.
SpscRing* ring_over(std::unique_ptr<SharedMapping> mapping, bool consumer) {
    const RingSharing sharing = consumer ? mapping->consumer_sharing() : mapping->producer_sharing();
    const ringq::RingOptions options = mapping->options();
    const ringq::RingLayout layout = mapping->layout();
    RingError error = RingError::kNone;
    std::unique_ptr<SpscRing> ring = SpscRing::over(std::move(mapping), options, layout, sharing, error);
    if (!ring) {
        PyErr_NoMemory();
        return nullptr;
    }
    return ring.release();
}

// ---- SharedRing: the consumer side, through the ring's C-level table --------

// A dispatcher of this process consumes the ring; the producer lives behind
// the mapping, so the ring's own push entries refuse as a closed ring does.
int refuse_push(PyObject*, const char*, size_t) { return ringq::kClosed; }
size_t refuse_burst(PyObject*, const OrvixRingMessage*, size_t n, int* results, int) {
    if (results)
        for (size_t i = 0; i < n; ++i) results[i] = ringq::kClosed;
    return n;
}
SpscRing& consumer(PyObject* q) noexcept { return *ring_object(q).ring; }
size_t entry_size(PyObject* q) { return consumer(q).size(); }
int entry_wait_front(PyObject* q, const char** data, size_t* size) {
    Message m;
    int r = consumer(q).wait_front(m);
    *data = m.data;
    *size = m.size;
    return r;
}
void entry_pop_front(PyObject* q) { consumer(q).pop_front(); }
template <int (SpscRing::*pop)(Message&)> int entry_pop(PyObject* q, const char** data, size_t* size) {
    Message m;
    const int r = (consumer(q).*pop)(m);
    *data = m.data;
    *size = m.size;
    return r;
}
void close_ring(SharedRingObject& o);

// The consuming dispatcher's close() closes the ring as SharedRing.close()
// does: pushes answer -2 and the name goes. (A forked child's copy is not
// the ring's consumer: it only marks its copy closed.)
void entry_close(PyObject* q) { close_ring(ring_object(q)); }
void entry_counts(PyObject* q, OrvixRingCounts* out) {
    const ringq::RingCounts c = consumer(q).counts();
    *out = {c.stored, c.refused, c.dropped, c.taken, c.pending};
}
int entry_attach_producer(PyObject*) { return 0; }   // the producer attaches by name
void entry_detach_producer(PyObject*) {}
int entry_interrupt_producer(PyObject*) { return 0; }
int entry_producer_session(PyObject*) { return ORVIX_PRODUCER_NONE; }
void entry_set_reader_present(PyObject* q, int present) { consumer(q).set_reader_present(present != 0); }

// A waiting pop sleeps in bounded steps, so that a reader thread is never
// parked for good on a ring whose producer died: it goes on waiting for the
// next producer. A corrupt ring answers kRingCorrupt once what came before
// the bad record is out: the reader stops with an error.
int entry_pop_burst(PyObject* q, OrvixRingBurst* out, int flags) {
    Burst burst{out->buffer, out->buffer_bytes, out->ends, out->max_messages};
    const bool variable = (flags & ORVIX_BURST_VARIABLE) != 0;
    SpscRing& ring = consumer(q);
    int r;
    if (flags & ORVIX_BURST_WAIT) {
        do r = ring.wait_pop_burst_for(burst, variable, kLivenessPollMs);
        while (r == ringq::kEmpty);
    } else {
        r = ring.try_pop_burst(burst, variable);
    }
    out->count = burst.count;
    out->bytes = burst.bytes;
    return r != ringq::kHandedOut && ring.corrupt() ? kRingCorrupt : r;
}

const OrvixSPSCQueueVTable kConsumerTable = {
    refuse_push,
    refuse_push,
    refuse_push,
    refuse_push,
    entry_size,
    entry_wait_front,
    entry_pop_front,
    entry_pop<&SpscRing::try_pop>,
    entry_pop<&SpscRing::wait_pop_var>,
    entry_pop<&SpscRing::try_pop_var>,
    entry_close,
    entry_counts,
    entry_attach_producer,
    entry_detach_producer,
    entry_interrupt_producer,
    entry_producer_session,
    entry_set_reader_present,
    refuse_burst,
    entry_pop_burst,
};

const char* producer_state_name(SharedRingObject& o) {
    if (o.ring->corrupt()) return "corrupt";
    switch (o.mapping->producer_state()) {
    case ProducerState::kNone: return "none";
    case ProducerState::kAttached: return "attached";
    case ProducerState::kDetached: return "detached";
    case ProducerState::kGone: return "gone";
    }
    return "none";
}

PyObject* ring_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* names[] = {"name", "slot_size", "capacity", "variable_size", "overwrite", "mode", nullptr};
    PyObject* name = nullptr;
    long long slot_size = 2048, capacity = 16384;
    int variable_size = 0, overwrite = 0;
    int mode = 0600;
    // Sizes keyword-only, as in the batch dispatchers; the name a str, as
    // everywhere a ring is named.
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "U|$LLppi:SharedRing", const_cast<char**>(names), &name, &slot_size,
                                     &capacity, &variable_size, &overwrite, &mode))
        return nullptr;
    if (slot_size < 1)
        return PyErr_Format(PyExc_ValueError, "SharedRing(): slot_size must be at least 1, got %lld", slot_size);
    if (capacity < 1)
        return PyErr_Format(PyExc_ValueError, "SharedRing(): capacity must be at least 1, got %lld", capacity);
    if (mode < 0 || mode > 0777)
        return PyErr_Format(PyExc_ValueError, "SharedRing(): mode must be a permission mode (0 to 0o777), got %d", mode);
    Py_ssize_t name_length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &name_length);
    if (!utf8) return nullptr;
    const std::string wanted(utf8, static_cast<std::size_t>(name_length));
    SharedRingShape shape{static_cast<std::size_t>(slot_size), static_cast<std::size_t>(capacity), variable_size != 0,
                          overwrite != 0};
    MappingError error;
    std::unique_ptr<SharedMapping> mapping;
    Py_BEGIN_ALLOW_THREADS
    mapping = SharedMapping::create(wanted, shape, static_cast<unsigned>(mode), error);
    Py_END_ALLOW_THREADS
    if (!mapping) {
        set_mapping_error(error, wanted);
        return nullptr;
    }
    SharedMapping* raw = mapping.get();
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) {
        raw->unlink_name();
        return nullptr;
    }
    SharedRingObject& o = ring_object(self);
    o.vtab = &kConsumerTable;
    o.creator = getpid();
    o.mapping = raw;
    const std::string created = raw->name();
    o.ring = ring_over(std::move(mapping), true);
    if (!o.ring) {
        shm_unlink(created.c_str());   // the mapping went with the failed ring
        Py_DECREF(self);
        return nullptr;
    }
    open_rings.insert(&o);
    return self;
}

// Only the creating process closes the ring and removes its name; a forked
// child's copy lets go of its mapping only.
void close_ring(SharedRingObject& o) {
    if (o.closed) return;
    o.closed = 1;
    open_rings.erase(&o);
    if (o.creator != getpid()) return;
    o.ring->close();   // pushes now answer -2; a waiting reader ends
    o.mapping->unlink_name();
}

// At interpreter exit (atexit runs before finalization, while reader threads
// still run): a ring left open would leave its name behind, because a
// reader still running holds it and is never freed. Every ring this process
// created is closed as close() closes it.
PyObject* close_rings_at_exit(PyObject*, PyObject*) {
    while (!open_rings.empty()) close_ring(**open_rings.begin());
    Py_RETURN_NONE;
}

PyMethodDef kCloseAtExit = {"_close_shared_rings_at_exit", close_rings_at_exit, METH_NOARGS,
                            "Closes every SharedRing still open, removing its name (registered with atexit)."};

int close_rings_at_exit_registered(PyObject* module) {
    py::Ref atexit = py::Ref::steal(PyImport_ImportModule("atexit"));
    py::Ref hook = py::Ref::steal(PyCFunction_NewEx(&kCloseAtExit, nullptr, module));
    if (!atexit || !hook) return -1;
    return py::Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())) ? 0 : -1;
}

void ring_dealloc(PyObject* self) {
    SharedRingObject& o = ring_object(self);
    if (o.ring) {
        close_ring(o);
        delete o.ring;
    }
    open_rings.erase(&o);
    free_instance(self);
}

PyObject* ring_close(PyObject* self, PyObject*) {
    close_ring(ring_object(self));
    Py_RETURN_NONE;
}

PyObject* ring_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }
PyObject* ring_exit(PyObject* self, PyObject*) {
    close_ring(ring_object(self));
    Py_RETURN_FALSE;
}

PyObject* new_producer(const std::string& name);

// A ring's name given to `method`: a str, as everywhere. False with TypeError.
bool name_argument(PyObject* arg, const char* method, std::string& out) {
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "%s() argument must be str, not %.200s", method, Py_TYPE(arg)->tp_name);
        return false;
    }
    Py_ssize_t length = 0;
    const char* name = PyUnicode_AsUTF8AndSize(arg, &length);
    if (!name) return false;
    out.assign(name, static_cast<std::size_t>(length));
    return true;
}

PyObject* ring_attach(PyObject*, PyObject* arg) {
    std::string name;
    if (!name_argument(arg, "SharedRing.attach", name)) return nullptr;
    return new_producer(name);
}

PyObject* ring_unlink(PyObject*, PyObject* arg) {
    std::string name;
    if (!name_argument(arg, "SharedRing.unlink", name)) return nullptr;
    std::string normal, message;
    if (!normalize_name(name, normal, message)) {
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return nullptr;
    }
    if (shm_unlink(normal.c_str()) != 0) return PyErr_SetFromErrnoWithFilename(PyExc_OSError, normal.c_str());
    Py_RETURN_NONE;
}

PyObject* ring_stats(PyObject* self, PyObject*) {
    SharedRingObject& o = ring_object(self);
    const ringq::RingCounts c = o.ring->counts();
    return Py_BuildValue("{sKsKsKsKsKss}", "stored", c.stored, "refused", c.refused, "dropped", c.dropped, "taken",
                         c.taken, "pending", c.pending, "producer", producer_state_name(o));
}

PyObject* get_name(PyObject* self, void*) {
    const std::string& n = ring_object(self).mapping->name();
    return PyUnicode_FromStringAndSize(n.data(), static_cast<Py_ssize_t>(n.size()));
}
PyObject* get_slot_size(PyObject* self, void*) { return PyLong_FromSize_t(ring_object(self).mapping->shape().slot_size); }
PyObject* get_capacity(PyObject* self, void*) { return PyLong_FromSize_t(ring_object(self).mapping->shape().capacity); }
PyObject* get_variable(PyObject* self, void*) { return PyBool_FromLong(ring_object(self).mapping->shape().variable_size); }
PyObject* get_overwrite(PyObject* self, void*) { return PyBool_FromLong(ring_object(self).mapping->shape().overwrite); }
PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(ring_object(self).closed); }
PyObject* get_producer(PyObject* self, void*) { return PyUnicode_FromString(producer_state_name(ring_object(self))); }

PyMethodDef kRingMethods[] = {
    {"close", ring_close, METH_NOARGS,
     "close(self) -> None\n\nCloses the ring (an attached producer's pushes answer -2 from now on) and removes "
     "its name; mappings stay valid until each side lets go."},
    {"stats", ring_stats, METH_NOARGS,
     "stats(self) -> dict\n\nThe ring's counters (stored, refused, dropped, taken, pending) and producer."},
    {"attach", ring_attach, METH_O | METH_STATIC,
     "attach(name) -> SharedProducer\n\nAttaches to the ring of that name as its producer (one at a time)."},
    {"unlink", ring_unlink, METH_O | METH_STATIC,
     "unlink(name) -> None\n\nRemoves a ring's name left behind by a creator that died."},
    {"__enter__", ring_enter, METH_NOARGS, nullptr},
    {"__exit__", ring_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kRingGetSet[] = {
    {"name", get_name, nullptr, "The ring's name, with its leading '/'.", nullptr},
    {"slot_size", get_slot_size, nullptr, "The largest fixed-size message.", nullptr},
    {"capacity", get_capacity, nullptr, "Messages the ring holds (fixed-size mode).", nullptr},
    {"variable_size", get_variable, nullptr, "Whether the ring holds variable-size records.", nullptr},
    {"overwrite", get_overwrite, nullptr, "Whether a push into a full ring drops the oldest messages.", nullptr},
    {"closed", get_closed, nullptr, "Whether close() ran.", nullptr},
    {"producer", get_producer, nullptr,
     "\"none\", \"attached\", \"detached\", \"gone\" (died attached) or \"corrupt\" (it broke the layout).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- SharedProducer -------------------------------------------------------------

ProducerSideObject& side_of(PyObject* self) noexcept { return *producer_object(self).side; }

// Lets the ring go: the mapping's destructor releases the producer lock and
// unmaps. Any thread, no interpreter lock needed.
void let_ring_go(ProducerSideObject& side) noexcept { delete std::exchange(side.ring, nullptr); }

// Relaxed: a push that sees the side open is one of the session's, which
// the ring outlives (see ProducerSideObject), or one serialized with close()
// by the interpreter lock (SharedProducer.push).
bool side_open(const ProducerSideObject& side) noexcept {
    return (side.state.load(std::memory_order_relaxed) & kSideClosing) == 0;
}

int producer_push(PyObject* self, const char* data, size_t size) {
    ProducerSideObject& side = side_of(self);
    if (!side_open(side)) return ringq::kClosed;
    return side.variable ? side.ring->push_var_notify(data, size) : side.ring->push_notify(data, size);
}
size_t producer_push_burst(PyObject* self, const OrvixRingMessage* messages, size_t n, int* results) {
    ProducerSideObject& side = side_of(self);
    if (!side_open(side)) return refuse_burst(self, messages, n, results, 0);
    return side.ring->push_burst(reinterpret_cast<const Message*>(messages), n, results, side.variable != 0, true);
}
void no_reader(PyObject*) {}
void no_setup(PyObject*, int) {}

const OrvixThreadedDispatcherVTable kProducerTable = {
    producer_push, producer_push, no_reader, no_reader, no_setup, no_setup, producer_push_burst,
};

// The session entries of the side's table. acq_rel on every change: a
// session's pushes happen before the next session's, and before the ring
// is let go by whichever of close() and the detach comes second.
ProducerSideObject& side(PyObject* q) noexcept { return *reinterpret_cast<ProducerSideObject*>(q); }

int side_attach(PyObject* q) {
    std::uint32_t s = side(q).state.load(std::memory_order_relaxed);
    do {
        if (s & kSessionAttached) return 0;
        // Once closing there is nothing to guard: the pushes answer -2.
        if (s & kSideClosing) return 1;
    } while (!side(q).state.compare_exchange_weak(s, s | kSessionAttached, std::memory_order_acq_rel));
    return 1;
}
void side_detach(PyObject* q) {
    const std::uint32_t was =
        side(q).state.fetch_and(~(kSessionAttached | kSessionInterrupted), std::memory_order_acq_rel);
    if ((was & kSessionAttached) && (was & kSideClosing)) let_ring_go(side(q));
}
int side_interrupt(PyObject* q) {
    // The side's pushes never wait (a shared ring has no block_on_full), so
    // the interruption is only recorded.
    std::uint32_t s = side(q).state.load(std::memory_order_relaxed);
    do {
        if (!(s & kSessionAttached)) return 0;
    } while (!side(q).state.compare_exchange_weak(s, s | kSessionInterrupted, std::memory_order_acq_rel));
    return 1;
}
int side_session(PyObject* q) {
    const std::uint32_t s = side(q).state.load(std::memory_order_acquire);
    return !(s & kSessionAttached) ? ORVIX_PRODUCER_NONE
           : (s & kSessionInterrupted) ? ORVIX_PRODUCER_INTERRUPTED
                                       : ORVIX_PRODUCER_ATTACHED;
}
// The rest of the table: this side is no ring of its own to push or pop.
size_t side_size(PyObject*) { return 0; }
int side_no_message(PyObject*, const char** data, size_t* size) {
    *data = nullptr;
    *size = 0;
    return ringq::kClosed;
}
void side_nothing(PyObject*) {}
void side_counts(PyObject* q, OrvixRingCounts* out) {
    const ringq::SpscRing* ring = side(q).ring;
    const ringq::RingCounts c = ring ? ring->counts() : ringq::RingCounts{};
    *out = {c.stored, c.refused, c.dropped, c.taken, c.pending};
}
void side_reader_present(PyObject*, int) {}
int side_pop_burst(PyObject*, OrvixRingBurst* out, int) {
    out->count = out->bytes = 0;
    return ringq::kClosed;
}

const OrvixSPSCQueueVTable kSideTable = {
    refuse_push,     refuse_push,     refuse_push,         refuse_push,  side_size,      side_no_message,
    side_nothing,    side_no_message, side_no_message,     side_no_message, side_nothing, side_counts,
    side_attach,     side_detach,     side_interrupt,      side_session, side_reader_present, refuse_burst,
    side_pop_burst,
};

void side_dealloc(PyObject* self) {
    let_ring_go(side(self));   // no session is left: a session's producer holds the SharedProducer
    side(self).state.~atomic();
    free_instance(self);
}

// close(): the side answers -2 from now on; the ring goes now, or at the
// detach of the session in flight.
void close_side(ProducerSideObject& s) noexcept {
    const std::uint32_t was = s.state.fetch_or(kSideClosing, std::memory_order_acq_rel);
    if (!(was & kSideClosing) && !(was & kSessionAttached)) let_ring_go(s);
}

PyObject* new_producer(const std::string& name) {
    MappingError error;
    std::unique_ptr<SharedMapping> mapping;
    bool claimed = false;
    Py_BEGIN_ALLOW_THREADS
    mapping = SharedMapping::open(name, error);
    claimed = mapping && mapping->claim_producer(error);
    Py_END_ALLOW_THREADS
    if (!mapping || !claimed) {
        if (error.errno_value == 0 && mapping)
            PyErr_SetString(PyExc_RuntimeError, error.message.c_str());   // another producer holds it
        else
            set_mapping_error(error, name);
        return nullptr;
    }
    const bool variable = mapping->shape().variable_size;
    PyObject* q = types.side->tp_alloc(types.side, 0);
    if (!q) return nullptr;
    ProducerSideObject& s = side(q);
    s.vtab = &kSideTable;
    new (&s.state) std::atomic<std::uint32_t>(0);
    s.variable = variable;
    s.ring = ring_over(std::move(mapping), false);
    if (!s.ring) {
        Py_DECREF(q);
        return nullptr;
    }
    PyObject* self = types.producer->tp_alloc(types.producer, 0);
    if (!self) {
        Py_DECREF(q);
        return nullptr;
    }
    SharedProducerObject& p = producer_object(self);
    p.pub.vtab = &kProducerTable;
    p.pub._q = q;   // the producer session lives there
    p.pub.callback = Py_NewRef(Py_None);
    p.pub.variable_size = variable;
    p.pub.push_fn = producer_push;
    p.side = &s;
    return self;
}

void producer_dealloc(PyObject* self) {
    SharedProducerObject& p = producer_object(self);
    Py_CLEAR(p.pub._q);
    Py_CLEAR(p.pub.callback);
    free_instance(self);
}

PyObject* producer_push_method(PyObject* self, PyObject* arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
    const int r = producer_push(self, static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return PyLong_FromLong(r);
}

PyObject* producer_close(PyObject* self, PyObject*) {
    close_side(side_of(self));
    Py_RETURN_NONE;
}
PyObject* producer_exit(PyObject* self, PyObject*) {
    close_side(side_of(self));
    Py_RETURN_FALSE;
}
PyObject* producer_get_closed(PyObject* self, void*) {
    const ProducerSideObject& s = side_of(self);
    return PyBool_FromLong(!side_open(s) || s.ring->closed());
}

PyMethodDef kProducerMethods[] = {
    {"push", producer_push_method, METH_O,
     "push(data) -> int\n\nStores one message: 1 stored, 0 the ring is full, -1 too large, -2 the ring is "
     "closed (or this producer detached)."},
    {"close", producer_close, METH_NOARGS,
     "close(self) -> None\n\nDetaches: the ring takes another producer. Pushes answer -2 from now on."},
    {"__enter__", ring_enter, METH_NOARGS, nullptr},
    {"__exit__", producer_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProducerGetSet[] = {
    {"closed", producer_get_closed, nullptr, "Whether the ring was closed by its consumer or this producer detached.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRingSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(ring_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ring_dealloc)},
    {Py_tp_methods, kRingMethods},
    {Py_tp_getset, kRingGetSet},
    {Py_tp_doc, const_cast<char*>(
        "SharedRing(name, *, slot_size=2048, capacity=16384, variable_size=False, overwrite=False, mode=0o600)\n--\n\n"
        "A ring in named shared memory: a producer process attaches to it by name (SharedRing.attach, or the C "
        "header orvix/shm/producer.h) and a ThreadedBatchDispatcher or AsyncBatchDispatcher of this process made "
        "with ring=... consumes it. close() closes it and removes the name.")},
    {0, nullptr},
};
PyType_Slot kProducerSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(producer_dealloc)},
    {Py_tp_methods, kProducerMethods},
    {Py_tp_getset, kProducerGetSet},
    {Py_tp_doc, const_cast<char*>(
        "The producer side of a SharedRing, from SharedRing.attach(name). orvix.feed.Feed and native producers "
        "(producer.h) push into it as into a ThreadedDispatcher.")},
    {0, nullptr},
};
PyType_Slot kSideSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(side_dealloc)},
    {Py_tp_doc, const_cast<char*>("The producer side of a SharedProducer and its producer session (internal).")},
    {0, nullptr},
};

// Immutable, as the static classes they once were: no attribute of theirs
// changes after the exec step (SharedProducer's producer mark relies on it).
constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
PyType_Spec kRingSpec = {"orvix.shm.SharedRing", sizeof(SharedRingObject), 0, kFlags, kRingSlots};
PyType_Spec kProducerSpec = {"orvix.shm.SharedProducer", sizeof(SharedProducerObject), 0,
                             kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, kProducerSlots};
PyType_Spec kSideSpec = {"orvix.shm._ProducerSide", sizeof(ProducerSideObject), 0,
                         kFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSideSlots};

PyTypeObject* make_type(PyObject* module, PyType_Spec& spec) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

}  // namespace

bool is_shared_ring(PyObject* q) noexcept { return types.ring && Py_IS_TYPE(q, types.ring); }

int add_shared_ring_types(PyObject* module) {
    if (!types.ring) {
        SharedRingTypes made{make_type(module, kRingSpec), make_type(module, kProducerSpec),
                             make_type(module, kSideSpec)};
        if (!made.ring || !made.producer || !made.side ||
            corvane::add_producer_mark(made.producer, ORVIX_THREADED_DISPATCHER) < 0) {
            Py_XDECREF(made.ring);
            Py_XDECREF(made.producer);
            Py_XDECREF(made.side);
            return -1;
        }
        types = made;
    }
    if (PyModule_AddObjectRef(module, "SharedRing", reinterpret_cast<PyObject*>(types.ring)) < 0) return -1;
    if (PyModule_AddObjectRef(module, "SharedProducer", reinterpret_cast<PyObject*>(types.producer)) < 0)
        return -1;
    return close_rings_at_exit_registered(module);
}

}  // namespace orvix::shm
