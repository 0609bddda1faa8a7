#include "cpython_support/producer_thread_glue.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace cpython_support {

namespace {
// How long a start waits for a stopped producer to let go of the ring.
constexpr std::chrono::seconds kAttachPatience{5};
}  // namespace

int attach_producer_thread(orvix::common::ProducerThread& thread) {
    if (thread.try_attach()) return 0;
    bool attached;
    Py_BEGIN_ALLOW_THREADS
    attached = thread.attach_when_free(kAttachPatience);
    Py_END_ALLOW_THREADS
    if (attached) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "another producer is already pushing into this dispatcher; a ring takes one producer "
                    "thread at a time");
    return -1;
}

int parse_join_timeout(PyObject* obj, std::optional<double>& timeout) {
    timeout.reset();
    if (obj == Py_None) return 0;
    const double seconds = PyFloat_AsDouble(obj);
    if (seconds == -1.0 && PyErr_Occurred()) return -1;
    if (std::isnan(seconds)) {
        PyErr_SetString(PyExc_ValueError, "timeout must be a number of seconds or None, not NaN");
        return -1;
    }
    // As threading's join: a negative timeout looks once without waiting.
    // Beyond about 30 years no deadline is ever reached.
    if (seconds <= 1e9) timeout = std::max(seconds, 0.0);
    return 0;
}

int wait_for_producer_thread(orvix::common::ProducerThread& thread, std::optional<double> timeout) {
    using namespace std::chrono;
    constexpr auto kSlice = milliseconds(50);
    const auto deadline = steady_clock::now() + duration_cast<nanoseconds>(duration<double>(timeout.value_or(0)));
    for (;;) {
        const auto left = timeout ? std::min<nanoseconds>(deadline - steady_clock::now(), kSlice) : kSlice;
        bool finished;
        Py_BEGIN_ALLOW_THREADS
        finished = thread.wait_finished(std::max(left, nanoseconds(0)));
        Py_END_ALLOW_THREADS
        if (finished) break;
        if (PyErr_CheckSignals() < 0) return -1;
        if (timeout && steady_clock::now() >= deadline) return 0;
    }
    thread.join();  // finished: returns at once
    return 1;
}

}  // namespace cpython_support
