// The instance records of orvix.shm's SharedRing (a ring's consumer side, which
// a batch dispatcher consumes) and SharedProducer (its producer side in this
// process), for the other orvix modules that use them.
#pragma once

#include <Python.h>

#include <sys/types.h>

#include "orvix/ringq/ringq.h"
#include "orvix/ringq/spsc_ring.hpp"
#include "orvix/shm/shared_mapping.hpp"
#include "orvix/utils/corvane/corvane.h"

namespace orvix::shm {

// Laid out as an SPSCQueue instance (the table pointer right after the
// header), so that a dispatcher reads it through the same table.
struct SharedRingObject {
    PyObject_HEAD
    const OrvixSPSCQueueVTable* vtab;
    ringq::SpscRing* ring;     // owned; owns the mapping
    SharedMapping* mapping;    // the ring's memory
    pid_t creator;             // only the creating process unlinks the name
    int closed;                // close() ran (with the lock)
    int consumed;              // a dispatcher consumes it
};

// Laid out as a ThreadedDispatcher instance record, so that native producers
// (producer.h, orvix.feed.Feed) push into it as into one.
struct SharedProducerObject {
    OrvixThreadedDispatcher pub;
    ringq::SpscRing* ring;     // owned; owns the mapping
    SharedMapping* mapping;
    int variable;
};

// How long a consumer sleeps on the ring before it looks at the producer's
// liveness again.
inline constexpr std::uint32_t kLivenessPollMs = 250;

}  // namespace orvix::shm
