// What the socket dispatchers' doorbell adds to a push while the reader keeps
// up (the doorbell is never armed, so no wake-up is sent): nanoseconds per
// 64-byte message, printed beside the ring's bare push and beside the
// doorbell the dispatchers used before, a full seq_cst fence per push.
// One thread pushes and pops, so the figures are the instructions' own cost.
// Best of five runs per figure.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "orvix/ringq/spsc_ring.hpp"
#include "orvix/utils/corvane/dispatchers/doorbell.hpp"

using namespace orvix::ringq;
using orvix::corvane::Doorbell;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMessageSize = 64;
constexpr std::uint64_t kMessages = 4'000'000;
constexpr int kRuns = 5;

// The former doorbell's producer half: a full fence between the push and the
// load of the reader's flag.
struct SeqCstDoorbell {
    std::atomic<std::uint32_t> armed{0};
    bool ring() noexcept {
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (armed.load(std::memory_order_acquire) == 0) return false;
        return armed.exchange(0, std::memory_order_acquire) != 0;
    }
};

template <class Ring>
double ns_per_message(SpscRing& spsc, Ring ring) {
    char message[kMessageSize] = {};
    std::uint64_t rung = 0;
    double best = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        const auto start = Clock::now();
        for (std::uint64_t i = 0; i < kMessages; ++i) {
            message[0] = static_cast<char>(i);
            if (spsc.push(message, sizeof message) == kStored) rung += ring();
            Message m;
            spsc.try_pop(m);
        }
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        best = std::min(best, ns / kMessages);
    }
    if (rung != 0) std::printf("(unexpected: %llu wake-ups)\n", static_cast<unsigned long long>(rung));
    return best;
}

}  // namespace

int main() {
    RingError error;
    auto spsc = SpscRing::create(RingOptions{.slot_size = kMessageSize, .capacity = 16384}, error);
    if (!spsc) {
        std::fprintf(stderr, "bench_doorbell: %s\n", describe(error));
        return 1;
    }
    Doorbell doorbell;
    SeqCstDoorbell former;
    const double bare = ns_per_message(*spsc, [] { return false; });
    const double light = ns_per_message(*spsc, [&] { return doorbell.ring(); });
    const double fenced = ns_per_message(*spsc, [&] { return former.ring(); });
    std::printf("push + pop of one %zu-byte message, reader busy (ns/msg, best of %d)\n", kMessageSize, kRuns);
    std::printf("  %-44s %8.2f\n", "ring's bare push", bare);
    std::printf("  %-44s %8.2f  (%+.2f)\n", "push + doorbell (light fence)", light, light - bare);
    std::printf("  %-44s %8.2f  (%+.2f)\n", "push + former doorbell (seq_cst fence)", fenced, fenced - bare);
    return 0;
}
