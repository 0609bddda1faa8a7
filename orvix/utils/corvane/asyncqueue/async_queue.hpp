// AsyncQueue: an asyncio queue over one SPSCQueue ring.
//
// The class is split by concern: the type itself (construction, collector
// support, release) in async_queue.cpp, pickling in async_queue_pickle.cpp,
// the ring calls in queue_ring.cpp, and the coroutines in producers.cpp,
// consumers.cpp and shutdown.cpp. Everything runs on the thread of the
// instance's event loop with the interpreter lock held.
#pragma once

#include <Python.h>

#include "cpython_support/function.hpp"
#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/delivery_record.hpp"

namespace orvix::corvane {

extern PyTypeObject AsyncQueueType;

// The public record, then what stats() reports of the consumers (zeroed by
// the allocator: a valid record).
struct AsyncQueueObject {
    OrvixAsyncQueue pub;
    DeliveryRecord delivery;
};

inline OrvixAsyncQueue* async_queue(PyObject* self) noexcept { return reinterpret_cast<OrvixAsyncQueue*>(self); }
inline DeliveryRecord& queue_delivery(PyObject* self) noexcept {
    return reinterpret_cast<AsyncQueueObject*>(self)->delivery;
}

// The Python-visible functions, in the order of the class's method table.
extern const py::FunctionSpec kPushBufSpec;
extern const py::FunctionSpec kPushObjSpec;
extern const py::FunctionSpec kPushStrSpec;
extern const py::FunctionSpec kPopSpec;
extern const py::FunctionSpec kDispatchSpec;
extern const py::FunctionSpec kShutdownSpec;
extern const py::FunctionSpec kStartDispatcherSpec;
extern const py::FunctionSpec kStatsSpec;

// The C-level table entry `start_dispatcher` (overridable by subclasses).
PyObject* start_dispatcher_entry(PyObject* self, PyObject* callback, int skip_override);

// Pickling (async_queue_pickle.cpp).
extern const PyMethodDef async_queue_reduce_def;
extern const PyMethodDef async_queue_setstate_def;

}  // namespace orvix::corvane
