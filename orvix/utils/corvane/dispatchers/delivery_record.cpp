#include "orvix/utils/corvane/dispatchers/delivery_record.hpp"

#include "cpython_support/ref.hpp"
#include "orvix/ringq/ringq.h"

namespace orvix::corvane {

void DeliveryRecord::reader_started() noexcept {
    state_ = ReaderState::running;
    clear();
}

void DeliveryRecord::reader_start_failed() noexcept {
    if (state_ == ReaderState::running) state_ = ReaderState::not_started;
}

void DeliveryRecord::reader_stopped(PyObject* exception) noexcept {
    if (ended()) return;
    state_ = ReaderState::stopped;
    Py_XSETREF(error_, Py_XNewRef(exception));
}

void DeliveryRecord::reader_stopped_with_pending_error() noexcept {
    PyObject* exception = PyErr_GetRaisedException();
    reader_stopped(exception);
    PyErr_SetRaisedException(exception);
}

void DeliveryRecord::closed() noexcept {
    if (state_ != ReaderState::stopped) state_ = ReaderState::closed;
}

namespace {

const char* state_name(ReaderState state) noexcept {
    switch (state) {
    case ReaderState::not_started: return "not started";
    case ReaderState::running: return "running";
    case ReaderState::stopped: return "stopped";
    case ReaderState::closed: return "closed";
    }
    return "?";
}

bool put(PyObject* dict, const char* key, py::Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

bool put_count(PyObject* dict, const char* key, unsigned long long n) {
    return put(dict, key, py::Ref::steal(PyLong_FromUnsignedLongLong(n)));
}

}  // namespace

PyObject* DeliveryRecord::stats(PyObject* ring) const {
    // delivered + dropped + pending <= stored + 1 in every snapshot.
    // `delivered` is read first, then the ring's counters in one call (which
    // keeps taken + dropped <= stored and pending <= stored - taken -
    // dropped, see SpscRing::counts()). Every reader counts a delivery,
    // under the interpreter lock, only after the ring has handed the message
    // out, and at most one message handed out is not yet counted taken (the
    // one wait_front shows, counted at pop_front): delivered <= taken + 1
    // when read, and taken only grows until the ring is read. Both reads
    // come before anything that could run Python code and so let a reader
    // deliver in between (the dict below may start a collection).
    const std::uint64_t delivered = delivered_;
    OrvixRingCounts counts{};
    if (ring != Py_None) orvix_spscqueue_vtable(ring)->counts(ring, &counts);
    py::Ref dict = py::Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool ok = put_count(d, "stored", counts.stored) && put_count(d, "refused", counts.refused) &&
                    put_count(d, "dropped", counts.dropped) && put_count(d, "delivered", delivered) &&
                    put_count(d, "pending", counts.pending) &&
                    put(d, "reader", py::Ref::steal(PyUnicode_FromString(state_name(state_)))) &&
                    (state_ != ReaderState::stopped || !error_ || put(d, "error", py::Ref::borrow(error_)));
    return ok ? dict.release() : nullptr;
}

}  // namespace orvix::corvane
