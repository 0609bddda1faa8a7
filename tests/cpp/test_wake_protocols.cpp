// The wake-up protocols step by step. The other side acts at each place on
// a waiter's way to sleep, one placement after another, on the waiter's own
// thread, so that every run takes the same steps:
//
// * the ring's waits (SpscRing::wait_until), through the wait points this
//   target compiles in: a consumer waiting for a message (a push, close())
//   and a producer waiting for room (a pop, interrupt_producer(),
//   set_reader_present(false), close()), each on the first pass and on the
//   pass after an early wake-up;
// * the doorbell (reader_step.hpp): the producer's push and ring() at every
//   place around the reader's two polls and its arming.
//
// What must hold: a waiter goes to sleep with its flag raised, and once the
// other side has acted it never does (the action either came before the
// re-check, which sees it, or found the flag raised and cleared it). The
// ordering that lets two cores see these steps in another order is the
// litmus test's (test_fence_litmus.cpp).
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "orvix/ringq/spsc_ring.hpp"
#include "orvix/utils/corvane/dispatchers/reader_step.hpp"
#include "test_ring_messages.hpp"

#if !defined(ORVIX_RINGQ_WAIT_POINTS)
#error "this test needs the ring's wait points (its target defines ORVIX_RINGQ_WAIT_POINTS)"
#endif

using namespace orvix::ringq;
using namespace std::chrono_literals;

namespace {

enum class Action { push, pop, interrupt, reader_leaves, close };

struct WaitCase {
    const char* name;
    bool producer_waits;  // else the consumer
    bool variable;
    Action action;
    int expected;  // what the waiting call returns
};

// A consumer waits on an empty ring; a producer on a full blocking one
// (2 slots, or 2 records), where the room it waits for is one slot (or two
// records: its own and a quarter of the ring).
std::unique_ptr<SpscRing> ring_for(const WaitCase& c)
{
    auto ring = ring_test::make_ring({8, c.producer_waits ? std::size_t{c.variable ? 4u : 2u} : 4, false, false,
                                      c.producer_waits});
    if (c.producer_waits) {
        while ((c.variable ? ring->push_var("12345678", 8) : ring->push("12345678", 8)) == kStored) {
        }
        if (c.action == Action::interrupt) {
            EXPECT_TRUE(ring->attach_producer());
        }
    }
    return ring;
}

int wait_on(SpscRing& ring, const WaitCase& c)
{
    Message m;
    if (c.producer_waits) return c.variable ? ring.push_var_notify("zzzzzzzz", 8) : ring.push_notify("zzzzzzzz", 8);
    return c.variable ? ring.wait_pop_var(m) : ring.wait_front(m);
}

void act(SpscRing& ring, const WaitCase& c)
{
    Message m;
    switch (c.action) {
    case Action::push:
        ASSERT_EQ(c.variable ? ring.push_var_notify("message", 7) : ring.push_notify("message", 7), kStored);
        break;
    case Action::pop:
        for (int i = 0; i < (c.variable ? 2 : 1); ++i) {
            ASSERT_EQ(c.variable ? ring.try_pop_var(m) : ring.try_pop(m), kHandedOut);
        }
        break;
    case Action::interrupt: ASSERT_TRUE(ring.interrupt_producer()); break;
    case Action::reader_leaves: ring.set_reader_present(false); break;
    case Action::close: ring.close(); break;
    }
}

const char* point_name(WaitPoint p)
{
    switch (p) {
    case WaitPoint::raising_flag: return "raising_flag";
    case WaitPoint::flag_raised: return "flag_raised";
    case WaitPoint::going_to_sleep: return "going_to_sleep";
    }
    return "?";
}

class WaitProtocol : public ::testing::TestWithParam<WaitCase> {};

TEST_P(WaitProtocol, TheOtherSideActingAtAnyPointEndsTheWait)
{
    const WaitCase& c = GetParam();
    for (const int target_pass : {1, 2}) {
        for (const WaitPoint target : {WaitPoint::raising_flag, WaitPoint::flag_raised, WaitPoint::going_to_sleep}) {
            SCOPED_TRACE(std::string("acting at ") + point_name(target) + " of pass " + std::to_string(target_pass));
            auto ring = ring_for(c);
            std::vector<std::string> faults;
            auto waiter = std::async(std::launch::async, [&] {
                int pass = 1;
                bool acted = false;
                wait_points::hook() = [&](WaitPoint point, WaitWord& flag) {
                    const bool raised = flag.load(std::memory_order_relaxed) != 0;
                    if (!acted && point != WaitPoint::raising_flag && !raised)
                        faults.push_back(std::string("flag not raised at ") + point_name(point) + " of pass " +
                                         std::to_string(pass) + ": the waiter would spin, not sleep");
                    if (!acted && pass == target_pass && point == target) {
                        act(*ring, c);
                        acted = true;
                        if (point == WaitPoint::going_to_sleep && flag.load(std::memory_order_relaxed) != 0) {
                            faults.push_back("the other side acted and left the flag raised: a lost wake-up");
                            flag.store(0, std::memory_order_relaxed);  // let the waiter go on
                        }
                    } else if (point == WaitPoint::going_to_sleep) {
                        if (acted && raised) {
                            faults.push_back(std::string("goes to sleep on pass ") + std::to_string(pass) +
                                             " although the other side acted: a lost wake-up");
                        }
                        // An early wake-up (a signal, a stale wake-up point):
                        // the sleep returns at once and the waiter goes round.
                        flag.store(0, std::memory_order_relaxed);
                        ++pass;
                    }
                };
                const int result = wait_on(*ring, c);
                wait_points::hook() = nullptr;
                return result;
            });
            if (waiter.wait_for(10s) != std::future_status::ready) {
                ring->close();  // ends the sleep, whatever the protocol did
                waiter.wait();
                ADD_FAILURE() << "the waiter slept for good";
                continue;
            }
            EXPECT_EQ(waiter.get(), c.expected);
            EXPECT_TRUE(faults.empty()) << faults.front();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Waits, WaitProtocol,
    ::testing::Values(WaitCase{"ConsumerGetsAPush", false, false, Action::push, kHandedOut},
                      WaitCase{"VariableConsumerGetsAPush", false, true, Action::push, kHandedOut},
                      WaitCase{"ConsumerSeesClose", false, false, Action::close, kClosed},
                      WaitCase{"ProducerGetsRoom", true, false, Action::pop, kStored},
                      WaitCase{"VariableProducerGetsRoom", true, true, Action::pop, kStored},
                      WaitCase{"ProducerInterrupted", true, false, Action::interrupt, kFull},
                      WaitCase{"ProducerLosesItsReader", true, true, Action::reader_leaves, kFull},
                      WaitCase{"ProducerSeesClose", true, false, Action::close, kClosed}),
    [](const auto& info) { return std::string(info.param.name); });

// The doorbell: the reader polls, arms, polls a last time and waits for a
// datagram; the producer pushes and rings. Every placement of the
// producer's two steps among the reader's four (or after them, while it
// waits) must leave the reader with its message: found by a poll, or woken
// by exactly one datagram.
TEST(DoorbellProtocol, EveryInterleavingDeliversTheMessage)
{
    using orvix::corvane::Doorbell;
    using orvix::corvane::DoorbellReader;
    using orvix::corvane::ReaderStep;
    constexpr int kReaderSteps = 4;  // poll, step (arms), poll, step (waits or delivers)
    for (int push_at = 0; push_at <= kReaderSteps; ++push_at) {
        for (int ring_at = push_at; ring_at <= kReaderSteps; ++ring_at) {
            SCOPED_TRACE("push before reader step " + std::to_string(push_at) + ", ring before step " +
                         std::to_string(ring_at));
            auto ring = ring_test::make_ring({8, 4});
            Doorbell bell;
            DoorbellReader reader{bell};
            int datagrams = 0;
            auto producer_steps = [&](int at) {
                if (at == push_at) {
                    ASSERT_EQ(ring->push("m", 1), kStored);
                }
                if (at == ring_at && bell.ring()) ++datagrams;
            };
            Message m;
            bool found = false;
            ReaderStep step = ReaderStep::armed;
            int at = 0;
            while (at < kReaderSteps && step != ReaderStep::message && step != ReaderStep::must_wait) {
                producer_steps(at);
                if (at++ % 2 == 0) {
                    found = ring->try_pop(m) == kHandedOut;
                } else {
                    step = reader.after_poll(found);
                }
            }
            for (; at <= kReaderSteps; ++at) producer_steps(at);  // while the reader waits (or after)
            if (step == ReaderStep::must_wait) {
                EXPECT_EQ(datagrams, 1) << "the reader waits: one datagram must wake it";
            } else {
                EXPECT_EQ(step, ReaderStep::message);
                EXPECT_LE(datagrams, 1) << "one wake-up per arming at most";
            }
        }
    }
}

}  // namespace
