// A batch dispatcher made with ring=SharedRing(...): it consumes that ring
// (its layout becomes the dispatcher's) instead of building one, and its
// stats() tell where the ring's producer stands.
#pragma once

#include <Python.h>

#include "orvix/utils/corvane/dispatchers/dispatcher_construction.hpp"

namespace orvix::batch {

// Checks `ring` (not None) is an orvix.shm.SharedRing no dispatcher consumes
// yet, marks it consumed and takes its sizes and flags into `a`. 0, or -1
// with TypeError / ValueError naming `class_name`.
int take_shared_ring(PyObject* ring, corvane::ConstructorArguments& a, const char* class_name);

// True when `q` is an orvix.shm.SharedRing.
bool is_shared_ring(PyObject* q) noexcept;

// setup()'s check: a shared ring is consumed only by the process that
// created it. In a forked child a reader would take messages the parent has
// not read, behind the parent's cursor. 0, or -1 with RuntimeError naming
// `class_name`.
int refuse_forked_consumer(PyObject* self, const char* class_name);

// The reader's error once `ring`'s producer broke its layout (its pop
// answered shm::kRingCorrupt): RuntimeError, set here.
void set_corrupt_ring_error(PyObject* ring);

// stats()'s "producer" key for a dispatcher on a shared ring (nothing for
// one on its own ring); false with an exception set.
bool add_producer_stats(PyObject* self, PyObject* dict);

}  // namespace orvix::batch
