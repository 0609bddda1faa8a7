// The ring between two threads: stress with self-checking messages in every
// mode (and counters read meanwhile from a third), sleeping consumers and blocked producers woken by pushes, releases
// and close().
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "orvix/ringq/spsc_ring.hpp"
#include "test_ring_messages.hpp"

using namespace orvix::ringq;
using namespace std::chrono_literals;
using ring_test::check_message;
using ring_test::make_message;

namespace {

// A polling side spins briefly, then yields: the test machine may run more
// threads than it has cores, and a spinning thread would hold its core for
// a whole time slice while the other side waits for one.
void backoff(unsigned attempt)
{
    if (attempt < 256) {
        cpu_relax();
    } else {
        std::this_thread::yield();
    }
}

struct StressCase {
    const char* name;
    bool variable;
    bool notify;  // push_notify + a waiting consumer, else push + try_pop
    bool overwrite;
    bool zerocopy;
    bool block_on_full;
};

// Returns the sequence numbers the consumer saw (UINT64_MAX for a torn message).
std::vector<std::uint64_t> run_stress(const StressCase& c, std::uint64_t count, std::size_t max_size,
                                      SpscRing& ring)
{
    auto push = [&](const std::string& msg) {
        for (unsigned attempt = 0;; ++attempt) {
            const int r = c.variable ? (c.notify ? ring.push_var_notify(msg.data(), msg.size())
                                                 : ring.push_var(msg.data(), msg.size()))
                                     : (c.notify ? ring.push_notify(msg.data(), msg.size())
                                                 : ring.push(msg.data(), msg.size()));
            if (r == kStored) return;
            ASSERT_EQ(r, kFull);
            ASSERT_FALSE(c.block_on_full && c.notify && !c.overwrite) << "a blocking push returned full";
            backoff(attempt);
        }
    };
    std::thread producer([&] {
        for (std::uint64_t seq = 0; seq < count; ++seq) push(make_message(seq, max_size));
        push(std::string());  // the end marker: the newest message is never dropped
    });
    // A third thread takes snapshots of the counters all along: each keeps
    // the relations counts() promises while both sides move.
    std::atomic<bool> done{false};
    std::uint64_t snapshots = 0, contradictions = 0;
    std::thread observer([&] {
        while (!done.load(std::memory_order_relaxed)) {
            const RingCounts n = ring.counts();
            ++snapshots;
            if (n.taken + n.dropped > n.stored || (!c.variable && n.pending > ring.layout().slots + 1))
                ++contradictions;
            std::this_thread::yield();
        }
    });

    std::vector<std::uint64_t> seen;
    seen.reserve(count);
    Message m;
    for (unsigned attempt = 0;; ++attempt) {
        const int r = c.notify ? (c.variable ? ring.wait_pop_var(m) : ring.wait_front(m))
                               : (c.variable ? ring.try_pop_var(m) : ring.try_pop(m));
        if (r == kEmpty && !c.notify) {
            backoff(attempt);
            continue;
        }
        attempt = 0;
        EXPECT_EQ(r, kHandedOut);
        if (r != kHandedOut || m.size == 0) break;  // m.size == 0: the end marker
        seen.push_back(check_message(m, max_size));
        // Overwrite rings must really overwrite: the consumer falls behind now and then.
        if (c.overwrite && seen.size() % 2048 == 0) std::this_thread::sleep_for(200us);
        if (c.notify && !c.variable) ring.pop_front();
    }
    producer.join();
    done.store(true, std::memory_order_relaxed);
    observer.join();
    EXPECT_GT(snapshots, 0u);
    EXPECT_EQ(contradictions, 0u) << "of " << snapshots << " snapshots";
    return seen;
}

class RingStress : public ::testing::TestWithParam<StressCase> {};

TEST_P(RingStress, NothingLostDuplicatedReorderedOrTorn)
{
    const StressCase& c = GetParam();
    const std::uint64_t count = 2'000'000 / ring_test::kSlowdown;
    const std::size_t max_size = 64;
    auto ring = ring_test::make_ring({max_size, 256, c.overwrite, c.zerocopy, c.block_on_full});
    const std::vector<std::uint64_t> seen = run_stress(c, count, max_size, *ring);

    std::uint64_t expected = 0;
    for (std::uint64_t seq : seen) {
        ASSERT_NE(seq, UINT64_MAX) << "torn message after " << expected;
        if (c.overwrite) {
            ASSERT_GE(seq, expected) << "reordered or duplicated";
        } else {
            ASSERT_EQ(seq, expected) << "lost, duplicated or reordered";
        }
        expected = seq + 1;
    }
    if (c.overwrite) {
        EXPECT_EQ(seen.size() + ring->dropped(), count);
        // A zerocopy ring refuses instead while the one slot it could reuse is
        // being read, which a slow consumer does most of the time.
        if (!c.zerocopy) {
            EXPECT_GT(ring->dropped(), 0u);
            EXPECT_EQ(ring->refused(), 0u);
        }
    } else {
        EXPECT_EQ(seen.size(), count);
        EXPECT_EQ(ring->dropped(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RingStress,
    ::testing::Values(StressCase{"FixedPolling", false, false, false, false, false},
                      StressCase{"FixedWaiting", false, true, false, false, false},
                      StressCase{"FixedBlocking", false, true, false, false, true},
                      StressCase{"VariablePolling", true, false, false, false, false},
                      StressCase{"VariableBlocking", true, true, false, false, true},
                      StressCase{"FixedOverwriteCopy", false, false, true, false, false},
                      StressCase{"FixedOverwriteZerocopy", false, false, true, true, false},
                      StressCase{"FixedOverwriteWaiting", false, true, true, true, true},
                      StressCase{"VariableOverwriteCopy", true, false, true, false, false},
                      StressCase{"VariableOverwriteZerocopy", true, true, true, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A consumer that is asleep (past its spin) is woken by a notify push.
TEST(RingWakeUp, SleepingConsumerWokenByPush)
{
    auto ring = ring_test::make_ring({16, 4});
    auto consumer = std::async(std::launch::async, [&] {
        Message m;
        const int r = ring->wait_front(m);
        return std::make_pair(r, ring_test::text(m));
    });
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(ring->push_notify("hello", 5), kStored);
    ASSERT_EQ(consumer.wait_for(10s), std::future_status::ready);
    const auto [r, text] = consumer.get();
    EXPECT_EQ(r, kHandedOut);
    EXPECT_EQ(text, "hello");
}

TEST(RingWakeUp, SleepingConsumersEndOnClose)
{
    for (bool variable : {false, true}) {
        auto ring = ring_test::make_ring({16, 4});
        auto consumer = std::async(std::launch::async, [&] {
            Message m;
            return variable ? ring->wait_pop_var(m) : ring->wait_front(m);
        });
        std::this_thread::sleep_for(50ms);
        ring->close();
        ASSERT_EQ(consumer.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(consumer.get(), kClosed);
    }
}

// A blocked producer sleeps until a quarter of the ring is free beyond its
// message, so that a slow consumer does not wake it once per freed slot.
TEST(RingWakeUp, BlockedProducerWaitsForABatchOfRoom)
{
    for (bool variable : {false, true}) {
        auto ring = ring_test::make_ring({8, 8, false, false, true});
        auto push = [&](const char* s) { return variable ? ring->push_var_notify(s, 8) : ring->push_notify(s, 8); };
        // 8 slots, or a 64-byte ring of 16-byte records: 4 of them.
        const std::size_t fill = variable ? ring->layout().ring_bytes / record_bytes(8) : 8;
        const std::size_t pops_needed = variable ? 2 : 3;  // the message's room plus a quarter of the ring
        for (std::size_t i = 0; i < fill; ++i) ASSERT_EQ(push("aaaaaaaa"), kStored);
        auto producer = std::async(std::launch::async, [&] { return push("zzzzzzzz"); });
        Message m;
        for (std::size_t i = 0; i < pops_needed; ++i) {
            ASSERT_EQ(producer.wait_for(50ms), std::future_status::timeout) << "woken after " << i << " pops";
            ASSERT_EQ(variable ? ring->try_pop_var(m) : ring->try_pop(m), kHandedOut);
        }
        ASSERT_EQ(producer.wait_for(10s), std::future_status::ready);
        EXPECT_EQ(producer.get(), kStored);
        EXPECT_EQ(ring->refused(), 0u);
    }
}

TEST(RingWakeUp, BlockedProducerReleasedByClose)
{
    auto ring = ring_test::make_ring({8, 1, false, false, true});
    ASSERT_EQ(ring->push_notify("a", 1), kStored);
    auto producer = std::async(std::launch::async, [&] { return ring->push_notify("b", 1); });
    ASSERT_EQ(producer.wait_for(50ms), std::future_status::timeout);
    ring->close();
    ASSERT_EQ(producer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(producer.get(), kClosed);
}

TEST(RingWakeUp, ZerocopyOverwriteProducerWaitsForTheReadSlot)
{
    auto ring = ring_test::make_ring({8, 2, true, true, true});
    Message m;
    ASSERT_EQ(ring->push_notify("a", 1), kStored);
    ASSERT_EQ(ring->wait_front(m), kHandedOut);
    ASSERT_EQ(ring->push_notify("b", 1), kStored);
    auto producer = std::async(std::launch::async, [&] { return ring->push_notify("c", 1); });
    ASSERT_EQ(producer.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(ring_test::text(m), "a");
    ring->pop_front();
    ASSERT_EQ(producer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(producer.get(), kStored);
}

// Close while a consumer races a producer: every wait after close() fails.
TEST(RingWakeUp, CloseDuringTraffic)
{
    for (int round = 0; round < 20; ++round) {
        auto ring = ring_test::make_ring({16, 8, false, false, true});
        std::atomic<bool> stop{false};
        std::thread producer([&] {
            while (!stop.load() && ring->push_notify("m", 1) != kClosed) {
            }
        });
        std::thread consumer([&] {
            Message m;
            while (ring->wait_front(m) == kHandedOut) ring->pop_front();
        });
        std::this_thread::sleep_for(2ms);
        ring->close();
        consumer.join();
        stop.store(true);
        producer.join();
        Message m;
        EXPECT_EQ(ring->wait_front(m), kClosed);
    }
}

}  // namespace
