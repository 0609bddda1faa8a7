// The SPSCQueue type: a Python object around one SpscRing, with the C-level
// method table of ringq.h for native code and a small Python API.
//
// Table entries run without the interpreter lock and touch nothing but the
// ring. Python-level methods hold the lock and never wait: they use the
// plain push and the non-blocking pops, and copy each message into bytes.
#include "orvix/ringq/spsc_queue_type.hpp"

#include <cstddef>
#include <memory>

#include "cpython_support/conversions.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/ringq/spsc_ring.hpp"

namespace orvix::ringq {
namespace {

static_assert(ORVIX_RING_STORED == kStored && ORVIX_RING_FULL == kFull && ORVIX_RING_TOO_LARGE == kTooLarge &&
                  ORVIX_RING_CLOSED == kClosed && ORVIX_RING_WRONG_MODE == kWrongMode,
              "ringq.h and ring_result.hpp must agree");
static_assert(ORVIX_PRODUCER_NONE == static_cast<int>(ProducerSession::kNone) &&
                  ORVIX_PRODUCER_ATTACHED == static_cast<int>(ProducerSession::kAttached) &&
                  ORVIX_PRODUCER_INTERRUPTED == static_cast<int>(ProducerSession::kInterrupted),
              "ringq.h and spsc_ring.hpp must agree");

struct QueueObject {
    OrvixSPSCQueueHead head;  // object header + table pointer: what native callers rely on
    SpscRing* ring;           // never null once the object exists
};

// Other modules check the instance size when they import the type.
constexpr Py_ssize_t kInstanceSize = 232;
static_assert(sizeof(QueueObject) <= kInstanceSize);
static_assert(offsetof(OrvixSPSCQueueHead, vtab) == sizeof(PyObject), "the table pointer follows the header");

SpscRing& ring_of(PyObject* q) noexcept { return *reinterpret_cast<QueueObject*>(q)->ring; }

// ---- the C-level method table ------------------------------------------------

int hand_out(int result, const Message& m, const char** data, std::size_t* size) noexcept
{
    *data = result == kHandedOut ? m.data : nullptr;
    *size = result == kHandedOut ? m.size : 0;
    return result;
}

int entry_push_notify(PyObject* q, const char* data, std::size_t size) { return ring_of(q).push_notify(data, size); }
int entry_push(PyObject* q, const char* data, std::size_t size) { return ring_of(q).push(data, size); }
int entry_push_var_notify(PyObject* q, const char* data, std::size_t size)
{
    return ring_of(q).push_var_notify(data, size);
}
int entry_push_var(PyObject* q, const char* data, std::size_t size) { return ring_of(q).push_var(data, size); }
std::size_t entry_size(PyObject* q) { return ring_of(q).size(); }
int entry_wait_front(PyObject* q, const char** data, std::size_t* size)
{
    Message m;
    return hand_out(ring_of(q).wait_front(m), m, data, size);
}
void entry_pop_front(PyObject* q) { ring_of(q).pop_front(); }
int entry_try_pop(PyObject* q, const char** data, std::size_t* size)
{
    Message m;
    return hand_out(ring_of(q).try_pop(m), m, data, size);
}
int entry_wait_pop_var(PyObject* q, const char** data, std::size_t* size)
{
    Message m;
    return hand_out(ring_of(q).wait_pop_var(m), m, data, size);
}
int entry_try_pop_var(PyObject* q, const char** data, std::size_t* size)
{
    Message m;
    return hand_out(ring_of(q).try_pop_var(m), m, data, size);
}
void entry_close(PyObject* q) { ring_of(q).close(); }
void entry_counts(PyObject* q, OrvixRingCounts* out)
{
    const RingCounts c = ring_of(q).counts();
    *out = {c.stored, c.refused, c.dropped, c.taken, c.pending};
}
int entry_attach_producer(PyObject* q) { return ring_of(q).attach_producer() ? 1 : 0; }
void entry_detach_producer(PyObject* q) { ring_of(q).detach_producer(); }
int entry_interrupt_producer(PyObject* q) { return ring_of(q).interrupt_producer() ? 1 : 0; }
int entry_producer_session(PyObject* q) { return static_cast<int>(ring_of(q).producer_session()); }
void entry_set_reader_present(PyObject* q, int present) { ring_of(q).set_reader_present(present != 0); }

static_assert(sizeof(OrvixRingMessage) == sizeof(Message) && offsetof(OrvixRingMessage, data) == offsetof(Message, data) &&
                  offsetof(OrvixRingMessage, size) == offsetof(Message, size),
              "a burst push reads the caller's messages in place");

std::size_t entry_push_burst(PyObject* q, const OrvixRingMessage* messages, std::size_t n, int* results, int flags)
{
    return ring_of(q).push_burst(reinterpret_cast<const Message*>(messages), n, results,
                                 (flags & ORVIX_BURST_VARIABLE) != 0, (flags & ORVIX_BURST_NOTIFY) != 0);
}
int entry_pop_burst(PyObject* q, OrvixRingBurst* out, int flags)
{
    Burst burst{out->buffer, out->buffer_bytes, out->ends, out->max_messages};
    const bool variable = (flags & ORVIX_BURST_VARIABLE) != 0;
    const int r = (flags & ORVIX_BURST_WAIT) ? ring_of(q).wait_pop_burst(burst, variable)
                                              : ring_of(q).try_pop_burst(burst, variable);
    out->count = burst.count;
    out->bytes = burst.bytes;
    return r;
}

const OrvixSPSCQueueVTable kMethodTable = {
    entry_push_notify,     entry_push,           entry_push_var_notify,  entry_push_var,
    entry_size,            entry_wait_front,     entry_pop_front,        entry_try_pop,
    entry_wait_pop_var,    entry_try_pop_var,    entry_close,            entry_counts,
    entry_attach_producer, entry_detach_producer, entry_interrupt_producer, entry_producer_session,
    entry_set_reader_present, entry_push_burst,     entry_pop_burst,
};

// ---- construction ------------------------------------------------------------

int size_converter(PyObject* value, void* out)
{
    return py::to_size(value, static_cast<std::size_t*>(out)) < 0 ? 0 : 1;
}

// Builds the ring, turning the engine's construction errors into exceptions.
SpscRing* make_ring(const RingOptions& options)
{
    RingError error;
    std::unique_ptr<SpscRing> ring = SpscRing::create(options, error);
    switch (error) {
    case RingError::kNone: return ring.release();
    case RingError::kZeroSlotSize:
    case RingError::kZeroCapacity: PyErr_SetString(PyExc_ValueError, describe(error)); break;
    case RingError::kTooLarge: PyErr_SetString(PyExc_OverflowError, describe(error)); break;
    case RingError::kNoMemory:
        PyErr_Format(PyExc_MemoryError, "cannot allocate a ring of %zu slots of %zu bytes", options.capacity,
                     options.slot_size);
        break;
    }
    return nullptr;
}

PyObject* queue_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"slot_size", "capacity", "overwrite", "zerocopy", "block_on_full", nullptr};
    RingOptions options;
    int overwrite = 0, zerocopy = 0, block_on_full = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O&O&ppp:SPSCQueue", const_cast<char**>(keywords),
                                     size_converter, &options.slot_size, size_converter, &options.capacity,
                                     &overwrite, &zerocopy, &block_on_full))
        return nullptr;
    options.overwrite = overwrite;
    options.zerocopy = zerocopy;
    options.block_on_full = block_on_full;

    py::Ref self = py::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* q = reinterpret_cast<QueueObject*>(self.get());
    q->head.vtab = &kMethodTable;
    q->ring = make_ring(options);
    if (!q->ring) return nullptr;
    return self.release();
}

void queue_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<QueueObject*>(self)->ring;
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- Python methods ----------------------------------------------------------

// Turns a push result into True / False or the exception it stands for.
PyObject* push_result(int result, Py_ssize_t size, const SpscRing& ring, bool variable)
{
    switch (result) {
    case kStored: Py_RETURN_TRUE;
    case kFull: Py_RETURN_FALSE;
    case kTooLarge:
        if (variable)
            return PyErr_Format(PyExc_ValueError,
                                "a message of %zd bytes is larger than the largest variable-size record (%zu)",
                                size, ring.layout().max_record);
        return PyErr_Format(PyExc_ValueError, "a message of %zd bytes is larger than slot_size (%zu)", size,
                            ring.layout().slot_size);
    case kClosed: return PyErr_Format(PyExc_RuntimeError, "the SPSCQueue is closed");
    default: break;
    }
    return PyErr_Format(PyExc_RuntimeError, variable ? "the SPSCQueue carries fixed-size messages: use push() and pop()"
                                                     : "the SPSCQueue carries variable-size messages: use push_var() "
                                                       "and pop_var()");
}

template <bool kVariable> PyObject* queue_push(PyObject* self, PyObject* message)
{
    Py_buffer view;
    if (PyObject_GetBuffer(message, &view, PyBUF_SIMPLE) < 0) return nullptr;
    SpscRing& ring = ring_of(self);
    const int result = kVariable ? ring.push_var(view.buf, static_cast<std::size_t>(view.len))
                                 : ring.push(view.buf, static_cast<std::size_t>(view.len));
    const Py_ssize_t size = view.len;
    PyBuffer_Release(&view);
    return push_result(result, size, ring, kVariable);
}

template <bool kVariable> PyObject* queue_pop(PyObject* self, PyObject*)
{
    SpscRing& ring = ring_of(self);
    Message m;
    const int result = kVariable ? ring.try_pop_var(m) : ring.try_pop(m);
    if (result == kEmpty) Py_RETURN_NONE;
    if (result != kHandedOut) return push_result(result, 0, ring, kVariable);
    PyObject* bytes = PyBytes_FromStringAndSize(m.data, static_cast<Py_ssize_t>(m.size));
    // Free the slot now: the bytes object holds the only copy the caller needs.
    // On failure the message is gone too; the MemoryError says so.
    ring.release();
    return bytes;
}

PyObject* queue_close(PyObject* self, PyObject*)
{
    ring_of(self).close();
    Py_RETURN_NONE;
}

PyObject* queue_repr(PyObject* self)
{
    const SpscRing& ring = ring_of(self);
    py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    auto flag = [](bool b) { return b ? "True" : "False"; };
    return PyUnicode_FromFormat("%U(slot_size=%zu, capacity=%zu, overwrite=%s, zerocopy=%s, block_on_full=%s)",
                                name.get(), ring.layout().slot_size, ring.layout().slots, flag(ring.overwrite()),
                                flag(ring.zerocopy()), flag(ring.block_on_full()));
}

Py_ssize_t queue_len(PyObject* self) { return static_cast<Py_ssize_t>(ring_of(self).size()); }

PyObject* get_slot_size(PyObject* self, void*) { return PyLong_FromSize_t(ring_of(self).layout().slot_size); }
PyObject* get_capacity(PyObject* self, void*) { return PyLong_FromSize_t(ring_of(self).layout().slots); }
PyObject* get_max_var_size(PyObject* self, void*) { return PyLong_FromSize_t(ring_of(self).layout().max_record); }
PyObject* get_overwrite(PyObject* self, void*) { return PyBool_FromLong(ring_of(self).overwrite()); }
PyObject* get_zerocopy(PyObject* self, void*) { return PyBool_FromLong(ring_of(self).zerocopy()); }
PyObject* get_block_on_full(PyObject* self, void*) { return PyBool_FromLong(ring_of(self).block_on_full()); }
PyObject* get_closed(PyObject* self, void*) { return PyBool_FromLong(ring_of(self).closed()); }
PyObject* get_dropped(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(ring_of(self).dropped()); }
PyObject* get_refused(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(ring_of(self).refused()); }

PyMethodDef methods[] = {
    {"push", queue_push<false>, METH_O,
     "push($self, message, /)\n--\n\n"
     "Store a bytes-like message of up to slot_size bytes. Returns True when stored, False when the\n"
     "queue is full (with overwrite, the oldest messages make room instead). Never waits."},
    {"push_var", queue_push<true>, METH_O,
     "push_var($self, message, /)\n--\n\n"
     "Store a variable-size message of up to max_var_size bytes. Returns True or False as push()."},
    {"pop", queue_pop<false>, METH_NOARGS,
     "pop($self, /)\n--\n\nTake the oldest message as bytes, or None when the queue is empty."},
    {"pop_var", queue_pop<true>, METH_NOARGS,
     "pop_var($self, /)\n--\n\nTake the oldest variable-size message as bytes, or None when empty."},
    {"close", queue_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Close the queue: wake every waiting reader and writer; later pushes fail, pops still drain."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"slot_size", get_slot_size, nullptr, "Largest fixed-size message, in bytes.", nullptr},
    {"capacity", get_capacity, nullptr, "Fixed-size messages the queue holds (a power of two).", nullptr},
    {"max_var_size", get_max_var_size, nullptr, "Largest variable-size message, in bytes.", nullptr},
    {"overwrite", get_overwrite, nullptr, "Whether a full queue drops its oldest messages.", nullptr},
    {"zerocopy", get_zerocopy, nullptr, "Whether native consumers read messages in place (else from a copy).", nullptr},
    {"block_on_full", get_block_on_full, nullptr,
     "Whether a notifying native push waits for room (only while a reader is present to make it).", nullptr},
    {"closed", get_closed, nullptr, "Whether close() was called.", nullptr},
    {"dropped", get_dropped, nullptr, "Messages dropped to make room (overwrite).", nullptr},
    {"refused", get_refused, nullptr, "Pushes that stored nothing: the queue was full or closed, or the message too large.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(queue_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(queue_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(queue_repr)},
    {Py_sq_length, reinterpret_cast<void*>(queue_len)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {Py_tp_doc, const_cast<char*>(
                    "SPSCQueue(slot_size=1024, capacity=16384, overwrite=False, zerocopy=False, "
                    "block_on_full=False)\n--\n\n"
                    "A lock-free single-producer/single-consumer ring of byte messages.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "orvix.ringq.ringq.SPSCQueue",
    static_cast<int>(kInstanceSize),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* make_spsc_queue_type(PyObject* module)
{
    py::Ref type = py::Ref::steal(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (!type) return nullptr;
    py::Ref capsule = py::Ref::steal(PyCapsule_New(const_cast<OrvixSPSCQueueVTable*>(&kMethodTable), nullptr, nullptr));
    if (!capsule) return nullptr;
    // An immutable type refuses setattr: the table goes straight into its dictionary.
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    if (PyDict_SetItemString(tp->tp_dict, "__qvx_vtable__", capsule.get()) < 0) return nullptr;
    PyType_Modified(tp);
    return type.release();
}

}  // namespace orvix::ringq
