// The life of a native producer thread that pushes into one dispatcher:
// attaching as the ring's one producer, starting, stopping (with the ring's
// waits interrupted), waiting for the end, and what a forked child sees.
//
// Shared by every native producer the package ships (orvix.feed's Feed,
// orvix.net's receivers). Nothing here touches Python: the Python types own
// one ProducerThread and drive it through cpython_support/producer_thread_glue.hpp.
//
// A fork copies the memory of this object but not its thread: in the child
// the thread never ran, its mutex may be held by nobody who will let it go,
// and its condition variable may count the parent's thread as a waiter (so
// destroying it would wait forever). So a child sees the thread as finished,
// never locks or waits, and never joins or destroys: the thread's handle
// and the mutex and condition variable are leaked.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "orvix/utils/corvane/producer.h"

namespace orvix::common {

// Paces the attempts at a full ring: the reader is usually just behind, so
// retry at once a few times, then give the core away, then sleep briefly so
// that a stalled reader does not cost a whole core.
class Backoff {
public:
    void pause() {
        ++attempts_;
        if (attempts_ <= 16) return;
        if (attempts_ <= 64) std::this_thread::yield();
        else std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    void reset() noexcept { attempts_ = 0; }

private:
    unsigned attempts_ = 0;
};

class ProducerThread {
public:
    using Clock = std::chrono::steady_clock;

    explicit ProducerThread(const OrvixProducerTarget& target) : target_(target) {}
    // Stops the thread and waits for it. Bounded as long as the body ends
    // soon after stopping() turns true (and the stop hook wakes it).
    ~ProducerThread() {
        if (forked()) {
            new std::thread(std::move(thread_));  // a parent's thread: never joined here
            (void)sync_.release();                // may count the parent's thread as a waiter
            return;
        }
        request_stop();
        wait_finished(std::nullopt);
        join();
    }
    ProducerThread(const ProducerThread&) = delete;
    ProducerThread& operator=(const ProducerThread&) = delete;

    const OrvixProducerTarget& target() const noexcept { return target_; }

    // Called by request_stop (any thread, under no lock of this object's)
    // to wake a body blocked outside the ring: a receive, say. Set before start().
    void set_stop_hook(std::function<void()> hook) { stop_hook_ = std::move(hook); }

    // The ring takes one producer at a time: attach before start(); the
    // thread detaches as it ends. try_attach: true once attached, false while
    // another producer is.
    bool try_attach() noexcept {
        std::lock_guard lock(sync_->mutex);
        if (!attached_) attached_ = orvix_producer_attach(&target_) != 0;
        return attached_;
    }
    // Like try_attach, but a producer in the way that was interrupted is on
    // its way out: waits up to `patience` for it to let go. False at once
    // when the producer in the way is not interrupted.
    bool attach_when_free(std::chrono::nanoseconds patience) noexcept {
        const auto deadline = Clock::now() + patience;
        for (;;) {
            if (try_attach()) return true;
            const int session = orvix_producer_session(&target_);
            if (session == ORVIX_PRODUCER_NONE) continue;  // it has just let go
            if (session == ORVIX_PRODUCER_ATTACHED || Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Gives the attachment back when start() failed.
    void detach() noexcept {
        std::lock_guard lock(sync_->mutex);
        if (attached_) orvix_producer_detach(&target_);
        attached_ = false;
    }

    // Runs `body` on a new thread (once, attached); throws std::system_error
    // when no thread can be made. When the body returns, the thread detaches
    // from the ring and is seen finished.
    void start(std::function<void()> body) {
        owner_ = getpid();
        begin_ = Clock::now();
        thread_ = std::thread([this, body = std::move(body)] {
            body();
            finish();
        });
    }

    // Asks the body to stop and, while attached, interrupts its producer
    // session, so that a push waiting in the ring returns at once; then the
    // stop hook wakes a wait of the body's own.
    void request_stop() noexcept {
        if (forked()) return;
        {
            std::lock_guard lock(sync_->mutex);
            stop_.store(true, std::memory_order_relaxed);
            if (attached_) orvix_producer_interrupt(&target_);
        }
        sync_->changed.notify_all();
        if (stop_hook_) stop_hook_();
    }
    bool stopping() const noexcept { return stop_.load(std::memory_order_relaxed); }
    // Sleeps until `until` or a stop; true when a stop was asked for.
    bool sleep_until(Clock::time_point until) {
        std::unique_lock lock(sync_->mutex);
        return sync_->changed.wait_until(lock, until, [this] { return stopping(); });
    }

    // Blocks until the thread has finished or the timeout has passed; true when finished.
    bool wait_finished(std::optional<std::chrono::nanoseconds> timeout) {
        if (!started()) return false;
        if (forked()) return true;
        std::unique_lock lock(sync_->mutex);
        auto done = [this] { return finished(); };
        if (timeout) return sync_->changed.wait_for(lock, *timeout, done);
        sync_->changed.wait(lock, done);
        return true;
    }
    // Reaps a finished thread (in a forked child: nothing to reap).
    void join() noexcept {
        if (!forked() && thread_.joinable()) thread_.join();
    }

    bool started() const noexcept { return thread_.joinable() || finished(); }
    // Acquire: whoever sees the thread finished sees everything it wrote.
    bool finished() const noexcept { return finished_.load(std::memory_order_acquire) || forked(); }
    bool running() const noexcept { return started() && !finished(); }
    // This object was copied into a forked child while its thread ran (or had run).
    bool forked() const noexcept { return owner_ != 0 && owner_ != getpid(); }
    Clock::time_point begin() const noexcept { return begin_; }

private:
    void finish() noexcept {
        {
            std::lock_guard lock(sync_->mutex);
            // The last push has returned: the next producer may attach, at
            // the latest once this thread is seen finished.
            if (attached_) orvix_producer_detach(&target_);
            attached_ = false;
            // Release: whoever sees the thread finished sees its counters.
            finished_.store(true, std::memory_order_release);
        }
        sync_->changed.notify_all();
    }

    const OrvixProducerTarget target_;
    std::function<void()> stop_hook_;
    std::atomic<bool> finished_{false};
    // Relaxed: a flag with nothing to publish. It is stored under the mutex so
    // that a sleep waiting on the condition variable cannot miss it.
    std::atomic<bool> stop_{false};
    // The ring's producer session is this thread's: from the attach until
    // the thread detaches. Under the mutex, so that a stop never interrupts the
    // session of a producer that attached after this one let go.
    bool attached_ = false;
    pid_t owner_ = 0;            // the process that started the thread; written before it starts
    Clock::time_point begin_{};  // written before the thread starts, read-only after
    struct Sync {
        std::mutex mutex;
        std::condition_variable changed;  // a stop was asked for, or the thread finished
    };
    std::unique_ptr<Sync> sync_ = std::make_unique<Sync>();
    std::thread thread_;
};

}  // namespace orvix::common
