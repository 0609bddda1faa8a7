// The ZeroMQ receiver's thread: receives bursts from a ZmqSource and pushes
// each as one burst into the target's ring, without the interpreter lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "orvix/net/zmq_source.hpp"
#include "orvix/utils/corvane/producer.h"

namespace orvix::net {

enum class OnFull {
    drop,  // count the messages the full ring refuses and go on reading
    wait,  // wait for room; meanwhile libzmq queues up to its high-water mark
};

struct ReceiverCounts {
    std::uint64_t stored, refused, too_long;
    bool target_closed;
};

class ZmqReceiverThread {
public:
    ZmqReceiverThread(const OrvixProducerTarget& target, std::unique_ptr<ZmqSource> source, OnFull on_full,
                      std::size_t burst);
    ~ZmqReceiverThread();
    ZmqReceiverThread(const ZmqReceiverThread&) = delete;
    ZmqReceiverThread& operator=(const ZmqReceiverThread&) = delete;

    bool try_attach() noexcept;
    void start();
    void request_stop() noexcept;
    bool wait_finished(std::optional<std::chrono::nanoseconds> timeout);
    void join() noexcept;

    bool started() const noexcept { return thread_.joinable() || finished(); }
    bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }
    ZmqSource& source() noexcept { return *source_; }
    ReceiverCounts counts() const noexcept;

private:
    void run() noexcept;
    bool push(std::size_t n);
    bool stopping() const noexcept { return stop_.load(std::memory_order_relaxed); }

    const OrvixProducerTarget target_;
    std::unique_ptr<ZmqSource> source_;
    const OnFull on_full_;
    std::vector<OrvixRingMessage> messages_;
    std::vector<int> results_;
    std::atomic<std::uint64_t> stored_{0}, refused_{0}, too_long_{0};
    std::atomic<bool> target_closed_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> stop_{false};
    bool attached_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

}  // namespace orvix::net
