// The fence pairs on the hardware. Each wake-up protocol is a Dekker pair:
// the waiter stores its flag and then loads the other side's progress; the
// other side stores its progress and then loads the flag. x86 lets a load
// overtake an earlier store to another location (the store waits in the
// core's store buffer), so without its fences the pair can end with both
// loads seeing the old values: the waiter sleeps on progress that nobody
// wakes it for.
//
// Here two threads, pinned to two cores, run the two halves of one pair at
// nearly the same moment, round after round, each after a random short delay,
// and count that outcome. Each pair runs with the asymmetric fences (a
// compiler fence facing membarrier) and with plain fences on both sides,
// as on a system without membarrier. The ring's waiter is caught through the
// wait points (this target compiles them in): it meets the other side at
// the start line where it is about to raise its flag, and when it is about
// to sleep it waits for the other side to finish and looks at its flag.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

#include "orvix/ringq/spsc_ring.hpp"
#include "orvix/shm/shared_mapping.hpp"
#include "orvix/utils/corvane/dispatchers/reader_step.hpp"
#include "shm_producer_c_side.h"
#include "test_ring_messages.hpp"

#if !defined(ORVIX_RINGQ_WAIT_POINTS)
#error "this test needs the ring's wait points (its target defines ORVIX_RINGQ_WAIT_POINTS)"
#endif

using namespace orvix::ringq;
using namespace std::chrono_literals;
using orvix::shm::MappingError;

namespace {

// Rounds per pair and fence kind, and a time limit that keeps a loaded
// machine from stretching the test.
constexpr int kRounds = 20'000 / ring_test::kSlowdown;
constexpr auto kTimeLimit = 3s;

// Two threads meeting at numbered lines, spinning (no sleep between the
// halves of one round).
class StartLines {
public:
    void meet(std::uint64_t line) noexcept
    {
        arrived_.fetch_add(1, std::memory_order_acq_rel);
        while (arrived_.load(std::memory_order_acquire) < 2 * line) cpu_relax();
    }

private:
    std::atomic<std::uint64_t> arrived_{0};
};

// How long each half waits after the start line before it runs. The waiter's
// half and the waker's differ in length (a push against a flag store; a
// membarrier), so a fixed start would make one side always win. `lead`
// follows the outcomes: a waiter that went to sleep (the waker came late)
// starts later next round, one that saw the waker's progress starts
// earlier, so the two halves keep meeting where the race is decided. A
// little randomness on top covers the offsets around that point.
class Delays {
public:
    void waiter() noexcept { spin(lead_ > 0 ? lead_ : 0, waiter_random_); }
    void waker() noexcept { spin(lead_ < 0 ? -lead_ : 0, waker_random_); }
    // Called by the waiter once the round is over (the waker is at its next
    // start line, so it reads the new lead only after that line).
    void after_round(bool waiter_slept) noexcept
    {
        const std::int64_t step = 1 + (lead_ < 0 ? -lead_ : lead_) / 16;
        lead_ += waiter_slept ? step : -step;
    }

private:
    void spin(std::int64_t units, std::uint32_t& random) noexcept
    {
        random ^= random << 13;
        random ^= random >> 17;
        random ^= random << 5;
        for (std::int64_t i = units + random % 32; i > 0; --i) (void)sink_;
    }
    std::int64_t lead_ = 0;  // > 0: the waiter waits this long; < 0: the waker does
    std::uint32_t waiter_random_ = 0x9e3779b9u, waker_random_ = 0x85ebca6bu;
    volatile std::uint32_t sink_ = 0;  // loads only: the store buffer stays as the halves left it
};

bool pin_to_core(int core)
{
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    return pthread_setaffinity_np(pthread_self(), sizeof set, &set) == 0;
#else
    (void)core;
    return false;
#endif
}

// Pins the calling thread for the object's life.
class PinnedHere {
public:
    explicit PinnedHere(int core)
    {
#if defined(__linux__)
        saved_ = sched_getaffinity(0, sizeof before_, &before_) == 0;
#endif
        pin_to_core(core);
    }
    ~PinnedHere()
    {
#if defined(__linux__)
        if (saved_) sched_setaffinity(0, sizeof before_, &before_);
#endif
    }
    PinnedHere(const PinnedHere&) = delete;
    PinnedHere& operator=(const PinnedHere&) = delete;

private:
#if defined(__linux__)
    cpu_set_t before_;
    bool saved_ = false;
#endif
};

bool two_cores()
{
#if defined(__linux__)
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_ISSET(0, &set) && CPU_ISSET(1, &set);
#else
    return false;
#endif
}

enum class Fences { asymmetric, symmetric };

// Every ring and doorbell constructor decides the fences anew; the test
// overrides that decision once its objects exist.
void use_fences(Fences fences)
{
    if (fences == Fences::symmetric) fence_detail::asymmetric.store(0, std::memory_order_relaxed);
}

struct LitmusResult {
    int rounds = 0;
    int lost = 0;    // the waiter would sleep and the other side did not wake it
    int slept = 0;   // the waiter's re-check missed the other side, which woke it
};

// Runs rounds of one pair until kRounds or kTimeLimit: `waiter(round)` on
// core 0, after `before_round()`; `waker(round)` on core 1, once both stand
// at the round's start line. The waiter meets the start line itself (so
// that it may do so from inside a wait); each half meets the end line
// itself, and calls its own delay once past the start line.
class Litmus {
public:
    void start(int round) { lines_.meet(2 * std::uint64_t(round) + 1); }
    void end(int round) { lines_.meet(2 * std::uint64_t(round) + 2); }
    Delays delays;

    enum Outcome { kSawProgress, kWoken, kLost };

    LitmusResult run(const std::function<void()>& before_round, const std::function<Outcome(int round)>& waiter,
                     const std::function<void(int round)>& waker)
    {
        std::atomic<bool> stop{false};
        std::thread waking([&] {
            pin_to_core(1);
            for (int round = 0;; ++round) {
                start(round);
                if (stop.load(std::memory_order_relaxed)) return;
                waker(round);
            }
        });
        const PinnedHere pinned(0);
        const auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
        LitmusResult result;
        // The first lost wake-up ends the run: one is a failure already.
        for (; result.rounds < kRounds && result.lost == 0 && std::chrono::steady_clock::now() < deadline;
             ++result.rounds) {
            before_round();
            const Outcome outcome = waiter(result.rounds);
            result.lost += outcome == kLost;
            result.slept += outcome != kSawProgress;
            delays.after_round(outcome != kSawProgress);
        }
        stop.store(true, std::memory_order_relaxed);
        start(result.rounds);
        waking.join();
        return result;
    }

private:
    StartLines lines_;
};

void expect_no_lost_wakeup(const char* pair, Fences fences, const LitmusResult& r)
{
    std::printf("%s, %s fences: %d rounds, the waiter went to sleep in %d, lost wake-ups: %d\n", pair,
                fences == Fences::asymmetric ? "asymmetric" : "symmetric", r.rounds, r.slept, r.lost);
    EXPECT_EQ(r.lost, 0) << "lost wake-ups in " << r.rounds << " rounds";
    EXPECT_GT(r.rounds, 0);
}

class FenceLitmus : public ::testing::TestWithParam<Fences> {
protected:
    void SetUp() override
    {
        if (!two_cores()) GTEST_SKIP() << "needs cores 0 and 1 and thread pinning";
    }
    void TearDown() override { enable_asymmetric_fences(); }
};

// The doorbell: the reader arms (heavy fence) and polls a last time; the
// producer pushes and rings (light fence).
TEST_P(FenceLitmus, Doorbell)
{
    using orvix::corvane::Doorbell;
    using orvix::corvane::DoorbellReader;
    using orvix::corvane::ReaderStep;
    auto ring = ring_test::make_ring({8, 4});
    Doorbell bell;
    DoorbellReader reader{bell};
    use_fences(GetParam());
    Litmus litmus;
    bool rang = false;
    const LitmusResult r = litmus.run(
        [] {},
        [&](int round) {
            litmus.start(round);
            litmus.delays.waiter();
            (void)reader.after_poll(false);  // arms
            Message m;
            const ReaderStep step = reader.after_poll(ring->try_pop(m) == kHandedOut);
            litmus.end(round);
            if (step != ReaderStep::must_wait) return Litmus::kSawProgress;
            if (!rang) bell.disarm();
            reader.woken();
            EXPECT_EQ(ring->try_pop(m), kHandedOut);
            return rang ? Litmus::kWoken : Litmus::kLost;
        },
        [&](int round) {
            litmus.delays.waker();
            EXPECT_EQ(ring->push("m", 1), kStored);
            rang = bell.ring();
            litmus.end(round);
        });
    expect_no_lost_wakeup("doorbell", GetParam(), r);
}

// A ring's wait: `wait()` blocks in wait_until(). Its hook meets the waker
// at the start line just before the flag is raised; at the sleep it meets
// the end line, so the waker is done, and looks whether the waker cleared
// the flag (woke it). It then clears the flag itself, so that the sleep
// returns at once and the wait ends as after a wake-up.
LitmusResult run_wait_litmus(const std::function<void()>& before_round, const std::function<void()>& wait,
                             const std::function<void()>& wake)
{
    Litmus litmus;
    int current = 0;
    bool met = false, slept = false, lost = false;
    wait_points::hook() = [&](WaitPoint point, WaitWord& flag) {
        if (point == WaitPoint::raising_flag && !met) {
            met = true;
            litmus.start(current);
            litmus.delays.waiter();
        } else if (point == WaitPoint::going_to_sleep && met && !slept) {
            slept = true;
            litmus.end(current);
            lost = flag.load(std::memory_order_relaxed) != 0;
            flag.store(0, std::memory_order_relaxed);
        }
    };
    const LitmusResult r = litmus.run(
        before_round,
        [&](int round) {
            current = round;
            met = slept = lost = false;
            wait();
            if (!met) ADD_FAILURE() << "the wait ended before it raised its flag";
            if (!slept) litmus.end(round);
            return slept ? (lost ? Litmus::kLost : Litmus::kWoken) : Litmus::kSawProgress;
        },
        [&](int round) {
            litmus.delays.waker();
            wake();
            litmus.end(round);
        });
    wait_points::hook() = nullptr;
    return r;
}

// The consumer waits for a message (wait_front); the producer's push_notify
// wakes it (wake_if_asleep).
TEST_P(FenceLitmus, ConsumerWait)
{
    auto ring = ring_test::make_ring({8, 4});
    use_fences(GetParam());
    const LitmusResult r = run_wait_litmus(
        [] {},
        [&] {
            Message m;
            EXPECT_EQ(ring->wait_front(m), kHandedOut);
            ring->pop_front();
        },
        [&] { EXPECT_EQ(ring->push_notify("m", 1), kStored); });
    expect_no_lost_wakeup("consumer wait", GetParam(), r);
}

// The consumer of a ring in shared memory waits for a message; the public C
// producer (orvix/shm/producer.h, compiled as C) pushes it: its fence after
// the tail against the consumer's after its flag. Both sides take full
// fences (symmetric), or the producer a compiler fence facing the
// consumer's global membarrier where the system has one (asymmetric).
TEST_P(FenceLitmus, ConsumerWaitForCProducer)
{
    using orvix::shm::SharedMapping;
    MappingError error;
    const std::string name = "/orvix-litmus-" + std::to_string(std::random_device{}());
    std::unique_ptr<SharedMapping> mapping = SharedMapping::create(name, {8, 4, false, false}, 0600, error);
    ASSERT_TRUE(mapping) << error.message;
    SharedMapping* memory = mapping.get();
    RingSharing sharing = mapping->consumer_sharing();
    if (GetParam() == Fences::symmetric) sharing.asymmetric_fences = false;
    const RingOptions options = mapping->options();
    const RingLayout layout = mapping->layout();
    RingError ring_error;
    std::unique_ptr<SpscRing> ring = SpscRing::over(std::move(mapping), options, layout, sharing, ring_error);
    CSideProducer* producer = c_side_attach(name.c_str());
    memory->unlink_name();
    ASSERT_TRUE(ring && producer);
    if (GetParam() == Fences::symmetric || !sharing.asymmetric_fences) c_side_use_full_fence(producer);
    const LitmusResult r = run_wait_litmus(
        [] {},
        [&] {
            Message m;
            EXPECT_EQ(ring->wait_front(m), kHandedOut);
            ring->pop_front();
        },
        [&] { EXPECT_EQ(c_side_push(producer, "m", 1), kStored); });
    c_side_detach(producer);
    expect_no_lost_wakeup("consumer wait for the C producer", GetParam(), r);
}

// A blocking producer waits for room in a full two-slot ring; the
// consumer's pop frees it (wake_producer).
TEST_P(FenceLitmus, ProducerWaitForRoom)
{
    auto ring = ring_test::make_ring({8, 2, false, false, true});
    while (ring->push("12345678", 8) == kStored) {
    }
    use_fences(GetParam());
    const LitmusResult r = run_wait_litmus(
        [] {}, [&] { EXPECT_EQ(ring->push_notify("m", 1), kStored); },
        [&] {
            Message m;
            EXPECT_EQ(ring->try_pop(m), kHandedOut);
        });
    expect_no_lost_wakeup("producer wait for room", GetParam(), r);
}

// A blocking producer waits in a full ring; interrupt_producer() (even
// rounds) or set_reader_present(false) (odd rounds) ends the wait.
TEST_P(FenceLitmus, ProducerWaitEndedByInterruptOrReaderLeaving)
{
    auto ring = ring_test::make_ring({8, 2, false, false, true});
    while (ring->push("12345678", 8) == kStored) {
    }
    use_fences(GetParam());
    int round = 0;
    const LitmusResult r = run_wait_litmus(
        [&] {
            ring->detach_producer();
            ring->set_reader_present(true);
            EXPECT_TRUE(ring->attach_producer());
        },
        [&] { EXPECT_EQ(ring->push_notify("m", 1), kFull); },
        [&] {
            if (round++ % 2 == 0) {
                EXPECT_TRUE(ring->interrupt_producer());
            } else {
                ring->set_reader_present(false);
            }
        });
    expect_no_lost_wakeup("producer wait ended by interrupt or reader leaving", GetParam(), r);
}

INSTANTIATE_TEST_SUITE_P(Fences, FenceLitmus, ::testing::Values(Fences::asymmetric, Fences::symmetric),
                         [](const auto& info) {
                             return std::string(info.param == Fences::asymmetric ? "Asymmetric" : "Symmetric");
                         });

}  // namespace
