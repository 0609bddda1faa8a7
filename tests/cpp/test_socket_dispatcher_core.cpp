// The socket dispatchers' Python-free core: the doorbell between a producer
// and a reader that sleeps, and the wake-up handle that close() retires
// while a producer may be sending through it. The wake-up datagram is a
// semaphore here; the ring is the real one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <semaphore>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "orvix/ringq/spsc_ring.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_core.hpp"

using namespace orvix::corvane;
using namespace std::chrono_literals;
using orvix::ringq::kFull;
using orvix::ringq::kHandedOut;
using orvix::ringq::kStored;
using orvix::ringq::Message;
using orvix::ringq::RingError;
using orvix::ringq::RingOptions;
using orvix::ringq::SpscRing;

namespace {

std::unique_ptr<SpscRing> make_ring(std::size_t capacity) {
    RingError error;
    auto ring = SpscRing::create(RingOptions{.slot_size = 8, .capacity = capacity}, error);
    EXPECT_TRUE(ring) << "ring creation failed";
    return ring;
}

TEST(Doorbell, OneWakeUpPerArmingAndNoneAfterDisarm) {
    Doorbell bell;
    EXPECT_FALSE(bell.ring()) << "a reader that never armed is busy";
    bell.arm();
    EXPECT_TRUE(bell.ring());
    EXPECT_FALSE(bell.ring()) << "the first ring took the arming";
    bell.arm();
    bell.disarm();
    EXPECT_FALSE(bell.ring());

    DoorbellReader reader{bell};
    EXPECT_EQ(reader.after_poll(false), ReaderStep::armed);
    EXPECT_EQ(reader.after_poll(false), ReaderStep::must_wait);
    EXPECT_TRUE(bell.ring());
    reader.woken();
    EXPECT_EQ(reader.after_poll(false), ReaderStep::armed) << "a woken reader arms afresh";
    EXPECT_EQ(reader.after_poll(true), ReaderStep::message);
    EXPECT_FALSE(bell.ring()) << "a message found while armed disarms";
}

TEST(PublishedHandle, RetireHandsBackWhatWasPublished) {
    PublishedHandle::Value field = 7;
    PublishedHandle handle{field};
    EXPECT_EQ(field, PublishedHandle::kNone) << "a new handle publishes nothing";
    int sends = 0;
    handle.use([&](PublishedHandle::Value) { ++sends; });
    EXPECT_EQ(sends, 0);
    handle.publish(3);
    EXPECT_EQ(field, 3u) << "native code reads the field itself";
    handle.use([&](PublishedHandle::Value h) { sends += h == 3; });
    EXPECT_EQ(sends, 1);
    EXPECT_EQ(handle.retire(), 3u);
    EXPECT_EQ(handle.retire(), PublishedHandle::kNone);
    handle.use([&](PublishedHandle::Value) { ++sends; });
    EXPECT_EQ(sends, 1);
}

// The lost wake-up: a producer that pushes between the reader's last poll
// and its sleep must see the doorbell armed. The producer pauses now and
// then, so the reader goes to sleep thousands of times; a sleep that no
// wake-up ends is a lost one. Every message arrives, in order, and no more
// wake-ups are sent than the reader armed the doorbell (or a failed send
// armed it again). With `fail_every` > 0, every such send fails instead of
// waking the reader: the message it was for must arrive all the same.
void run_wakeup_stress(std::uint64_t fail_every) {
    constexpr std::uint64_t kCount = 40'000;
    auto ring = make_ring(64);
    PublishedHandle::Value field;
    SocketDispatcherCore core{field};
    core.wake_handle.publish(1);
    std::counting_semaphore<> datagrams{0};
    std::atomic<std::uint64_t> sent{0};

    std::thread producer([&] {
        std::uint64_t attempts = 0;
        for (std::uint64_t seq = 0; seq < kCount; ++seq) {
            while (ring->push(&seq, sizeof seq) == kFull) std::this_thread::yield();
            core.after_stored_push([&](PublishedHandle::Value) {
                if (fail_every && ++attempts % fail_every == 0) return false;
                sent.fetch_add(1, std::memory_order_relaxed);
                datagrams.release();
                return true;
            });
            if (seq % 64 == 0) std::this_thread::yield();   // let the reader run dry and sleep
        }
    });

    DoorbellReader reader{core.doorbell};
    std::uint64_t next = 0, arms = 0, sleeps = 0;
    while (next < kCount) {
        Message m;
        const bool found = ring->try_pop(m) == kHandedOut;
        switch (reader.after_poll(found)) {
        case ReaderStep::message: {
            std::uint64_t seq;
            std::memcpy(&seq, m.data, sizeof seq);
            ASSERT_EQ(seq, next) << "messages arrive once each, in order";
            ++next;
            break;
        }
        case ReaderStep::armed: ++arms; break;
        case ReaderStep::must_wait:
            ++sleeps;
            ASSERT_TRUE(datagrams.try_acquire_for(20s)) << "lost wake-up after message " << next;
            reader.woken();
            break;
        }
    }
    producer.join();
    const std::uint64_t failed = core.wakeups_failed.load();
    EXPECT_GT(sleeps, 0u) << "the reader never slept: the test did not test";
    EXPECT_LE(sent.load(), arms + failed) << "at most one wake-up per arming";
    EXPECT_EQ(failed > 0, fail_every > 0) << "failed sends are counted";
}

TEST(SocketDispatcherCore, NoLostWakeUpUnderStress) { run_wakeup_stress(0); }

TEST(SocketDispatcherCore, AFailedWakeUpSendIsRetriedAndCounted) { run_wakeup_stress(7); }

// Every send fails for a while: the doorbell stays armed, so the first push
// after the failures wakes the reader.
TEST(SocketDispatcherCore, AWakeUpThatCannotBeSentIsLeftToTheNextPush) {
    PublishedHandle::Value field;
    SocketDispatcherCore core{field};
    core.wake_handle.publish(1);
    DoorbellReader reader{core.doorbell};
    ASSERT_EQ(reader.after_poll(false), ReaderStep::armed);
    ASSERT_EQ(reader.after_poll(false), ReaderStep::must_wait);
    int tries = 0;
    core.after_stored_push([&](PublishedHandle::Value) {
        ++tries;
        return false;
    });
    EXPECT_EQ(tries, SocketDispatcherCore::kWakeupAttempts);
    EXPECT_EQ(core.wakeups_failed.load(), static_cast<std::uint64_t>(tries));
    bool woken = false;
    core.after_stored_push([&](PublishedHandle::Value) { return woken = true; });
    EXPECT_TRUE(woken);
    core.after_stored_push([&](PublishedHandle::Value) { return woken = false; });
    EXPECT_TRUE(woken) << "one wake-up per sleep";
}

// close() retires the handle while the producer may be sending through it:
// once retire() returns, no send uses the old handle, so the caller may
// close it (here: mark its resource closed with a plain write, which
// ThreadSanitizer checks against the sender's plain read).
TEST(SocketDispatcherCore, NoSendThroughARetiredHandle) {
    constexpr int kCycles = 500;
    struct Resource {
        bool open = false;
    };
    std::vector<Resource> resources(kCycles);
    PublishedHandle::Value field;
    PublishedHandle handle{field};
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> sends{0}, closed_sends{0};

    std::thread producer([&] {
        while (!done.load(std::memory_order_relaxed)) {
            handle.use([&](PublishedHandle::Value h) {
                if (!resources[h].open) closed_sends.fetch_add(1, std::memory_order_relaxed);
                sends.fetch_add(1, std::memory_order_relaxed);
            });
        }
    });
    for (int i = 0; i < kCycles; ++i) {
        resources[i].open = true;
        handle.publish(static_cast<PublishedHandle::Value>(i));
        const std::uint64_t before = sends.load(std::memory_order_relaxed);
        while (sends.load(std::memory_order_relaxed) == before && i % 16 == 0) std::this_thread::yield();
        ASSERT_EQ(handle.retire(), static_cast<PublishedHandle::Value>(i));
        resources[i].open = false;
    }
    done = true;
    producer.join();
    EXPECT_EQ(closed_sends.load(), 0u);
    EXPECT_GT(sends.load(), 0u);
}

#ifndef _WIN32
// A fork while a producer thread is inside use(): the child has no such
// thread, so its retire() must not wait for the send to end.
TEST(PublishedHandle, AChildDoesNotWaitForASenderOfItsParent) {
    PublishedHandle::Value field;
    PublishedHandle handle{field};
    handle.publish(5);
    std::binary_semaphore sending{0}, finish{0};
    std::thread producer([&] {
        handle.use([&](PublishedHandle::Value) {
            sending.release();
            finish.acquire();
        });
    });
    sending.acquire();
    const pid_t child = fork();
    if (child == 0) {
        alarm(5);   // a child that waits for ever is killed, and fails
        _exit(handle.retire() == 5 ? 0 : 1);
    }
    finish.release();
    producer.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child's retire() waited (status " << status << ")";
    EXPECT_EQ(handle.retire(), 5u) << "the parent's own handle is untouched";
}
#endif

}  // namespace
