// What the Python types of native producer threads (orvix.feed's Feed,
// orvix.net's receivers) do alike around their ProducerThread: attaching as
// the ring's one producer with the interpreter lock released, reading a
// join() timeout as threading does, and waiting for the thread in slices
// that let a KeyboardInterrupt through.
#pragma once

#include <Python.h>

#include <optional>

#include "orvix/common/producer_thread.hpp"

namespace cpython_support {

// Makes the thread the ring's one producer. A producer in the way that was
// interrupted (a stopped feed, say) is on its way out: waits for it a few
// seconds, with the lock released. 0, or -1 with RuntimeError.
int attach_producer_thread(orvix::common::ProducerThread& thread);

// join()'s timeout: None (no limit), or seconds; negative looks without
// waiting, NaN raises ValueError, beyond about 30 years is no limit. 0 or -1.
int parse_join_timeout(PyObject* obj, std::optional<double>& timeout);

// Waits for a started thread with the interpreter lock released; reaps it
// once finished. 1 finished, 0 timed out, -1 with an exception (a signal
// handler's).
int wait_for_producer_thread(orvix::common::ProducerThread& thread, std::optional<double> timeout);

}  // namespace cpython_support
