// One non-blocking pop from a socket dispatcher's ring, as a bytes object
// (interpreter lock held).
#pragma once

#include <Python.h>

#include "orvix/ringq/ringq.h"

namespace orvix::corvane {

// SPSCQueue.try_pop or try_pop_var, chosen by `pop`: a new bytes copy of the
// message, None when the ring hands out nothing (or the collector has
// cleared the dispatcher), or null with the exception (plus the traceback
// entry `traceback_name`) when the copy cannot be made.
using RingPop = orvix_ring_pop_fn OrvixSPSCQueueVTable::*;
PyObject* pop_message(PyObject* self, RingPop pop, const char* traceback_name);

}  // namespace orvix::corvane
