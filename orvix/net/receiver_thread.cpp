#include "orvix/net/receiver_thread.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace orvix::net {

using ringq::bump;

namespace {
constexpr int kClosed = -2;  // the ring's answer once it is closed
constexpr int kTooLarge = -1;
}  // namespace

ReceiverThread::ReceiverThread(const OrvixProducerTarget& target, std::unique_ptr<MessageSource> source,
                               OnFull on_full)
    : on_full_(on_full),
      messages_(source->burst()),
      results_(source->burst()),
      source_(std::move(source)),
      lifecycle_(target) {
    lifecycle_.set_stop_hook([source = source_.get()] { source->wake(); });
}

void ReceiverThread::start() {
    lifecycle_.start([this] { run(); });
}

void ReceiverThread::end(Ending ending, std::string error) {
    std::lock_guard lock(ending_mutex_);
    if (ending_ == Ending::none) {
        ending_ = ending;
        error_ = std::move(error);
    }
}

void ReceiverThread::run() noexcept {
    std::string error;
    while (!lifecycle_.stopping()) {
        const std::ptrdiff_t n = source_->receive(messages_, counters_, error);
        if (n < 0) {
            end(Ending::failed, std::move(error));
            return;
        }
        if (n > 0 && !push(std::span(messages_).first(static_cast<std::size_t>(n)))) break;
    }
    end(Ending::stopped);
    take_pending();
}

// What the transport still holds as the thread ends would go unseen when
// the socket closes: take it and count it unsent. Bounded, in case a
// sender keeps it coming.
void ReceiverThread::take_pending() noexcept {
    constexpr int kMostRounds = 4096;
    std::string error;
    for (int round = 0; round < kMostRounds; ++round) {
        const std::ptrdiff_t n = source_->take_pending(messages_, counters_, error);
        if (n <= 0) break;
        bump(counters_.unsent, static_cast<std::uint64_t>(n));
    }
}

// The ring deals with a burst up to the first message it refuses as full.
// on_full="drop" counts that one and goes on with the next; "wait" pushes
// it again after a pause until the ring takes it or a stop comes (the stop
// interrupts the producer session, so a blocking push returns at once).
bool ReceiverThread::push(std::span<OrvixRingMessage> messages) {
    const auto target = &lifecycle_.target();
    common::Backoff backoff;
    for (std::size_t from = 0; from < messages.size();) {
        const std::size_t dealt =
            orvix_producer_push_burst(target, messages.data() + from, messages.size() - from, results_.data());
        for (std::size_t i = 0; i < dealt; ++i) {
            const int result = results_[i];
            if (result > 0) {
                bump(counters_.stored);
            } else if (result == kTooLarge) {
                bump(counters_.too_long);
            } else {
                // Closed, or torn down: this message and those after it are never sent.
                bump(counters_.unsent, messages.size() - from - i);
                if (result == kClosed) end(Ending::target_closed);
                else end(Ending::failed, "the target refused a message with " + std::to_string(result));
                return false;
            }
        }
        from += dealt;
        if (from == messages.size()) break;
        if (on_full_ == OnFull::drop) {
            bump(counters_.refused_full);
            ++from;
            continue;
        }
        if (lifecycle_.stopping()) {
            bump(counters_.unsent, messages.size() - from);
            end(Ending::stopped);
            return false;
        }
        backoff.pause();
    }
    return true;
}

ReceiverSnapshot ReceiverThread::snapshot() const {
    const bool finished = lifecycle_.finished();  // acquire: the final counters once finished
    (void)finished;
    auto load = [](const std::atomic<std::uint64_t>& c) { return c.load(std::memory_order_relaxed); };
    ReceiverSnapshot s{load(counters_.received),     load(counters_.bytes),     load(counters_.stored),
                       load(counters_.refused_full), load(counters_.too_long),  load(counters_.kernel_drops),
                       load(counters_.not_allowed),  load(counters_.unsent),    load(counters_.errors),
                       Ending::none,                 {}};
    s.kernel_drops = std::max(s.kernel_drops, source_->kernel_drops_now());
    if (lifecycle_.forked()) return s;  // the mutex may be held by the parent's thread, gone here
    std::lock_guard lock(ending_mutex_);
    s.ending = ending_;
    s.error = error_;
    return s;
}

const char* ending_name(Ending ending) noexcept {
    switch (ending) {
    case Ending::none: return "running";
    case Ending::stopped: return "stopped";
    case Ending::target_closed: return "target closed";
    case Ending::failed: return "failed";
    }
    return "?";
}

}  // namespace orvix::net
