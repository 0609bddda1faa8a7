// The words of a ring that both of its sides read or write: the indices, the
// counters, the sleep flags, the closed flag and the mode. An in-process ring
// keeps them in its own object; a ring in shared memory keeps them in the
// mapping (orvix/shm/shm_layout.h fixes their offsets for producers written in
// C), so that one process can produce into a ring another consumes.
//
// Each side's frequently written words sit on a line of their own (128
// bytes: x86 prefetches lines in pairs), so that the producer's stores never
// evict the consumer's line and the reverse.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "orvix/ringq/futex.hpp"

namespace orvix::ringq {

// Where the producer session of a ring stands (see SpscRing::attach_producer()).
enum class ProducerSession : std::uint32_t { kNone = 0, kAttached = 1, kInterrupted = 2 };

// Fixed once by a ring's first use (or by its creator for a shared ring).
enum RingMode : std::uint32_t { kUnset = 0, kFixed = 1, kVariable = 2 };

inline constexpr std::uint64_t kNoSlot = std::numeric_limits<std::uint64_t>::max();
inline constexpr std::size_t kSharedLine = 128;

struct RingSharedState {
    // The producer's line: its position and its counters.
    struct alignas(kSharedLine) ProducerLine {
        std::atomic<std::uint64_t> tail{0};
        std::atomic<std::uint64_t> stored{0}, dropped{0}, refused{0};
    } producer;

    // The consumer's line: what the producer reads of it.
    struct alignas(kSharedLine) ConsumerLine {
        std::atomic<std::uint64_t> head{0};        // first position not yet free
        std::atomic<std::uint64_t> held{kNoSlot};  // overwrite: the claimed message
        std::atomic<std::uint64_t> taken{0};
    } consumer;

    // Each side's "I am asleep" word, read by the other side on every notify
    // push or release: kept off both index lines.
    struct alignas(kSharedLine) SleepLine {
        WaitWord consumer{0};
        WaitWord producer{0};
        std::atomic<std::uint64_t> producer_wake_at{0};  // head position a sleeping producer waits for
        // Read by a producer only before it waits, written rarely.
        std::atomic<ProducerSession> session{ProducerSession::kNone};
        std::atomic<std::uint32_t> reader_present{1};
    } sleep;

    // Read on every push and pop, written once.
    struct alignas(kSharedLine) StateLine {
        std::atomic<std::uint32_t> closed{0};
        std::atomic<RingMode> mode{kUnset};
    } state;
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free && std::atomic<RingMode>::is_always_lock_free &&
                  sizeof(std::atomic<std::uint64_t>) == 8 && sizeof(std::atomic<RingMode>) == 4,
              "shared words are plain machine words, usable from other processes and from C");
static_assert(offsetof(RingSharedState, consumer) == 128 && offsetof(RingSharedState, sleep) == 256 &&
                  offsetof(RingSharedState, state) == 384 && sizeof(RingSharedState) == 512,
              "the offsets producers in other languages rely on");

}  // namespace orvix::ringq
