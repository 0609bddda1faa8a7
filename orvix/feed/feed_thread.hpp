// The feed's producer thread: pushes numbered, timestamped messages into a
// dispatcher through the public producer header, and never touches Python.
//
// Everything here runs without the interpreter lock; the Python type in
// feed_module.cpp owns one FeedThread and only starts, stops, waits for and
// reads it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "orvix/common/producer_thread.hpp"
#include "orvix/utils/corvane/producer.h"

namespace orvix::feed {

// Bytes 0..7: the sequence number; bytes 8..15: the send time in ns. Both little-endian.
inline constexpr std::size_t kHeaderSize = 16;

// On Linux, libstdc++'s steady_clock reads CLOCK_MONOTONIC, the clock of time.monotonic_ns().
using Clock = std::chrono::steady_clock;

enum class OnFull { retry, skip };

struct FeedOptions {
    std::uint64_t count;             // messages to send; UINT64_MAX: no limit
    std::chrono::nanoseconds duration;  // how long to send; kNoLimit: no limit
    std::size_t size;                // bytes per message, at least kHeaderSize
    double rate;                     // messages per second; 0: as fast as possible
    OnFull on_full;
    bool record_results;
    std::size_t burst = 1;           // messages per push: > 1 pushes them as one burst (orvix_producer_push_burst)
};

inline constexpr std::size_t kMaxBurst = 4096;

// A hundred years stands for "no time limit": far enough, and begin + it never overflows.
inline constexpr std::chrono::nanoseconds kNoLimit = std::chrono::hours(24 * 365 * 100);

// The largest message: the ramp holds size + 255 bytes, and a vector holds
// at most PTRDIFF_MAX.
inline constexpr std::size_t kMaxSize = static_cast<std::size_t>(PTRDIFF_MAX) - 255;

struct FeedReport {
    std::uint64_t messages;  // sequence numbers used
    std::uint64_t stored;    // pushes answered 1
    std::uint64_t refused;   // pushes answered 0, each retry counted
    std::uint64_t failed;    // pushes answered < 0
    std::int64_t elapsed_ns;
};

class FeedThread {
public:
    // Throws std::bad_alloc (or std::length_error).
    FeedThread(const OrvixProducerTarget& target, const FeedOptions& options);
    // The lifecycle's destructor stops the thread and waits for it. Bounded:
    // the thread never waits for Python, and the stop ends its waits, in the
    // ring included.
    FeedThread(const FeedThread&) = delete;
    FeedThread& operator=(const FeedThread&) = delete;

    // Attaching, starting, stopping, waiting and fork: every native producer's.
    common::ProducerThread& lifecycle() noexcept { return lifecycle_; }
    // Starts the thread (once, attached); throws std::system_error when it cannot.
    void start();

    const FeedOptions& options() const noexcept { return options_; }
    bool started() const noexcept { return lifecycle_.started(); }
    bool finished() const noexcept { return lifecycle_.finished(); }
    FeedReport report() const noexcept;
    // One result per sequence number; complete once finished() is true.
    const std::vector<std::int8_t>& results() const noexcept { return results_; }

private:
    void run() noexcept;
    bool wait_for_slot(std::uint64_t seq);
    int push(std::uint64_t seq);
    void push_burst(std::uint64_t seq, std::size_t n);
    void record(int result);
    bool stopping() const noexcept { return lifecycle_.stopping(); }
    std::chrono::nanoseconds since_begin() const noexcept { return Clock::now() - lifecycle_.begin(); }
    char* window(std::uint64_t seq) noexcept { return ramp_.data() + (seq & 0xFF); }
    void restore_ramp(char* message, std::uint64_t seq) noexcept;

    const FeedOptions options_;
    const std::chrono::duration<double, std::nano> period_;  // between two scheduled sends

    // 0, 1, ..., 255, 0, 1, ... over size + 255 bytes. Beyond the header, byte i
    // of message seq is (seq + i) & 0xFF, so every message is the window of this
    // ramp that starts at seq & 0xFF; its header is written over the window's
    // first bytes for the push and the ramp restored afterwards.
    std::vector<char> ramp_;
    std::vector<std::int8_t> results_;
    // With burst > 1: the messages of one burst side by side, their
    // descriptions and the push results.
    std::vector<char> burst_bytes_;
    std::vector<OrvixRingMessage> burst_messages_;
    std::vector<int> burst_results_;

    // The counters have one writer, this thread: each is bumped with a relaxed
    // load and store (no read-modify-write needed). A report taken while the
    // thread runs reads recent values; the final ones are published by the
    // lifecycle's finished flag (release), which report() acquires.
    std::atomic<std::uint64_t> messages_{0}, stored_{0}, refused_{0}, failed_{0};
    std::atomic<std::int64_t> elapsed_ns_{0};

    // Declared last, destroyed first: its destructor stops and joins the
    // thread, which uses everything above.
    common::ProducerThread lifecycle_;
};

}  // namespace orvix::feed
