#include "orvix/net/zmq_receiver_thread.hpp"

#include "orvix/ringq/single_writer_counter.hpp"

namespace orvix::net {

namespace {

using namespace std::chrono_literals;
using orvix::ringq::bump;

// Paces the attempts at a full ring (on_full=wait): retry at once a few
// times, then give the core away, then sleep briefly.
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

ZmqReceiverThread::ZmqReceiverThread(const OrvixProducerTarget& target, std::unique_ptr<ZmqSource> source,
                                     OnFull on_full, std::size_t burst)
    : target_(target), source_(std::move(source)), on_full_(on_full), messages_(burst), results_(burst) {}

ZmqReceiverThread::~ZmqReceiverThread() {
    request_stop();
    wait_finished(std::nullopt);
    join();
}

bool ZmqReceiverThread::try_attach() noexcept {
    std::lock_guard lock(mutex_);
    if (!attached_) attached_ = orvix_producer_attach(&target_) != 0;
    return attached_;
}

void ZmqReceiverThread::start() { thread_ = std::thread([this] { run(); }); }

void ZmqReceiverThread::request_stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true, std::memory_order_relaxed);
        if (attached_) orvix_producer_interrupt(&target_);
    }
    source_->shutdown();
    changed_.notify_all();
}

bool ZmqReceiverThread::wait_finished(std::optional<std::chrono::nanoseconds> timeout) {
    if (!started()) return false;
    std::unique_lock lock(mutex_);
    auto done = [this] { return finished(); };
    if (timeout) return changed_.wait_for(lock, *timeout, done);
    changed_.wait(lock, done);
    return true;
}

void ZmqReceiverThread::join() noexcept {
    if (thread_.joinable()) thread_.join();
}

ReceiverCounts ZmqReceiverThread::counts() const noexcept {
    return {stored_.load(std::memory_order_acquire), refused_.load(std::memory_order_acquire),
            too_long_.load(std::memory_order_acquire), target_closed_.load(std::memory_order_acquire)};
}

void ZmqReceiverThread::run() noexcept {
    while (!stopping()) {
        const std::size_t n = source_->receive(messages_.data());
        if (n == 0 || !push(n)) break;
    }
    source_->release();
    source_->close_socket();
    {
        std::lock_guard lock(mutex_);
        if (attached_) orvix_producer_detach(&target_);
        attached_ = false;
        finished_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
}

// Pushes messages[0, n) as one burst; false once the target is closed.
bool ZmqReceiverThread::push(std::size_t n) {
    Backoff backoff;
    for (std::size_t from = 0; from < n;) {
        const std::size_t dealt =
            orvix_producer_push_burst(&target_, messages_.data() + from, n - from, results_.data());
        for (std::size_t i = 0; i < dealt; ++i) {
            if (results_[i] > 0) {
                bump(stored_);
            } else if (results_[i] == ORVIX_RING_TOO_LARGE) {
                bump(too_long_);
            } else {
                target_closed_.store(true, std::memory_order_release);
                return false;
            }
        }
        from += dealt;
        if (from == n) break;
        if (on_full_ == OnFull::drop || stopping()) {
            bump(refused_, n - from);
            break;
        }
        backoff.pause();
    }
    return true;
}

}  // namespace orvix::net
