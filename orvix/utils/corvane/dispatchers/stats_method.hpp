// stats(): the one method all four classes share, over their ring `_q` and
// their DeliveryRecord.
#pragma once

#include <Python.h>

#include <cstddef>

#include "cpython_support/function.hpp"
#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/delivery_record.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"

namespace orvix::corvane {

// Every record keeps its ring right after the table pointer.
struct RecordWithRing {
    PyObject_HEAD
    const void* vtab;
    PyObject* _q;
};
static_assert(offsetof(RecordWithRing, _q) == offsetof(OrvixAsyncDispatcher, _q) &&
                  offsetof(RecordWithRing, _q) == offsetof(OrvixSyncDispatcher, _q) &&
                  offsetof(RecordWithRing, _q) == offsetof(OrvixThreadedDispatcher, _q) &&
                  offsetof(RecordWithRing, _q) == offsetof(OrvixAsyncQueue, _q),
              "every record keeps `_q` in one place");

using DeliveryRecordOf = DeliveryRecord& (*)(PyObject* self);

// What a class counts beyond what every class counts: adds its keys to the
// stats() dict; false with an exception set.
using ExtraStats = bool (*)(PyObject* self, PyObject* dict);

// For the classes that count nothing more. (A function rather than a null
// pointer: with the sanitizers, gcc will not compare a function's address
// with null in a constant expression.)
inline bool no_extra_stats(PyObject*, PyObject*) { return true; }

template <DeliveryRecordOf record_of, ExtraStats extra = no_extra_stats>
PyObject* stats_method(py::Function&, PyObject* self, py::BoundArguments&) {
    PyObject* dict = record_of(self).stats(reinterpret_cast<RecordWithRing*>(self)->_q);
    if (dict && !extra(self, dict)) Py_CLEAR(dict);
    return dict;
}

inline constexpr const char kStatsDoc[] =
    "stats(self) -> dict\n\n"
    "What happened to the messages so far, as a snapshot: stored (pushes the ring accepted), "
    "refused (pushes that stored nothing: the ring was full or closed, or the message too large; "
    "each retry counted), dropped (stored messages overwritten before delivery, overwrite=True), "
    "delivered (messages handed to the callback or returned by pop()), pending (messages in the "
    "ring now), reader (\"not started\", \"running\", \"stopped\" or \"closed\") and, when the "
    "reader stopped, error (the exception that stopped it). AsyncDispatcher and SyncDispatcher "
    "add wakeups_failed (sends of the wake-up datagram that failed, each attempt counted). "
    "The counters of one snapshot keep delivered + dropped + pending <= stored + 1 and, in "
    "fixed-size mode, pending <= capacity + 1 (the ring's capacity).";

template <DeliveryRecordOf record_of, ExtraStats extra = no_extra_stats>
constexpr py::FunctionSpec stats_spec(const char* qualname) {
    return corvane_function({
        .name = "stats",
        .qualname = qualname,
        .doc = kStatsDoc,
        .params = {"stats", nullptr, 0, 0},
        .impl = stats_method<record_of, extra>,
    });
}

}  // namespace orvix::corvane
