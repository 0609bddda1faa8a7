// How a ring of `capacity` messages of up to `slot_size` bytes is laid out in
// memory, computed with every product checked for overflow.
//
// One block serves both modes (the mode is fixed by the ring's first use):
//
// * Fixed-size mode: `slots` (capacity rounded up to a power of two) slots of
//   `slot_stride` bytes (slot_size rounded up to a 64-byte cache line), then
//   a table of `slots` 8-byte lengths at `lengths_offset`. The lengths live
//   apart so that a message of a whole number of lines (64 bytes, the common
//   case) is written and read as exactly those lines: an inline length would
//   push its payload into one more line. Eight lengths share a line, which
//   the producer fills in order. The producer writes the slot right behind
//   the one the consumer reads when the ring runs full; whole lines keep the
//   two from ever writing and reading one payload line.
// * Variable-size mode: a byte ring of `ring_bytes` (a power of two of at
//   least capacity x slot_size) holding records of an 8-byte length followed
//   by the payload padded to 8 bytes. A record never wraps; the space left
//   at the end of the ring is skipped instead. Any record up to half the
//   ring fits once the ring has drained, so that is the limit:
//   max_record = ring_bytes / 2 - 8 payload bytes, never less than slot_size.
//
// The block is as large as the larger of the two.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace orvix::ringq {

struct RingLayout {
    std::size_t slot_size = 0;    // largest fixed-size message
    std::size_t slot_stride = 0;  // bytes from one fixed-size slot to the next
    std::size_t slots = 0;        // fixed-size capacity: a power of two
    std::size_t lengths_offset = 0;  // the fixed-size length table: slots x 8 bytes
    std::size_t ring_bytes = 0;   // variable-size ring: a power of two
    std::size_t max_record = 0;   // largest variable-size message
    std::size_t total_bytes = 0;  // the block: max(slots x (slot_stride + 8), ring_bytes)
};

// Why a ring cannot be built (kNoMemory: the system refused the memory).
enum class RingError { kNone, kZeroSlotSize, kZeroCapacity, kTooLarge, kNoMemory };

constexpr const char* describe(RingError e) noexcept
{
    switch (e) {
    case RingError::kNone: break;
    case RingError::kZeroSlotSize: return "slot_size must be at least 1";
    case RingError::kZeroCapacity: return "capacity must be at least 1";
    case RingError::kTooLarge: return "slot_size * capacity is too large for a ring";
    case RingError::kNoMemory: return "not enough memory for the ring";
    }
    return "no error";
}

inline constexpr std::size_t kRecordHeader = 8;
inline constexpr std::size_t kCacheLine = 64;

// Bytes a variable-size record of `payload` bytes takes in the ring.
constexpr std::size_t record_bytes(std::size_t payload) noexcept
{
    return kRecordHeader + ((payload + 7) & ~std::size_t{7});
}

namespace layout_detail {
inline constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
// Sizes above this are refused outright: their power-of-two rounding would
// overflow, and no machine can map them anyway.
inline constexpr std::size_t kLargest = kMax / 4 + 1;

constexpr bool checked_mul(std::size_t a, std::size_t b, std::size_t& out) noexcept
{
    if (a != 0 && b > kMax / a) return false;
    out = a * b;
    return true;
}
}  // namespace layout_detail

constexpr RingError plan_layout(std::size_t slot_size, std::size_t capacity, RingLayout& out) noexcept
{
    using namespace layout_detail;
    if (slot_size == 0) return RingError::kZeroSlotSize;
    if (capacity == 0) return RingError::kZeroCapacity;
    if (slot_size > kLargest || capacity > kLargest) return RingError::kTooLarge;

    RingLayout l;
    l.slot_size = slot_size;
    l.slot_stride = (slot_size + kCacheLine - 1) & ~(kCacheLine - 1);
    l.slots = std::bit_ceil(capacity);
    std::size_t slot_bytes = 0, length_bytes = 0, payload_bytes = 0, two_records = 0;
    if (!checked_mul(l.slots, l.slot_stride, slot_bytes) || !checked_mul(l.slots, kRecordHeader, length_bytes) ||
        slot_bytes > kMax - length_bytes ||
        !checked_mul(l.slots, (slot_size + 7) & ~std::size_t{7}, payload_bytes) ||
        !checked_mul(record_bytes(slot_size), 2, two_records))
        return RingError::kTooLarge;
    const std::size_t ring_min = std::max(payload_bytes, two_records);
    if (ring_min > kLargest) return RingError::kTooLarge;
    l.ring_bytes = std::bit_ceil(ring_min);
    l.max_record = l.ring_bytes / 2 - kRecordHeader;
    l.lengths_offset = slot_bytes;
    l.total_bytes = std::max(slot_bytes + length_bytes, l.ring_bytes);
    out = l;
    return RingError::kNone;
}

}  // namespace orvix::ringq
