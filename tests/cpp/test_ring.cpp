// The ring on one thread: results, sizes, modes, hand-out rules, overwrite.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "orvix/ringq/spsc_ring.hpp"
#include "test_ring_messages.hpp"

using namespace orvix::ringq;
using ring_test::text;

namespace {

RingOptions options(std::size_t slot_size, std::size_t capacity, bool overwrite = false, bool zerocopy = false,
                    bool block_on_full = false)
{
    return {slot_size, capacity, overwrite, zerocopy, block_on_full};
}

TEST(RingLayout, DefaultsOfTheDispatchers)
{
    RingLayout l;
    ASSERT_EQ(plan_layout(2048, 16384, l), RingError::kNone);
    EXPECT_EQ(l.slots, 16384u);
    EXPECT_EQ(l.slot_stride, 2048u);  // whole cache lines; the lengths in a table behind the slots
    EXPECT_EQ(l.lengths_offset, 16384u * 2048);
    EXPECT_EQ(l.ring_bytes, 32u << 20);
    EXPECT_EQ(l.max_record, (16u << 20) - 8);
    EXPECT_EQ(l.total_bytes, 16384u * (2048 + 8));
}

TEST(RingLayout, RoundingAndSmallRings)
{
    RingLayout l;
    ASSERT_EQ(plan_layout(5, 3, l), RingError::kNone);
    EXPECT_EQ(l.slots, 4u);
    EXPECT_EQ(l.slot_stride, 64u);
    EXPECT_EQ(l.ring_bytes, 32u);  // 4 x 8, the least that holds two 5-byte records
    EXPECT_EQ(l.total_bytes, 4u * (64 + 8));
    // One slot still leaves room for a variable-size record of slot_size bytes.
    ASSERT_EQ(plan_layout(1000, 1, l), RingError::kNone);
    EXPECT_GE(l.max_record, 1000u);
}

TEST(RingLayout, InvalidSizes)
{
    RingLayout l;
    EXPECT_EQ(plan_layout(0, 10, l), RingError::kZeroSlotSize);
    EXPECT_EQ(plan_layout(10, 0, l), RingError::kZeroCapacity);
    EXPECT_EQ(plan_layout(SIZE_MAX, 1, l), RingError::kTooLarge);
    EXPECT_EQ(plan_layout(1, SIZE_MAX, l), RingError::kTooLarge);
    EXPECT_EQ(plan_layout(std::size_t{1} << 32, std::size_t{1} << 32, l), RingError::kTooLarge);
    RingError e;
    EXPECT_FALSE(SpscRing::create(options(0, 1), e));
    EXPECT_EQ(e, RingError::kZeroSlotSize);
    EXPECT_FALSE(SpscRing::create(options(1, 0), e));
    EXPECT_EQ(e, RingError::kZeroCapacity);
    EXPECT_FALSE(SpscRing::create(options(std::size_t{1} << 40, std::size_t{1} << 40), e));
    EXPECT_EQ(e, RingError::kTooLarge);
    // Fits in 64 bits, but no system maps 2^60 bytes.
    EXPECT_FALSE(SpscRing::create(options(std::size_t{1} << 40, std::size_t{1} << 20), e));
    EXPECT_EQ(e, RingError::kNoMemory);
    EXPECT_STREQ(describe(RingError::kTooLarge), "slot_size * capacity is too large for a ring");
}

TEST(MessageCopy, EveryLengthAroundTheInlineSizesAndEveryOffset)
{
    // The in-line copy handles 16..64 bytes with overlapping moves: each
    // length and source offset must come out byte for byte, and nothing
    // beyond the length may be written.
    unsigned char source[96 + 16], target[96 + 16];
    for (std::size_t i = 0; i < sizeof source; ++i) source[i] = static_cast<unsigned char>(i * 7 + 1);
    for (std::size_t offset = 0; offset < 16; ++offset)
        for (std::size_t n = 0; n <= 96; ++n) {
            std::memset(target, 0xEE, sizeof target);
            copy_message(target + offset, source + offset, n);
            for (std::size_t i = 0; i < sizeof target; ++i) {
                const bool inside = i >= offset && i < offset + n;
                ASSERT_EQ(target[i], inside ? source[i] : 0xEE) << "length " << n << ", offset " << offset << ", byte " << i;
            }
        }
}

TEST(RingResults, FixedSizeTable)
{
    auto r = ring_test::make_ring(options(8, 2));
    Message m;
    EXPECT_EQ(r->try_pop(m), kEmpty);
    EXPECT_EQ(r->push("123456789", 9), kTooLarge);
    EXPECT_EQ(r->push("12345678", 8), kStored);
    EXPECT_EQ(r->push("", 0), kStored);
    EXPECT_EQ(r->push("x", 1), kFull);
    EXPECT_EQ(r->push_notify("x", 1), kFull);  // not block_on_full: refused, never waits
    EXPECT_EQ(r->size(), 2u);
    EXPECT_EQ(r->push_var("x", 1), kWrongMode);
    // Every push that stored nothing counts as refused, whatever the reason.
    EXPECT_EQ(r->stored(), 2u);
    EXPECT_EQ(r->refused(), 4u);
    EXPECT_EQ(r->try_pop_var(m), kWrongMode);
    EXPECT_EQ(r->wait_pop_var(m), kWrongMode);
    ASSERT_EQ(r->try_pop(m), kHandedOut);
    EXPECT_EQ(text(m), "12345678");
    ASSERT_EQ(r->try_pop(m), kHandedOut);
    EXPECT_EQ(m.size, 0u);
    EXPECT_EQ(r->size(), 0u);
    r->close();
    EXPECT_EQ(r->push("x", 1), kClosed);
    EXPECT_EQ(r->wait_front(m), kClosed);
    EXPECT_EQ(r->try_pop(m), kEmpty);
}

TEST(RingResults, VariableSizeTable)
{
    auto r = ring_test::make_ring(options(16, 4));
    const std::size_t max = r->layout().max_record;
    const std::string big(max + 1, 'b');
    Message m;
    EXPECT_EQ(r->push_var(big.data(), big.size()), kTooLarge);
    EXPECT_EQ(r->push_var(big.data(), max), kStored);
    EXPECT_EQ(r->push_var("", 0), kStored);
    EXPECT_EQ(r->push_var(big.data(), max), kFull);
    EXPECT_EQ(r->push("x", 1), kWrongMode);
    EXPECT_EQ(r->try_pop(m), kWrongMode);
    EXPECT_EQ(r->wait_front(m), kWrongMode);
    ASSERT_EQ(r->try_pop_var(m), kHandedOut);
    EXPECT_EQ(m.size, max);
    ASSERT_EQ(r->wait_pop_var(m), kHandedOut);
    EXPECT_EQ(m.size, 0u);
    EXPECT_EQ(r->try_pop_var(m), kEmpty);
    r->close();
    EXPECT_EQ(r->wait_pop_var(m), kClosed);
    EXPECT_EQ(r->push_var("x", 1), kClosed);
}

TEST(RingResults, TryPopStillDrainsAfterClose)
{
    auto r = ring_test::make_ring(options(8, 4));
    ASSERT_EQ(r->push("a", 1), kStored);
    r->close();
    Message m;
    EXPECT_EQ(r->wait_front(m), kClosed);
    ASSERT_EQ(r->try_pop(m), kHandedOut);
    EXPECT_EQ(text(m), "a");
}

TEST(RingHandOut, ZerocopyMessageKeepsItsSlotUntilTheNextCall)
{
    auto r = ring_test::make_ring(options(8, 2, false, true));
    Message m;
    ASSERT_EQ(r->push("a", 1), kStored);
    ASSERT_EQ(r->push("b", 1), kStored);
    ASSERT_EQ(r->try_pop(m), kHandedOut);
    EXPECT_EQ(r->push("c", 1), kFull);  // "a" is still being read in place
    EXPECT_EQ(text(m), "a");
    r->release();
    EXPECT_EQ(r->push("c", 1), kStored);
    ASSERT_EQ(r->try_pop(m), kHandedOut);
    EXPECT_EQ(text(m), "b");
    ASSERT_EQ(r->try_pop(m), kHandedOut);  // the call itself frees "b"
    EXPECT_EQ(text(m), "c");
}

TEST(RingHandOut, CopiedMessageFreesItsSlotAtOnce)
{
    for (bool variable : {false, true}) {
        auto r = ring_test::make_ring(options(8, 1));
        auto push = [&](const char* s) { return variable ? r->push_var(s, 8) : r->push(s, 8); };
        const std::size_t fill = variable ? r->layout().ring_bytes / record_bytes(8) : 1;
        for (std::size_t i = 0; i < fill; ++i) ASSERT_EQ(push("aaaaaaaa"), kStored);
        Message m;
        ASSERT_EQ(variable ? r->try_pop_var(m) : r->try_pop(m), kHandedOut);
        ASSERT_EQ(push("bbbbbbbb"), kStored);  // the whole capacity is there again
        EXPECT_EQ(text(m), "aaaaaaaa");        // and the copy is untouched
    }
}

TEST(RingHandOut, WaitFrontLooksWithoutRemoving)
{
    auto r = ring_test::make_ring(options(8, 4));
    Message m;
    ASSERT_EQ(r->push("a", 1), kStored);
    ASSERT_EQ(r->push("b", 1), kStored);
    ASSERT_EQ(r->wait_front(m), kHandedOut);
    EXPECT_EQ(text(m), "a");
    EXPECT_EQ(r->size(), 2u);
    ASSERT_EQ(r->wait_front(m), kHandedOut);
    EXPECT_EQ(text(m), "a");
    r->release();  // only a taken message is released
    r->pop_front();
    EXPECT_EQ(r->size(), 1u);
    ASSERT_EQ(r->wait_front(m), kHandedOut);
    EXPECT_EQ(text(m), "b");
    ASSERT_EQ(r->try_pop(m), kHandedOut);  // the head is "b" still
    EXPECT_EQ(text(m), "b");
    r->pop_front();  // empty: nothing to remove
    EXPECT_EQ(r->size(), 0u);
    EXPECT_EQ(r->try_pop(m), kEmpty);
}

TEST(RingVariableSize, RecordsSkipTheEndOfTheLapIntact)
{
    auto r = ring_test::make_ring(options(40, 4));  // a 256-byte ring
    ASSERT_EQ(r->layout().ring_bytes, 256u);
    Message m;
    std::uint64_t next = 0;
    for (std::uint64_t seq = 0; seq < 5000; ++seq) {
        const std::string msg = ring_test::make_message(seq, 100);
        while (r->push_var(msg.data(), msg.size()) == kFull) {
            // Empty is possible: the record handed out last held the room.
            if (r->try_pop_var(m) == kHandedOut) {
                ASSERT_EQ(ring_test::check_message(m, 100), next++);
            }
        }
    }
    while (r->try_pop_var(m) == kHandedOut) ASSERT_EQ(ring_test::check_message(m, 100), next++);
    EXPECT_EQ(next, 5000u);
}

TEST(RingVariableSize, LargestRecordFitsAfterAnyOffset)
{
    auto r = ring_test::make_ring(options(16, 8));
    const std::size_t max = r->layout().max_record;
    const std::string big(max, 'z');
    Message m;
    for (std::size_t lead = 0; lead < 40; ++lead) {
        const std::string small(lead, 's');
        ASSERT_EQ(r->push_var(small.data(), small.size()), kStored);
        ASSERT_EQ(r->try_pop_var(m), kHandedOut);
        r->release();
        ASSERT_EQ(r->push_var(big.data(), big.size()), kStored) << "after a lead record of " << lead;
        ASSERT_EQ(r->try_pop_var(m), kHandedOut);
        ASSERT_EQ(text(m), big);
        r->release();
    }
}

TEST(RingOverwrite, DropsTheOldestWholeMessages)
{
    for (bool zerocopy : {false, true}) {
        auto r = ring_test::make_ring(options(8, 4, true, zerocopy));
        for (int i = 0; i < 10; ++i) ASSERT_EQ(r->push(std::to_string(i).c_str(), 1), kStored);
        EXPECT_EQ(r->dropped(), 6u);
        EXPECT_EQ(r->refused(), 0u);
        EXPECT_EQ(r->size(), 4u);
        Message m;
        for (int i = 6; i < 10; ++i) {
            ASSERT_EQ(r->try_pop(m), kHandedOut);
            EXPECT_EQ(text(m), std::to_string(i));
        }
        EXPECT_EQ(r->try_pop(m), kEmpty);
    }
}

TEST(RingOverwrite, VariableSizeDropsWholeRecords)
{
    auto r = ring_test::make_ring(options(40, 4, true));
    Message m;
    for (std::uint64_t seq = 0; seq < 1000; ++seq) {
        const std::string msg = ring_test::make_message(seq, 100);
        ASSERT_EQ(r->push_var(msg.data(), msg.size()), kStored);
    }
    std::uint64_t last = 0, got = 0;
    while (r->try_pop_var(m) == kHandedOut) {
        const std::uint64_t seq = ring_test::check_message(m, 100);
        ASSERT_NE(seq, UINT64_MAX);
        if (got++) {
            ASSERT_EQ(seq, last + 1);
        }
        last = seq;
    }
    EXPECT_EQ(last, 999u);
    EXPECT_EQ(got + r->dropped(), 1000u);
}

TEST(RingOverwrite, CopiedMessageSurvivesOverwriting)
{
    auto r = ring_test::make_ring(options(8, 2, true, false));
    Message m;
    ASSERT_EQ(r->push("a", 1), kStored);
    ASSERT_EQ(r->try_pop(m), kHandedOut);
    for (const char* s : {"b", "c", "d", "e"}) ASSERT_EQ(r->push(s, 1), kStored);
    EXPECT_EQ(text(m), "a");
    EXPECT_EQ(r->dropped(), 2u);
}

TEST(RingOverwrite, ZerocopyNeverReusesTheSlotBeingRead)
{
    auto r = ring_test::make_ring(options(8, 2, true, true));
    Message m;
    ASSERT_EQ(r->push("a", 1), kStored);
    ASSERT_EQ(r->wait_front(m), kHandedOut);
    ASSERT_EQ(r->push("b", 1), kStored);
    ASSERT_EQ(r->push("c", 1), kFull);  // only the slot of "a" could take it
    ASSERT_EQ(text(m), "a");
    EXPECT_EQ(r->refused(), 1u);
    r->pop_front();
    ASSERT_EQ(r->push("c", 1), kStored);
    ASSERT_EQ(r->push("d", 1), kStored);  // drops "b"
    EXPECT_EQ(r->dropped(), 1u);
    ASSERT_EQ(r->try_pop(m), kHandedOut);
    EXPECT_EQ(text(m), "c");
}

}  // namespace
