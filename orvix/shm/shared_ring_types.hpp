// SharedRing, a ring in named shared memory whose consumer is a batch
// dispatcher of this process, and SharedProducer, the producer side attached
// to one by name (from this or another process). Linux only: part of the
// batch module (orvix/batch/batch_module.cpp), re-exported by orvix.shm.
#pragma once

#include <Python.h>

namespace orvix::shm {

// The exec step's part: makes the classes, adds SharedRing and
// SharedProducer to `module` and registers the close of open rings with
// atexit. 0, or -1 with an exception.
int add_shared_ring_types(PyObject* module);

// True when `q` is a SharedRing (the class takes no subclasses).
bool is_shared_ring(PyObject* q) noexcept;

}  // namespace orvix::shm
