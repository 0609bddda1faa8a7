// Burst pushes and burst pops: the results each message would get alone,
// limits of a burst, the mixing with single calls, and two threads moving
// self-checking messages in bursts through every mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "orvix/ringq/spsc_ring.hpp"
#include "test_ring_messages.hpp"

using namespace orvix::ringq;
using ring_test::check_message;
using ring_test::make_message;
using ring_test::make_ring;

namespace {

// A burst's buffers, sized for `max` messages of up to `bytes` in all.
struct BurstBuffer {
    BurstBuffer(std::size_t max, std::size_t bytes) : data(bytes), ends(max) {}
    Burst burst() { return {data.data(), data.size(), ends.data(), ends.size()}; }
    static std::vector<std::string> messages(const Burst& b)
    {
        std::vector<std::string> out;
        for (std::size_t i = 0, begin = 0; i < b.count; begin = b.ends[i++])
            out.emplace_back(b.buffer + begin, b.ends[i] - begin);
        return out;
    }
    std::vector<char> data;
    std::vector<std::size_t> ends;
};

std::vector<Message> as_messages(const std::vector<std::string>& texts)
{
    std::vector<Message> out;
    for (const std::string& t : texts) out.push_back({t.data(), t.size()});
    return out;
}

using Texts = std::vector<std::string>;

TEST(RingBurst, PushResultsAreThoseOfSinglePushes)
{
    // Four slots of 4 bytes: the fifth message finds the ring full, the
    // too-large one is refused in its place, the rest stored in order.
    auto ring = make_ring({4, 4});
    const Texts texts{"a", "bb", "toolarge", "ccc", "dddd", "e"};
    const auto messages = as_messages(texts);
    int results[6];
    // Dealt with up to "e", which finds the ring full; nothing is pushed past it.
    EXPECT_EQ(ring->push_burst(messages.data(), messages.size(), results, false, false), 5u);
    EXPECT_EQ(std::vector<int>(results, results + 6),
              (std::vector<int>{kStored, kStored, kTooLarge, kStored, kStored, kFull}));
    EXPECT_EQ(ring->stored(), 4u);
    EXPECT_EQ(ring->refused(), 2u);
    BurstBuffer b(8, 64);
    Burst burst = b.burst();
    ASSERT_EQ(ring->try_pop_burst(burst, false), kHandedOut);
    EXPECT_EQ(BurstBuffer::messages(burst), (Texts{"a", "bb", "ccc", "dddd"}));
    EXPECT_EQ(burst.bytes, 10u);
    EXPECT_EQ(ring->taken(), 4u);
    EXPECT_EQ(ring->try_pop_burst(burst, false), kEmpty);
    // The other mode, and a closed ring, refuse every message of a burst.
    EXPECT_EQ(ring->push_burst(messages.data(), 2, results, true, false), 2u);
    EXPECT_EQ(results[0], kWrongMode);
    ring->close();
    EXPECT_EQ(ring->push_burst(messages.data(), 2, results, false, true), 2u);
    EXPECT_EQ(results[1], kClosed);
    EXPECT_EQ(ring->refused(), 6u);
    EXPECT_EQ(ring->wait_pop_burst(burst, false), kClosed);
}

TEST(RingBurst, PopLimitsAndVariableRecordsAcrossLaps)
{
    auto ring = make_ring({16, 8});
    std::vector<std::string> sent;
    for (int i = 0; i < 40; ++i) sent.push_back(std::string(1 + i % 16, static_cast<char>('a' + i % 26)));
    BurstBuffer b(3, 20);  // at most 3 messages or 20 bytes a burst
    std::vector<std::string> got;
    std::size_t next = 0;
    while (got.size() < sent.size()) {
        while (next < sent.size() && ring->push_var(sent[next].data(), sent[next].size()) == kStored) ++next;
        Burst burst = b.burst();
        ASSERT_EQ(ring->try_pop_burst(burst, true), kHandedOut);
        EXPECT_LE(burst.count, 3u);
        EXPECT_LE(burst.bytes, 20u);
        for (const std::string& m : BurstBuffer::messages(burst)) got.push_back(m);
    }
    EXPECT_EQ(got, sent);
    // A message larger than the whole buffer is never taken by a burst.
    const std::string big(16, 'x');
    ASSERT_EQ(ring->push_var(big.data(), big.size()), kStored);
    BurstBuffer small(4, 8);
    Burst burst = small.burst();
    EXPECT_EQ(ring->try_pop_burst(burst, true), kTooLarge);
    EXPECT_EQ(ring->size(), 1u);
}

TEST(RingBurst, PeekedMessageComesFirstInEveryMode)
{
    for (const bool overwrite : {false, true}) {
        for (const bool zerocopy : {false, true}) {
            auto ring = make_ring({8, 4, overwrite, zerocopy});
            for (const char* t : {"one", "two", "three"}) ASSERT_EQ(ring->push(t, std::strlen(t)), kStored);
            Message m;
            ASSERT_EQ(ring->wait_front(m), kHandedOut);
            BurstBuffer b(8, 64);
            Burst burst = b.burst();
            ASSERT_EQ(ring->try_pop_burst(burst, false), kHandedOut);
            EXPECT_EQ(BurstBuffer::messages(burst), (Texts{"one", "two", "three"}));
            EXPECT_EQ(ring->size(), 0u);
            // Every slot is free again: four more fit without a drop.
            for (const char* t : {"4", "5", "6", "7"}) ASSERT_EQ(ring->push(t, 1), kStored);
            EXPECT_EQ(ring->dropped(), 0u);
        }
    }
}

TEST(RingBurst, OverwriteDropsOnlyPublishedMessages)
{
    // A burst of ten into four slots with overwrite: the first six are
    // dropped as the later ones come, each drop counted.
    auto ring = make_ring({8, 4, true});
    Texts texts;
    for (int i = 0; i < 10; ++i) texts.push_back(std::to_string(i));
    const auto messages = as_messages(texts);
    EXPECT_EQ(ring->push_burst(messages.data(), messages.size(), nullptr, false, true), 10u);
    EXPECT_EQ(ring->dropped(), 6u);
    BurstBuffer b(16, 128);
    Burst burst = b.burst();
    ASSERT_EQ(ring->try_pop_burst(burst, false), kHandedOut);
    EXPECT_EQ(BurstBuffer::messages(burst), (Texts{"6", "7", "8", "9"}));
    const RingCounts c = ring->counts();
    EXPECT_EQ(c.stored, c.taken + c.dropped);
}

struct BurstCase {
    const char* name;
    bool variable, overwrite, zerocopy, block_on_full;
};

class RingBurstThreads : public ::testing::TestWithParam<BurstCase> {};

// Producer bursts of 1..17 messages, a waiting consumer taking bursts of up
// to 32: nothing torn, nothing reordered or repeated; without overwrite
// nothing lost either. Counters stay related throughout.
TEST_P(RingBurstThreads, SelfCheckingMessages)
{
    const BurstCase c = GetParam();
    const std::uint64_t count = 200000 / ring_test::kSlowdown;
    const std::size_t max_size = 40;
    auto ring = make_ring({max_size, 64, c.overwrite, c.zerocopy, c.block_on_full});
    std::thread producer([&] {
        std::uint64_t seq = 0;
        std::vector<std::string> texts;
        std::vector<Message> messages;
        int results[17];
        while (seq < count) {
            const std::size_t n = std::min<std::uint64_t>(1 + seq % 17, count - seq);
            texts.clear();
            for (std::size_t i = 0; i < n; ++i) texts.push_back(make_message(seq + i, max_size));
            messages = as_messages(texts);
            std::size_t from = 0;
            while (from < n) {  // from the message refused as full on, pushed again
                const std::size_t dealt =
                    ring->push_burst(messages.data() + from, n - from, results, c.variable, true);
                for (std::size_t i = 0; i < dealt; ++i) ASSERT_EQ(results[i], kStored);
                from += dealt;
                if (from < n) {
                    ASSERT_EQ(results[dealt], kFull);
                    if (c.block_on_full && !c.overwrite) ADD_FAILURE() << "a blocking burst refused";
                    std::this_thread::yield();
                }
            }
            seq += n;
        }
        ring->close();
    });
    BurstBuffer b(32, 32 * max_size);
    std::uint64_t expected = 0, received = 0;
    for (;;) {
        Burst burst = b.burst();
        int r = ring->wait_pop_burst(burst, c.variable);
        if (r == kClosed) r = ring->try_pop_burst(burst, c.variable);
        if (r != kHandedOut) break;
        for (std::size_t i = 0, begin = 0; i < burst.count; begin = burst.ends[i++]) {
            const std::uint64_t seq = check_message({burst.buffer + begin, burst.ends[i] - begin}, max_size);
            ASSERT_NE(seq, UINT64_MAX) << "torn message";
            ASSERT_GE(seq, expected) << "reordered or repeated";
            if (!c.overwrite) ASSERT_EQ(seq, expected) << "lost";
            expected = seq + 1;
            ++received;
        }
        const RingCounts n = ring->counts();
        ASSERT_LE(n.taken + n.dropped, n.stored);
        if (!c.variable) ASSERT_LE(n.pending, ring->layout().slots + 1);
    }
    producer.join();
    EXPECT_EQ(ring->taken(), received);
    EXPECT_EQ(ring->stored(), received + ring->dropped());
    if (!c.overwrite) EXPECT_EQ(received, count);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RingBurstThreads,
    ::testing::Values(BurstCase{"fixed", false, false, false, false}, BurstCase{"variable", true, false, false, false},
                      BurstCase{"fixed_blocking", false, false, false, true},
                      BurstCase{"variable_blocking", true, false, false, true},
                      BurstCase{"fixed_overwrite", false, true, false, false},
                      BurstCase{"variable_overwrite", true, true, false, false},
                      BurstCase{"overwrite_zerocopy", false, true, true, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// A wait for a message that a burst pop takes elsewhere ends when its caller
// cancels it and wakes the ring, however long its time limit: a wake-up that
// brings no message only ends the wait through its cancel condition.
TEST(RingBurst, AWaitForReadinessEndsWhenCancelledAndWoken)
{
    auto ring = make_ring({.slot_size = 16, .capacity = 8});
    std::atomic<bool> cancelled{false};
    auto waited = std::async(std::launch::async, [&] {
        return ring->wait_ready_for(60'000, [&] { return cancelled.load(std::memory_order_acquire); });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));   // most likely asleep by now; either way it must end
    cancelled.store(true, std::memory_order_seq_cst);
    ring->wake_consumer();
    ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waited.get(), kEmpty);
    // Without a cancel condition a message ends it, as before.
    ASSERT_EQ(ring->push("m", 1), kStored);
    EXPECT_EQ(ring->wait_ready_for(60'000), kHandedOut);
}
