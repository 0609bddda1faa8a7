// The consumer of a ring whose producer lives in another process reads
// indices and lengths that producer wrote: each bad one must make the ring
// corrupt (answering as a closed ring) without a read outside the block,
// after the whole messages before it were handed out.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hostile_ring_memory.hpp"
#include "orvix/ringq/spsc_ring.hpp"

namespace {

using namespace orvix::ringq;
using orvix::ringq::testing::HostileMemory;
using orvix::ringq::testing::untrusting_consumer;

struct Drain {
    std::vector<char> buffer = std::vector<char>(1 << 16);
    std::vector<std::size_t> ends = std::vector<std::size_t>(256);
    Burst burst{buffer.data(), buffer.size(), ends.data(), ends.size()};
    int pop(SpscRing& ring, bool variable) { return ring.try_pop_burst(burst, variable); }
};

// A producer that keeps to the protocol, writing into the hostile memory
// through a trusting ring over the same words.
class SharedRings {
public:
    SharedRings(RingOptions options, bool variable) : variable_(variable)
    {
        consumer_ = untrusting_consumer(options, variable, memory_);
        plan_layout(options.slot_size, options.capacity, layout_);
    }
    SpscRing& consumer() { return *consumer_; }
    HostileMemory& memory() { return *memory_; }
    const RingLayout& layout() const { return layout_; }
    void set_tail(std::uint64_t t) { memory_->state().producer.tail.store(t); }
    void set_head(std::uint64_t h) { memory_->state().consumer.head.store(h); }

private:
    bool variable_;
    HostileMemory* memory_ = nullptr;
    std::unique_ptr<SpscRing> consumer_;
    RingLayout layout_;
};

void expect_corrupt(SpscRing& ring, bool variable)
{
    Drain d;
    EXPECT_EQ(d.pop(ring, variable), kClosed);
    EXPECT_TRUE(ring.corrupt());
    Message m;
    EXPECT_EQ(variable ? ring.try_pop_var(m) : ring.try_pop(m), kClosed);
    EXPECT_EQ(ring.wait_pop_burst_for(d.burst, variable, 1), kClosed);
    EXPECT_EQ(ring.wait_ready_for(1), kClosed);
}

TEST(UntrustedProducer, TailBeyondOneRingOrBehindTheConsumer)
{
    for (std::uint64_t tail : {std::uint64_t{9}, ~std::uint64_t{0}, std::uint64_t{1} << 63}) {
        SharedRings r({.slot_size = 16, .capacity = 8}, false);
        r.set_tail(tail);
        expect_corrupt(r.consumer(), false);
    }
}

TEST(UntrustedProducer, FixedLengthLargerThanTheSlotAfterWholeMessages)
{
    SharedRings r({.slot_size = 16, .capacity = 8}, false);
    const RingLayout& l = r.layout();
    r.memory().put(l.lengths_offset + 0, 4);                      // whole
    r.memory().put(l.lengths_offset + 8, l.slot_stride * 2);      // would read into the next slots
    r.set_tail(2);
    Drain d;
    ASSERT_EQ(d.pop(r.consumer(), false), kHandedOut);
    EXPECT_EQ(d.burst.count, 1u);
    expect_corrupt(r.consumer(), false);
}

TEST(UntrustedProducer, VariableRecordsThatBreakTheLayout)
{
    struct Case {
        std::string what;
        std::uint64_t at, length, tail;
    };
    // slot_size 16, capacity 4: a 64-byte ring, records of at most 24 bytes.
    const std::vector<Case> cases = {
        {"longer than any record", 0, 1000, 64},
        {"ends past the lap", 48, 16, 64},     // 48 + 8 + 16 > 64
        {"ends past the tail", 0, 16, 8},
        {"padding that jumps past the tail", 0, ~std::uint64_t{0}, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SharedRings r({.slot_size = 16, .capacity = 4}, true);
        ASSERT_EQ(r.layout().ring_bytes, 64u);
        // Whole records up to `at`, then the bad one.
        for (std::uint64_t p = 0; p < c.at; p += 16) r.memory().put(p, 8);
        r.memory().put(c.at, c.length);
        r.set_tail(c.tail);
        Drain d;
        const int first = d.pop(r.consumer(), true);
        if (c.at > 0) {
            ASSERT_EQ(first, kHandedOut);
            EXPECT_EQ(d.burst.count, c.at / 16);
            expect_corrupt(r.consumer(), true);
        } else {
            EXPECT_EQ(first, kClosed);
            EXPECT_TRUE(r.consumer().corrupt());
        }
    }
}

TEST(UntrustedProducer, OverwriteHeadMovedToAnUnalignedOrFarPosition)
{
    for (std::uint64_t head : {std::uint64_t{61}, std::uint64_t{1} << 40}) {
        SharedRings r({.slot_size = 16, .capacity = 4, .overwrite = true}, true);
        r.set_head(head);
        r.set_tail(64);
        expect_corrupt(r.consumer(), true);
    }
}

// The consumer keeps its mode, its closed flag and its cursor in its own
// memory: a producer that rewrites the shared copies (and may put them back)
// changes nothing the consumer does; the consumer still hands out the whole
// messages that follow.
TEST(UntrustedProducer, ConsumerWordsRewrittenUnderTheConsumer)
{
    for (bool variable : {false, true}) {
        SCOPED_TRACE(variable ? "variable" : "fixed");
        SharedRings r({.slot_size = 16, .capacity = 8}, variable);
        RingSharedState& shared = r.memory().state();
        shared.state.mode.store(static_cast<RingMode>(variable ? kFixed : kVariable));
        shared.state.closed.store(1);
        shared.consumer.head.store(100);
        Drain d;
        EXPECT_EQ(d.pop(r.consumer(), variable), kEmpty);
        EXPECT_EQ(r.consumer().wait_pop_burst_for(d.burst, variable, 1), kEmpty);
        EXPECT_EQ(r.consumer().wait_ready_for(1), kEmpty);   // the waker does not wake for ever
        EXPECT_FALSE(r.consumer().closed());
        // One whole message at the consumer's cursor: handed out.
        r.memory().put(variable ? 0 : r.layout().lengths_offset, 4);
        r.set_tail(variable ? 16 : 1);
        EXPECT_EQ(r.consumer().wait_ready_for(1), kHandedOut);
        ASSERT_EQ(d.pop(r.consumer(), variable), kHandedOut);
        EXPECT_EQ(d.burst.count, 1u);
        EXPECT_FALSE(r.consumer().corrupt());
        // Its own close() still ends its waits.
        r.consumer().close();
        EXPECT_EQ(r.consumer().wait_pop_burst_for(d.burst, variable, 1), kClosed);
    }
}

}  // namespace
