#include "orvix/feed/feed_thread.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "orvix/ringq/single_writer_counter.hpp"

namespace orvix::feed {

namespace {

using namespace std::chrono_literals;
using orvix::ringq::bump;

// Sleeping wakes late by up to the kernel's timer slack (50 µs by default on
// Linux), so the last stretch before a scheduled send is spun instead.
constexpr auto kSpinWindow = 100us;

void put_le64(char* to, std::uint64_t value) noexcept {
    for (int b = 0; b < 8; ++b) to[b] = static_cast<char>(value >> (8 * b));
}

using Backoff = common::Backoff;

}  // namespace

FeedThread::FeedThread(const OrvixProducerTarget& target, const FeedOptions& options)
    : options_(options),
      period_(options.rate > 0 ? 1e9 / options.rate : 0.0),
      ramp_(options.size + 255),
      burst_bytes_(options.burst > 1 ? options.burst * options.size : 0),
      burst_messages_(options.burst > 1 ? options.burst : 0),
      burst_results_(options.burst > 1 ? options.burst : 0),
      lifecycle_(target) {
    for (std::size_t j = 0; j < ramp_.size(); ++j) ramp_[j] = static_cast<char>(j & 0xFF);
    for (std::size_t i = 0; i < burst_messages_.size(); ++i)
        burst_messages_[i] = {burst_bytes_.data() + i * options.size, options.size};
    if (options.record_results && options.count != UINT64_MAX) results_.reserve(options.count);
}

void FeedThread::start() {
    lifecycle_.start([this] { run(); });
}

FeedReport FeedThread::report() const noexcept {
    const bool done = finished();  // acquire: the final counters when done
    const std::int64_t elapsed = done || !started() ? elapsed_ns_.load(std::memory_order_relaxed)
                                                    : since_begin().count();
    return {messages_.load(std::memory_order_relaxed), stored_.load(std::memory_order_relaxed),
            refused_.load(std::memory_order_relaxed), failed_.load(std::memory_order_relaxed), elapsed};
}

void FeedThread::run() noexcept {
    try {
        for (std::uint64_t seq = 0; seq < options_.count && !stopping();) {
            if (period_.count() > 0 && !wait_for_slot(seq)) break;
            if (since_begin() >= options_.duration) break;
            if (options_.burst > 1) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(options_.burst, options_.count - seq));
                push_burst(seq, n);
                seq += n;
                continue;
            }
            bump(messages_);
            record(push(seq));
            ++seq;
        }
    } catch (const std::bad_alloc&) {
        // The results could not grow: the run ends with the messages recorded so far.
    }
    // The lifecycle publishes it with the end of the run.
    elapsed_ns_.store(since_begin().count(), std::memory_order_relaxed);
}

// Waits until message seq is due on the absolute schedule begin + seq / rate
// (or until the run's time is up). Being behind, it returns at once, so the
// rate holds on average. False when a stop was asked for.
bool FeedThread::wait_for_slot(std::uint64_t seq) {
    const auto due = std::min(std::chrono::duration<double, std::nano>(period_ * static_cast<double>(seq)),
                              std::chrono::duration<double, std::nano>(options_.duration));
    const auto slot = lifecycle_.begin() + std::chrono::duration_cast<std::chrono::nanoseconds>(due);
    if (slot - Clock::now() > kSpinWindow && lifecycle_.sleep_until(slot - kSpinWindow)) return false;
    while (Clock::now() < slot)
        if (stopping()) return false;
    return true;
}

// Pushes message seq until the dispatcher settles it: stored (1), never
// storable (< 0), or refused (0) with on_full="skip", a stop or the time up.
// Each attempt carries the time it was made.
int FeedThread::push(std::uint64_t seq) {
    char* message = window(seq);
    put_le64(message, seq);
    int result;
    for (Backoff backoff;; backoff.pause()) {
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
        put_le64(message + 8, static_cast<std::uint64_t>(now.count()));
        result = orvix_producer_push(&lifecycle_.target(), message, options_.size);
        if (result != 0) {
            bump(result > 0 ? stored_ : failed_);
            break;
        }
        bump(refused_);
        if (options_.on_full == OnFull::skip || stopping() || since_begin() >= options_.duration) break;
    }
    restore_ramp(message, seq);
    return result;
}

void FeedThread::record(int result) {
    if (options_.record_results) results_.push_back(static_cast<std::int8_t>(std::max(result, -128)));
}

// Messages seq .. seq + n - 1 as one burst, each settled as push() settles
// one. The ring deals with them up to the first it refuses as full, which
// (with those after it) is pushed again or, with on_full="skip", counted and
// skipped. A stop, or the time running out, leaves the rest unsent.
void FeedThread::push_burst(std::uint64_t seq, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        char* message = burst_bytes_.data() + i * options_.size;
        std::memcpy(message, window(seq + i), options_.size);
        put_le64(message, seq + i);
    }
    auto settle = [this](int result) {
        bump(messages_);
        record(result);
    };
    Backoff backoff;
    for (std::size_t from = 0; from < n;) {
        const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
        for (std::size_t i = from; i < n; ++i)
            put_le64(burst_bytes_.data() + i * options_.size + 8, static_cast<std::uint64_t>(now.count()));
        const std::size_t dealt =
            orvix_producer_push_burst(&lifecycle_.target(), burst_messages_.data() + from, n - from, burst_results_.data());
        for (std::size_t i = 0; i < dealt; ++i) {
            bump(burst_results_[i] > 0 ? stored_ : failed_);
            settle(burst_results_[i]);
        }
        from += dealt;
        if (from == n) break;
        bump(refused_);   // message `from` found the ring full
        if (options_.on_full == OnFull::skip) {
            settle(0);
            ++from;
            continue;
        }
        if (stopping() || since_begin() >= options_.duration) {
            settle(0);
            break;
        }
        backoff.pause();
    }
}

void FeedThread::restore_ramp(char* message, std::uint64_t seq) noexcept {
    for (std::size_t j = 0; j < kHeaderSize; ++j) message[j] = static_cast<char>((seq + j) & 0xFF);
}

}  // namespace orvix::feed
