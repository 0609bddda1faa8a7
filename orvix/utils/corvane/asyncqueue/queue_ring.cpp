#include "orvix/utils/corvane/asyncqueue/queue_ring.hpp"

#include "cpython_support/coroutine.hpp"
#include "orvix/ringq/ring_result.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

StringConstant kAsyncio{"asyncio"};
StringConstant kQueueFull{"QueueFull"};

using ringq::kFull;
using ringq::kHandedOut;
using ringq::kStored;
using ringq::kTooLarge;

// An instance made by __new__ alone, or restored without a ring, has nothing
// to push into or pop from.
PyObject* ring_of(OrvixAsyncQueue* q) {
    if (q->_q == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "AsyncQueue is not initialised: it has no queue");
        throw py::PyError();
    }
    return q->_q;
}

[[noreturn]] void raise_queue_full() {
    py::Ref asyncio = py::check(py::Ref::steal(lookup_global(kAsyncio.get())));
    py::Ref queue_full = py::check(py::Ref::steal(PyObject_GetAttr(asyncio.get(), kQueueFull.get())));
    PyErr_SetString(queue_full.get(), "AsyncQueue is full: the message was not stored");
    throw py::PyError();
}

}  // namespace

void push_message(OrvixAsyncQueue* q, const char* data, std::size_t size) {
    PyObject* ring = ring_of(q);
    const int result = orvix_spscqueue_vtable(ring)->push(ring, data, size);
    if (result == kStored) return;
    if (result == kFull) raise_queue_full();
    if (result == kTooLarge) {
        PyErr_Format(PyExc_ValueError, "AsyncQueue: a message of %zu bytes does not fit in a slot of the queue", size);
    } else {
        PyErr_Format(PyExc_RuntimeError, "AsyncQueue: the queue refused the message (result %d)", result);
    }
    throw py::PyError();
}

py::Ref take_message(OrvixAsyncQueue* q) {
    PyObject* ring = ring_of(q);
    const char* data = nullptr;
    std::size_t size = 0;
    if (orvix_spscqueue_vtable(ring)->try_pop(ring, &data, &size) != kHandedOut) return {};
    // Copied at once: the ring's memory is readable only until its next call.
    return py::check(py::Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size))));
}

bool holds_message(OrvixAsyncQueue* q) {
    PyObject* ring = ring_of(q);
    return orvix_spscqueue_vtable(ring)->size(ring) > 0;
}

}  // namespace orvix::corvane
