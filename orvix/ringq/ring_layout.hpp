// How a ring of `capacity` messages of up to `slot_size` bytes is laid out in
// memory, computed with every product checked for overflow.
//
// One block serves both modes (the mode is fixed by the ring's first use):
//
//   [ byte ring: ring_bytes (a power of two)        ][ lengths: slots x 8 ]
//
// * Fixed-size mode: `slots` (capacity rounded up to a power of two) slots of
//   `slot_stride` bytes (slot_size rounded up to 8) at the start of the byte
//   ring, and each slot's message length in the lengths array.
// * Variable-size mode: the whole byte ring holds records of an 8-byte length
//   followed by the payload padded to 8 bytes. A record never wraps; the
//   space left at the end of the ring is skipped instead. Any record up to
//   half the ring fits once the ring has drained, so that is the limit:
//   max_record = ring_bytes / 2 - 8 payload bytes, never less than slot_size.
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
    std::size_t ring_bytes = 0;   // variable-size ring: a power of two
    std::size_t max_record = 0;   // largest variable-size message
    std::size_t total_bytes = 0;  // the whole block: byte ring + lengths array
};

enum class LayoutError { kNone, kZeroSlotSize, kZeroCapacity, kTooLarge };

inline constexpr std::size_t kRecordHeader = 8;

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

constexpr LayoutError plan_layout(std::size_t slot_size, std::size_t capacity, RingLayout& out) noexcept
{
    using namespace layout_detail;
    if (slot_size == 0) return LayoutError::kZeroSlotSize;
    if (capacity == 0) return LayoutError::kZeroCapacity;
    if (slot_size > kLargest || capacity > kLargest) return LayoutError::kTooLarge;

    RingLayout l;
    l.slot_size = slot_size;
    l.slot_stride = (slot_size + 7) & ~std::size_t{7};
    l.slots = std::bit_ceil(capacity);
    std::size_t slot_bytes = 0, length_bytes = 0, two_records = 0;
    if (!checked_mul(l.slots, l.slot_stride, slot_bytes) || !checked_mul(l.slots, 8, length_bytes) ||
        !checked_mul(record_bytes(slot_size), 2, two_records))
        return LayoutError::kTooLarge;
    const std::size_t ring_min = std::max(slot_bytes, two_records);
    if (ring_min > kLargest) return LayoutError::kTooLarge;
    l.ring_bytes = std::bit_ceil(ring_min);
    l.max_record = l.ring_bytes / 2 - kRecordHeader;
    if (length_bytes > kMax - l.ring_bytes) return LayoutError::kTooLarge;
    l.total_bytes = l.ring_bytes + length_bytes;
    out = l;
    return LayoutError::kNone;
}

}  // namespace orvix::ringq
