// The instance records of orvix.shm's SharedRing (a ring's consumer side, which
// a batch dispatcher consumes) and SharedProducer (its producer side in this
// process), for the batch dispatchers beside them in the batch module.
#pragma once

#include <Python.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>

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

// The producer side of a shared ring in this process, and the producer
// session on it: a SharedProducer's `_q`, laid out as an SPSCQueue (the
// table right after the header) because that is where native producers
// (producer.h's orvix_producer_attach, orvix.feed.Feed) take their session,
// one at a time, as on every dispatcher's ring.
//
// close() must not unmap the ring under a push in flight. A session's
// pushes are safe: close() with a session attached only marks the side
// closing (its pushes answer -2 from then on) and the session's detach,
// which follows its last push, lets the ring go. `state` orders the two
// (one word, read-modify-writes only): whichever of close() and the detach
// comes second frees. A push that holds no session must not race close().
struct ProducerSideObject {
    PyObject_HEAD
    const OrvixSPSCQueueVTable* vtab;
    std::atomic<std::uint32_t> state;   // kSessionAttached | kSessionInterrupted | kSideClosing
    ringq::SpscRing* ring;              // owned (it owns the mapping); null once let go
    int variable;
};
inline constexpr std::uint32_t kSessionAttached = 1, kSessionInterrupted = 2, kSideClosing = 4;

// Laid out as a ThreadedDispatcher instance record, so that native producers
// (producer.h, orvix.feed.Feed) push into it as into one. Its `_q` is its
// ProducerSideObject.
struct SharedProducerObject {
    OrvixThreadedDispatcher pub;
    ProducerSideObject* side;   // borrowed from pub._q
};

// What a SharedRing's pop_burst answers once its producer broke the ring's
// layout (the ring is "corrupt"): not ORVIX_RING_CLOSED, so that the reader
// reports the fault instead of ending as at a close().
inline constexpr int kRingCorrupt = -4;

// How long a consumer sleeps on the ring before it looks at the producer's
// liveness again.
inline constexpr std::uint32_t kLivenessPollMs = 250;

}  // namespace orvix::shm
