// The producer session (one producer at a time, interrupt) and the reader's
// presence, which together decide whether a blocking push may wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "orvix/ringq/spsc_ring.hpp"
#include "test_ring_messages.hpp"

using namespace orvix::ringq;
using namespace std::chrono_literals;

namespace {

// A blocking ring of four 8-byte slots (or records), filled up.
std::unique_ptr<SpscRing> full_blocking_ring(bool variable, bool overwrite = false, bool zerocopy = false)
{
    auto ring = ring_test::make_ring({8, 4, overwrite, zerocopy, true});
    Message m;
    if (overwrite && zerocopy) {  // the one slot such a ring waits for: the one being read
        EXPECT_EQ(variable ? ring->push_var_notify("a", 1) : ring->push_notify("a", 1), kStored);
        EXPECT_EQ(variable ? ring->wait_pop_var(m) : ring->wait_front(m), kHandedOut);
    }
    while ((variable ? ring->push_var("12345678", 8) : ring->push("12345678", 8)) == kStored) {
    }
    return ring;
}

int blocking_push(SpscRing& ring, bool variable)
{
    return variable ? ring.push_var_notify("zzzzzzzz", 8) : ring.push_notify("zzzzzzzz", 8);
}

TEST(ProducerSession, OneProducerAtATime)
{
    auto ring = full_blocking_ring(false);
    EXPECT_EQ(ring->producer_session(), ProducerSession::kNone);
    EXPECT_FALSE(ring->interrupt_producer());  // nobody to interrupt, and nothing left behind
    EXPECT_EQ(ring->producer_session(), ProducerSession::kNone);
    ASSERT_TRUE(ring->attach_producer());
    EXPECT_FALSE(ring->attach_producer());
    EXPECT_TRUE(ring->interrupt_producer());
    EXPECT_TRUE(ring->interrupt_producer());  // still interrupted
    EXPECT_EQ(ring->producer_session(), ProducerSession::kInterrupted);
    EXPECT_FALSE(ring->attach_producer());    // the interrupted one has not let go yet
    const std::uint64_t refused = ring->refused();
    EXPECT_EQ(blocking_push(*ring, false), kFull);  // would wait: refused at once, and counted
    EXPECT_EQ(ring->refused(), refused + 1);
    Message m;
    ASSERT_EQ(ring->try_pop(m), kHandedOut);
    EXPECT_EQ(blocking_push(*ring, false), kStored);  // with room it still stores
    ring->detach_producer();
    EXPECT_EQ(ring->producer_session(), ProducerSession::kNone);
    ASSERT_TRUE(ring->attach_producer());     // the interruption went with the session
    EXPECT_EQ(ring->producer_session(), ProducerSession::kAttached);
    ring->close();
    ring->detach_producer();
    EXPECT_TRUE(ring->attach_producer());     // a closed ring still has sessions; its pushes say closed
}

struct WakeCase {
    const char* name;
    bool variable, overwrite, zerocopy;
    bool by_interrupt;  // else by the reader leaving
};

class BlockedPushEnds : public ::testing::TestWithParam<WakeCase> {};

// A producer asleep in a blocking push is woken by the interrupt or by the
// reader leaving, and refused (so is any push that would wait meanwhile);
// once the session ends (or a reader is back) a push waits again.
TEST_P(BlockedPushEnds, WokenAndRefusedThenWaitsAgain)
{
    const WakeCase& c = GetParam();
    auto ring = full_blocking_ring(c.variable, c.overwrite, c.zerocopy);
    // Attached here, so that the interrupt finds the session however late
    // the thread starts; the ring does not tie a session to a thread.
    auto producer = [&] {
        const int r = blocking_push(*ring, c.variable);
        ring->detach_producer();
        return r;
    };
    ASSERT_TRUE(ring->attach_producer());
    auto blocked = std::async(std::launch::async, producer);
    ASSERT_EQ(blocked.wait_for(50ms), std::future_status::timeout);  // past its spin: asleep
    const std::uint64_t refused = ring->refused();
    if (c.by_interrupt) {
        EXPECT_TRUE(ring->interrupt_producer());
    } else {
        ring->set_reader_present(false);
    }
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), kFull);
    if (!c.by_interrupt) {
        EXPECT_EQ(blocking_push(*ring, c.variable), kFull);  // no longer waits at all
    }
    EXPECT_EQ(ring->refused(), refused + (c.by_interrupt ? 1 : 2));

    ring->set_reader_present(true);
    ASSERT_TRUE(ring->attach_producer());
    auto waiting = std::async(std::launch::async, producer);
    ASSERT_EQ(waiting.wait_for(50ms), std::future_status::timeout) << "the push no longer waits";
    ring->close();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), kClosed);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, BlockedPushEnds,
    ::testing::Values(WakeCase{"FixedInterrupt", false, false, false, true},
                      WakeCase{"FixedReaderLeaves", false, false, false, false},
                      WakeCase{"VariableInterrupt", true, false, false, true},
                      WakeCase{"VariableReaderLeaves", true, false, false, false},
                      WakeCase{"ZerocopyOverwriteInterrupt", false, true, true, true},
                      WakeCase{"ZerocopyOverwriteReaderLeaves", true, true, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

// The interrupt or the reader's leaving lands while the producer is on its
// way to sleep, at every moment the scheduler happens to pick: no round
// may leave the producer asleep.
TEST(BlockedPushEndsRace, NoWakeUpIsLost)
{
    const int rounds = 2000 / ring_test::kSlowdown;
    for (int round = 0; round < rounds; ++round) {
        const bool by_interrupt = round % 2 == 0;
        auto ring = full_blocking_ring(false);
        ASSERT_TRUE(ring->attach_producer());
        std::atomic<bool> go{false};
        auto producer = std::async(std::launch::async, [&] {
            go.store(true);
            return blocking_push(*ring, false);
        });
        while (!go.load()) {
        }
        for (int spin = 0; spin < round % 64; ++spin) cpu_relax();
        if (by_interrupt) {
            ring->interrupt_producer();
        } else {
            ring->set_reader_present(false);
        }
        ASSERT_EQ(producer.wait_for(10s), std::future_status::ready) << "round " << round;
        EXPECT_EQ(producer.get(), kFull);
    }
}

// Producers that take turns through attach / detach hand the producer side
// over whole: every message arrives once, in order, untorn.
TEST(ProducerSession, ProducersTakingTurnsHandOverTheRing)
{
    const std::uint64_t per_turn = 5000 / ring_test::kSlowdown, turns = 8, max_size = 32;
    auto ring = ring_test::make_ring({max_size, 64, false, false, true});
    std::atomic<std::uint64_t> next{0};
    auto producer = [&] {
        for (int turn = 0; turn < 4; ++turn) {
            while (!ring->attach_producer()) std::this_thread::yield();
            const std::uint64_t first = next.load(std::memory_order_relaxed);
            for (std::uint64_t seq = first; seq < first + per_turn; ++seq) {
                const std::string m = ring_test::make_message(seq, max_size);
                ASSERT_EQ(ring->push_notify(m.data(), m.size()), kStored);
            }
            next.store(first + per_turn, std::memory_order_relaxed);
            ring->detach_producer();
        }
    };
    std::thread a(producer), b(producer);
    Message m;
    for (std::uint64_t seq = 0; seq < per_turn * turns; ++seq) {
        ASSERT_EQ(ring->wait_front(m), kHandedOut);
        ASSERT_EQ(ring_test::check_message(m, max_size), seq);
        ring->pop_front();
    }
    a.join();
    b.join();
    EXPECT_EQ(ring->refused(), 0u);
}

}  // namespace
