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

// How often a feed waiting to attach looks whether the producer in its way
// has let go: a stopped feed does so within a push or a backoff sleep.
constexpr auto kAttachPoll = 1ms;

void put_le64(char* to, std::uint64_t value) noexcept {
    for (int b = 0; b < 8; ++b) to[b] = static_cast<char>(value >> (8 * b));
}

// Paces the attempts at a full ring: the reader is usually just behind, so
// retry at once a few times, then give the core away, then sleep briefly so
// that a stalled reader does not cost a whole core.
class Backoff {
public:
    void pause() {
        ++attempts_;
        if (attempts_ <= 16) return;
        if (attempts_ <= 64) std::this_thread::yield();
        else std::this_thread::sleep_for(20us);
    }

private:
    unsigned attempts_ = 0;
};

}  // namespace

FeedThread::FeedThread(const OrvixProducerTarget& target, const FeedOptions& options)
    : target_(target),
      options_(options),
      period_(options.rate > 0 ? 1e9 / options.rate : 0.0),
      ramp_(options.size + 255),
      burst_bytes_(options.burst > 1 ? options.burst * options.size : 0),
      burst_messages_(options.burst > 1 ? options.burst : 0),
      burst_results_(options.burst > 1 ? options.burst : 0) {
    for (std::size_t j = 0; j < ramp_.size(); ++j) ramp_[j] = static_cast<char>(j & 0xFF);
    for (std::size_t i = 0; i < burst_messages_.size(); ++i)
        burst_messages_[i] = {burst_bytes_.data() + i * options.size, options.size};
    if (options.record_results && options.count != UINT64_MAX) results_.reserve(options.count);
}

FeedThread::~FeedThread() {
    request_stop();
    wait_finished(std::nullopt);
    join();
}

bool FeedThread::try_attach() noexcept {
    std::lock_guard lock(mutex_);
    if (!attached_) attached_ = orvix_producer_attach(&target_) != 0;
    return attached_;
}

bool FeedThread::attach_when_free(std::chrono::nanoseconds patience) noexcept {
    const auto deadline = Clock::now() + patience;
    for (;;) {
        if (try_attach()) return true;
        const int session = orvix_producer_session(&target_);
        if (session == ORVIX_PRODUCER_NONE) continue;   // it has just let go
        if (session == ORVIX_PRODUCER_ATTACHED || Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(kAttachPoll);
    }
}

void FeedThread::detach() noexcept {
    std::lock_guard lock(mutex_);
    if (attached_) orvix_producer_detach(&target_);
    attached_ = false;
}

void FeedThread::start() {
    begin_ = Clock::now();
    thread_ = std::thread([this] { run(); });
}

void FeedThread::request_stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true, std::memory_order_relaxed);
        if (attached_) orvix_producer_interrupt(&target_);
    }
    changed_.notify_all();
}

bool FeedThread::wait_finished(std::optional<std::chrono::nanoseconds> timeout) {
    if (!started()) return false;
    std::unique_lock lock(mutex_);
    auto done = [this] { return finished(); };
    if (timeout) return changed_.wait_for(lock, *timeout, done);
    changed_.wait(lock, done);
    return true;
}

void FeedThread::join() noexcept {
    if (thread_.joinable()) thread_.join();
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
    elapsed_ns_.store(since_begin().count(), std::memory_order_relaxed);
    {
        std::lock_guard lock(mutex_);
        // The last push has returned: the next producer may attach, at the
        // latest once this feed is seen finished.
        if (attached_) orvix_producer_detach(&target_);
        attached_ = false;
        // Release: whoever sees the run finished sees its counters and results.
        finished_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
}

// Waits until message seq is due on the absolute schedule begin + seq / rate
// (or until the run's time is up). Being behind, it returns at once, so the
// rate holds on average. False when a stop was asked for.
bool FeedThread::wait_for_slot(std::uint64_t seq) {
    const auto due = std::min(std::chrono::duration<double, std::nano>(period_ * static_cast<double>(seq)),
                              std::chrono::duration<double, std::nano>(options_.duration));
    const auto slot = begin_ + std::chrono::duration_cast<std::chrono::nanoseconds>(due);
    if (slot - Clock::now() > kSpinWindow) {
        std::unique_lock lock(mutex_);
        if (changed_.wait_until(lock, slot - kSpinWindow, [this] { return stopping(); })) return false;
    }
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
        result = orvix_producer_push(&target_, message, options_.size);
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
            orvix_producer_push_burst(&target_, burst_messages_.data() + from, n - from, burst_results_.data());
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
