// The words of a ring that both of its sides read or write: the indices, the
// counters, the sleep flags, the closed flag and the mode. An in-process ring
// keeps them in its own object; a ring in shared memory keeps them in the
// mapping (orvix/shm/shm_layout.h fixes their offsets for producers written in
// C), so that one process can produce into a ring another consumes.
//
// Each side's frequently written words sit on a line of their own (128
// bytes: x86 prefetches lines in pairs), so that the producer's stores never
// evict the consumer's line and the reverse.
//
// shm_layout.h is the one definition of where each word lies, how wide it is
// and what its values mean; this struct is checked against it word by word
// below, and the mode values are taken from it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "orvix/ringq/futex.hpp"
#include "orvix/ringq/ring_result.hpp"
#include "orvix/shm/shm_layout.h"

namespace orvix::ringq {

// Where the producer session of a ring stands (see SpscRing::attach_producer()).
enum class ProducerSession : std::uint32_t { kNone = 0, kAttached = 1, kInterrupted = 2 };

// Fixed once by a ring's first use (or by its creator for a shared ring).
enum RingMode : std::uint32_t { kUnset = 0, kFixed = ORVIX_SHM_MODE_FIXED, kVariable = ORVIX_SHM_MODE_VARIABLE };

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

// Each shared word where shm_layout.h puts it, as wide as it says.
namespace layout_check {
template <class Word> constexpr bool is_word(std::size_t offset, std::size_t expected_offset, std::size_t bytes)
{
    return offset == expected_offset && sizeof(Word) == bytes;
}
using S = RingSharedState;
#define ORVIX_RINGQ_SHARED_WORD(line, word, offset, type)                                              \
    static_assert(is_word<decltype(S::line##Line::word)>(offsetof(S, line_member_##line) +            \
                                                             offsetof(S::line##Line, word),           \
                                                         offset, sizeof(type)),                       \
                  "RingSharedState::" #word " is not where (or as wide as) shm_layout.h says")
#define line_member_Producer producer
#define line_member_Consumer consumer
#define line_member_Sleep sleep
#define line_member_State state
ORVIX_RINGQ_SHARED_WORD(Producer, tail, ORVIX_SHM_TAIL, std::uint64_t);
ORVIX_RINGQ_SHARED_WORD(Producer, stored, ORVIX_SHM_STORED, std::uint64_t);
ORVIX_RINGQ_SHARED_WORD(Producer, dropped, ORVIX_SHM_DROPPED, std::uint64_t);
ORVIX_RINGQ_SHARED_WORD(Producer, refused, ORVIX_SHM_REFUSED, std::uint64_t);
ORVIX_RINGQ_SHARED_WORD(Consumer, head, ORVIX_SHM_HEAD, std::uint64_t);
ORVIX_RINGQ_SHARED_WORD(Consumer, held, ORVIX_SHM_HELD, std::uint64_t);
ORVIX_RINGQ_SHARED_WORD(Consumer, taken, ORVIX_SHM_TAKEN, std::uint64_t);
ORVIX_RINGQ_SHARED_WORD(Sleep, consumer, ORVIX_SHM_CONSUMER_SLEEPING, std::uint32_t);
ORVIX_RINGQ_SHARED_WORD(Sleep, producer, ORVIX_SHM_PRODUCER_SLEEPING, std::uint32_t);
ORVIX_RINGQ_SHARED_WORD(Sleep, producer_wake_at, ORVIX_SHM_PRODUCER_WAKE_AT, std::uint64_t);
ORVIX_RINGQ_SHARED_WORD(Sleep, session, ORVIX_SHM_SESSION, std::uint32_t);
ORVIX_RINGQ_SHARED_WORD(Sleep, reader_present, ORVIX_SHM_READER_PRESENT, std::uint32_t);
ORVIX_RINGQ_SHARED_WORD(State, closed, ORVIX_SHM_CLOSED, std::uint32_t);
ORVIX_RINGQ_SHARED_WORD(State, mode, ORVIX_SHM_MODE, std::uint32_t);
#undef line_member_Producer
#undef line_member_Consumer
#undef line_member_Sleep
#undef line_member_State
#undef ORVIX_RINGQ_SHARED_WORD
static_assert(sizeof(RingSharedState) == ORVIX_SHM_STATE_BYTES &&
                  ORVIX_SHM_STATE_OFFSET + ORVIX_SHM_STATE_BYTES <= ORVIX_SHM_BLOCK_OFFSET,
              "the shared words fill the space shm_layout.h gives them");
static_assert(kNoSlot == UINT64_MAX, "held's \"nothing held\" is ~0, as shm_layout.h says");
// The push results a producer in C reads: the engine's own.
static_assert(ORVIX_SHM_PUSH_STORED == kStored && ORVIX_SHM_PUSH_FULL == kFull &&
                  ORVIX_SHM_PUSH_TOO_LARGE == kTooLarge && ORVIX_SHM_PUSH_CLOSED == kClosed &&
                  ORVIX_SHM_PUSH_WRONG_MODE == kWrongMode,
              "shm_layout.h's push results are the engine's");
}  // namespace layout_check

}  // namespace orvix::ringq
