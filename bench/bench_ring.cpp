// Throughput and round-trip latency of the ring with 64-byte messages between
// two pinned threads, beside the packaged lock-free queues (moodycamel's
// ReaderWriterQueue and ConcurrentQueue, when their headers are installed)
// and a mutex + std::deque queue, and beside the barest per-message ring
// (slots and two indices: what publishing every message costs), all in the
// same harness: the same two CPUs, each message copied in (64 bytes) and
// copied out (64 bytes) and its first byte read, spinning beside spinning
// and blocking beside blocking.
//
// Every figure is the median of interleaved rounds (each round runs every
// queue once, in turn) with its spread (min-max). A round during which a
// watcher thread saw the whole machine stop for over 20 ms is measured
// again, up to three times, as the latency benchmarks do.
//
// Beside the rounds: how far apart the two CPUs were. On a virtual machine
// the ring's spinning throughput has two modes, ~90 and ~15 M msg/s here,
// which a cache line's round trip between the two CPUs tells apart (~200 ns
// against ~600 ns): the host runs the two CPUs on near or far cores for
// seconds at a time, and every queue slows with the far placement. A round
// measured then is measured again, as one during a pause is.
//
// Beside each spinning figure: how often a side found the queue empty
// (consumer) or full (producer) per message, and for the ring how often each
// side read the other's index afresh per message (index_rereads.hpp). They
// tell which regime a run is in: a consumer that re-reads the tail for about
// every message trails the producer message by message, and both sides then
// pass the index line and the message's lines to and fro for every message;
// one that re-reads it rarely takes many messages per look.
//
//   bench_ring [--short]    (short: fewer messages and rounds; checks that it runs)
//   bench_ring --runs N     the ring's spinning throughput N times in a row, each
//                           run's figure with the line round trip before and
//                           after it (the placement) and its polls per message
// With ORVIX_BENCH_JSON naming a file, the tables are also appended to it, one
// JSON object per line ({"title", "columns", "rows"}), as the Python benchmarks do.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

#if __has_include(<readerwriterqueue/readerwriterqueue.h>)
#include <readerwriterqueue/readerwritercircularbuffer.h>
#include <readerwriterqueue/readerwriterqueue.h>
#define ORVIX_BENCH_HAVE_RWQ 1
#endif
#if __has_include(<concurrentqueue/blockingconcurrentqueue.h>)
#include <concurrentqueue/blockingconcurrentqueue.h>
#define ORVIX_BENCH_HAVE_CQ 1
#endif

// Counts, per thread, each time a side of the ring reads the other's index afresh.
#define ORVIX_RINGQ_COUNT_REREADS 1
#include "orvix/ringq/spsc_ring.hpp"

using namespace orvix::ringq;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMessageSize = 64;
constexpr std::size_t kCapacity = 16384;
using Slot = std::array<char, kMessageSize>;

struct Settings {
    int rounds = 10;
    std::uint64_t spin_messages = 5'000'000, lock_messages = 500'000, trips = 100'000, lock_trips = 5'000;
} settings;

std::unique_ptr<SpscRing> make_ring(const RingOptions& options)
{
    RingError error;
    auto ring = SpscRing::create(options, error);
    if (!ring) {
        std::fprintf(stderr, "bench_ring: %s\n", describe(error));
        std::exit(1);
    }
    return ring;
}

void pin_to_cpu(int cpu)
{
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu % static_cast<int>(std::max(1u, std::thread::hardware_concurrency())), &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
#else
    (void)cpu;
#endif
}

// ---- pauses of the whole machine ----
// A thread that sleeps 2 ms at a time and records every wake-up that came
// over 20 ms late: a round that overlaps one says nothing about its queue.
class MachinePauses {
public:
    MachinePauses()
        : watcher_([this] {
              auto last = Clock::now();
              while (!stop_.load(std::memory_order_relaxed)) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
                  const auto now = Clock::now();
                  if (now - last > std::chrono::milliseconds(20)) {
                      std::lock_guard lock(mutex_);
                      seen_.emplace_back(last, now);
                  }
                  last = now;
              }
          })
    {
    }
    ~MachinePauses()
    {
        stop_ = true;
        watcher_.join();
    }
    bool during(Clock::time_point start, Clock::time_point end)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));  // a pause that just ended is recorded by then
        std::lock_guard lock(mutex_);
        return std::any_of(seen_.begin(), seen_.end(), [&](auto& p) { return p.first < end && p.second > start; });
    }
    int remeasured = 0, still_paused = 0;

private:
    std::mutex mutex_;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> seen_;
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};
MachinePauses* g_pauses = nullptr;

// One measured run: its figure and the polls per message that found the queue
// empty (consumer) or full (producer).
struct Run {
    double value = 0, empty_polls = 0, full_polls = 0, tail_rereads = 0, head_rereads = 0;
};

double line_round_trip_ns();

// ---- how far apart the two CPUs are ----
// A virtual machine's host may run its two CPUs on cores that share a cache
// or on cores that do not: the time a cache line takes to go from one CPU to
// the other and back then differs by a factor of about three (here ~200 ns
// against ~600 ns), for seconds at a time. Every queue that hands lines
// across pays it, so a round measured while the CPUs were far apart says
// nothing about the queues. The near placement is taken as the lower
// quartile of the round trips seen so far: one lucky probe does not set it.
struct CpuDistance {
    std::vector<double> trips;
    int remeasured = 0, still_far = 0;
    double usual_trip() const  // not near(): windows.h defines near and far as macros
    {
        std::vector<double> v = trips;
        std::nth_element(v.begin(), v.begin() + v.size() / 4, v.end());
        return v[v.size() / 4];
    }
    // Whether the round trip now is over twice the near one's (and remembers it).
    bool far_apart()
    {
        const double trip = line_round_trip_ns();
        trips.push_back(trip);
        return trip > 2 * usual_trip();
    }
} g_distance;

// Runs `run`, again (up to three times in all) while the machine paused
// meanwhile or its two CPUs were far apart before or after.
Run guarded(const std::function<Run()>& run)
{
    for (int attempt = 0;; ++attempt) {
        const bool far_before = g_distance.far_apart();
        const auto start = Clock::now();
        Run r = run();
        const bool paused = g_pauses->during(start, Clock::now());
        const bool apart = g_distance.far_apart() || far_before;
        if (!paused && !apart) return r;
        if (attempt == 2) {
            ++(paused ? g_pauses->still_paused : g_distance.still_far);
            return r;
        }
        ++(paused ? g_pauses->remeasured : g_distance.remeasured);
    }
}

// Runs producer and consumer on two pinned threads; returns the seconds taken.
double timed_pair(const std::function<void()>& producer, const std::function<void()>& consumer)
{
    std::atomic<bool> go{false};
    std::thread p([&] {
        pin_to_cpu(0);
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        producer();
    });
    pin_to_cpu(1);
    const auto start = Clock::now();
    go.store(true, std::memory_order_release);
    consumer();
    p.join();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Nanoseconds for one cache line to go from CPU 0 to CPU 1 and back.
double line_round_trip_ns()
{
    constexpr int kTrips = 20'000;
    alignas(128) std::atomic<int> turn{0};
    const double s = timed_pair(
        [&] {
            for (int i = 0; i < kTrips; ++i) {
                while (turn.load(std::memory_order_acquire) != 2 * i + 1) cpu_relax();
                turn.store(2 * i + 2, std::memory_order_release);
            }
        },
        [&] {
            for (int i = 0; i < kTrips; ++i) {
                turn.store(2 * i + 1, std::memory_order_release);
                while (turn.load(std::memory_order_acquire) != 2 * i + 2) cpu_relax();
            }
        });
    return s * 1e9 / kTrips;
}

// ---- the baseline: a bounded deque of 64-byte messages behind one mutex ----
struct DequeQueue {
    std::mutex mutex;
    std::condition_variable not_empty, not_full;
    std::deque<Slot> items;

    bool try_push(const Slot& data)
    {
        std::lock_guard lock(mutex);
        if (items.size() == kCapacity) return false;
        items.push_back(data);
        return true;
    }
    bool try_pop(Slot& out)
    {
        std::lock_guard lock(mutex);
        if (items.empty()) return false;
        out = items.front();
        items.pop_front();
        return true;
    }
    void push_blocking(const Slot& data)
    {
        std::unique_lock lock(mutex);
        not_full.wait(lock, [&] { return items.size() < kCapacity; });
        items.push_back(data);
        lock.unlock();
        not_empty.notify_one();
    }
    void pop_blocking(Slot& out)
    {
        std::unique_lock lock(mutex);
        not_empty.wait(lock, [&] { return !items.empty(); });
        out = items.front();
        items.pop_front();
        lock.unlock();
        not_full.notify_one();
    }
};

volatile std::uint64_t g_sink;  // keeps the consumers' reads alive

// Moves n messages from one pinned thread to the other. push(message, full)
// stores one, counting in `full` the tries that found the queue full;
// pop(out, empty) copies one out into `out`, counting in `empty` the tries
// that found it empty. The consumer reads each message's first byte.
template <class Push, class Pop> Run throughput(std::uint64_t n, Push push, Pop pop)
{
    std::uint64_t full = 0, empty = 0, head_rereads = 0, tail_rereads = 0;
    using orvix::ringq::index_rereads::count;
    const double s = timed_pair(
        [&] {
            Slot msg{};
            std::uint64_t f = 0;
            const std::uint64_t rereads = count;
            for (std::uint64_t i = 0; i < n; ++i) {
                std::memcpy(msg.data(), &i, sizeof i);
                push(msg, f);
            }
            full = f;
            head_rereads = count - rereads;
        },
        [&] {
            Slot out;
            std::uint64_t sum = 0, e = 0;
            const std::uint64_t rereads = count;
            for (std::uint64_t i = 0; i < n; ++i) {
                pop(out, e);
                sum += static_cast<unsigned char>(out[0]);
            }
            g_sink = sum;
            empty = e;
            tail_rereads = count - rereads;
        });
    return {n / s, double(empty) / n, double(full) / n, double(tail_rereads) / n, double(head_rereads) / n};
}

// Spins until `attempt()` succeeds, counting the failed tries.
template <class Attempt> void spin(std::uint64_t& failed, Attempt attempt)
{
    while (!attempt()) {
        ++failed;
        cpu_relax();
    }
}

Run ring_spinning(std::uint64_t n)
{
    auto ring = make_ring({kMessageSize, kCapacity});
    return throughput(
        n, [&](const Slot& m, std::uint64_t& f) { spin(f, [&] { return ring->push(m.data(), kMessageSize) == kStored; }); },
        [&](Slot& out, std::uint64_t& e) {
            Message m;
            // try_pop copies the message out (into the ring's buffer for the
            // consumer): that is this queue's one copy out, as the peers' is
            // into `out`; only the byte the harness reads is taken from it.
            spin(e, [&] { return ring->try_pop(m) == kHandedOut; });
            out[0] = m.data[0];
        });
}

Run ring_blocking(std::uint64_t n)
{
    auto ring = make_ring({kMessageSize, kCapacity, false, false, true});
    return throughput(
        n, [&](const Slot& m, std::uint64_t&) { ring->push_notify(m.data(), kMessageSize); },  // waits while full
        [&](Slot& out, std::uint64_t&) {
            Message m;
            ring->wait_front(m);
            std::memcpy(out.data(), m.data, kMessageSize);
            ring->pop_front();
        });
}

Run deque_spinning(std::uint64_t n)
{
    DequeQueue q;
    return throughput(
        n, [&](const Slot& m, std::uint64_t& f) { spin(f, [&] { return q.try_push(m); }); },
        [&](Slot& out, std::uint64_t& e) { spin(e, [&] { return q.try_pop(out); }); });
}

Run deque_blocking(std::uint64_t n)
{
    DequeQueue q;
    return throughput(
        n, [&](const Slot& m, std::uint64_t&) { q.push_blocking(m); }, [&](Slot& out, std::uint64_t&) { q.pop_blocking(out); });
}

// ---- a bound: the textbook ring ----
// Per-message SPSC ring in its barest form: 64-byte slots and two indices,
// each side caching the other's, no lengths, no counters, no modes. Its
// figure says what publishing every message costs on this machine.
struct BareRing {
    alignas(128) std::atomic<std::uint64_t> tail{0};
    alignas(128) std::atomic<std::uint64_t> head{0};
    alignas(128) std::uint64_t produced = 0, room_until = kCapacity;
    alignas(128) std::uint64_t consumed = 0, readable_until = 0;
    alignas(128) Slot slots[kCapacity];

    bool push(const Slot& m)
    {
        if (produced == room_until) {
            // Acquire: the consumer's reads of the slot happen before we write it again.
            room_until = head.load(std::memory_order_acquire) + kCapacity;
            if (produced == room_until) return false;
        }
        std::memcpy(&slots[produced % kCapacity], &m, sizeof m);
        tail.store(++produced, std::memory_order_release);  // the slot's bytes before the index
        return true;
    }
    bool pop(Slot& out)
    {
        if (consumed == readable_until) {
            readable_until = tail.load(std::memory_order_acquire);  // pairs with push's release
            if (consumed == readable_until) return false;
        }
        std::memcpy(&out, &slots[consumed % kCapacity], sizeof out);
        head.store(++consumed, std::memory_order_release);  // our read before its reuse
        return true;
    }
};

Run bare_spinning(std::uint64_t n)
{
    auto q = std::make_unique<BareRing>();
    return throughput(
        n, [&](const Slot& m, std::uint64_t& f) { spin(f, [&] { return q->push(m); }); },
        [&](Slot& out, std::uint64_t& e) { spin(e, [&] { return q->pop(out); }); });
}

#ifdef ORVIX_BENCH_HAVE_RWQ
// try_enqueue never allocates: the queue holds kCapacity, as the ring does.
Run rwq_spinning(std::uint64_t n)
{
    moodycamel::ReaderWriterQueue<Slot> q(kCapacity);
    return throughput(
        n, [&](const Slot& m, std::uint64_t& f) { spin(f, [&] { return q.try_enqueue(m); }); },
        [&](Slot& out, std::uint64_t& e) { spin(e, [&] { return q.try_dequeue(out); }); });
}

// The bounded blocking form: both sides sleep on a semaphore, as the ring's do on a futex.
Run rwq_blocking(std::uint64_t n)
{
    moodycamel::BlockingReaderWriterCircularBuffer<Slot> q(kCapacity);
    return throughput(
        n, [&](const Slot& m, std::uint64_t&) { q.wait_enqueue(m); },
        [&](Slot& out, std::uint64_t&) { q.wait_dequeue(out); });
}
#endif

#ifdef ORVIX_BENCH_HAVE_CQ
// With a token per side (its fastest single-producer form); try_enqueue
// stays within the blocks allocated up front for kCapacity.
Run cq_spinning(std::uint64_t n)
{
    moodycamel::ConcurrentQueue<Slot> q(kCapacity);
    moodycamel::ProducerToken pt(q);
    moodycamel::ConsumerToken ct(q);
    return throughput(
        n, [&](const Slot& m, std::uint64_t& f) { spin(f, [&] { return q.try_enqueue(pt, m); }); },
        [&](Slot& out, std::uint64_t& e) { spin(e, [&] { return q.try_dequeue(ct, out); }); });
}

// The consumer sleeps (wait_dequeue); the queue has no wait for room, so a
// producer that finds it full yields and tries again.
Run cq_blocking(std::uint64_t n)
{
    moodycamel::BlockingConcurrentQueue<Slot> q(kCapacity);
    moodycamel::ProducerToken pt(q);
    moodycamel::ConsumerToken ct(q);
    return throughput(
        n,
        [&](const Slot& m, std::uint64_t& f) {
            while (!q.try_enqueue(pt, m)) {
                ++f;
                std::this_thread::yield();
            }
        },
        [&](Slot& out, std::uint64_t&) { q.wait_dequeue(ct, out); });
}
#endif

// ---- round trips: ping-pong through two queues, nanoseconds per round trip ----
template <class Queue, class Send, class Receive> Run round_trip(std::uint64_t n, Send send, Receive receive)
{
    Queue ping, pong;
    const double s = timed_pair(
        [&] {
            Slot msg{};
            for (std::uint64_t i = 0; i < n; ++i) {
                send(ping, msg);
                receive(pong, msg);
            }
        },
        [&] {
            Slot msg{};
            for (std::uint64_t i = 0; i < n; ++i) {
                receive(ping, msg);
                send(pong, msg);
            }
        });
    return {s * 1e9 / n};
}

struct RingQueue {
    static constexpr RingOptions kOptions{kMessageSize, kCapacity};
    std::unique_ptr<SpscRing> ring = make_ring(kOptions);
};

Run ring_round_trip(std::uint64_t n)
{
    return round_trip<RingQueue>(
        n, [](RingQueue& q, const Slot& m) { q.ring->push_notify(m.data(), kMessageSize); },
        [](RingQueue& q, Slot& out) {
            Message m;
            q.ring->wait_front(m);
            std::memcpy(out.data(), m.data, kMessageSize);
            q.ring->pop_front();
        });
}

Run deque_round_trip(std::uint64_t n)
{
    return round_trip<DequeQueue>(
        n, [](DequeQueue& q, const Slot& m) { q.push_blocking(m); }, [](DequeQueue& q, Slot& out) { q.pop_blocking(out); });
}

#ifdef ORVIX_BENCH_HAVE_RWQ
struct RwqBlocking : moodycamel::BlockingReaderWriterCircularBuffer<Slot> {
    RwqBlocking() : moodycamel::BlockingReaderWriterCircularBuffer<Slot>(kCapacity) {}
};
Run rwq_round_trip(std::uint64_t n)
{
    return round_trip<RwqBlocking>(
        n, [](RwqBlocking& q, const Slot& m) { q.wait_enqueue(m); }, [](RwqBlocking& q, Slot& out) { q.wait_dequeue(out); });
}
#endif

// ---- bursts ----
//
// kBurst messages per burst push, or every message present (up to kBurst)
// per burst pop: one publish, or one acquire of the tail and one release of
// head, for the lot. Every case copies each message in and out once (the
// burst pop copies into the consumer's buffer as try_pop copies into its own).
constexpr std::size_t kBurst = 256;

struct BurstBuffers {
    std::array<char, kBurst * kMessageSize> data{};
    std::array<std::size_t, kBurst> ends{};
    Burst burst() { return {data.data(), data.size(), ends.data(), kBurst}; }
};

// The producer pushes one at a time (`burst_push` false) or kBurst at a time;
// the consumer pops one at a time (`burst_pop` false, the plain per-message
// ring) or a burst at a time. Messages per second.
Run ring_bursts(std::uint64_t n, bool burst_push, bool burst_pop)
{
    auto ring = make_ring({kMessageSize, kCapacity});
    const double s = timed_pair(
        [&] {
            std::array<char, kBurst * kMessageSize> bytes{};
            std::array<Message, kBurst> messages;
            for (std::size_t i = 0; i < kBurst; ++i) messages[i] = {bytes.data() + i * kMessageSize, kMessageSize};
            for (std::uint64_t i = 0; i < n;) {
                if (!burst_push) {
                    std::memcpy(bytes.data(), &i, sizeof i);
                    while (ring->push(bytes.data(), kMessageSize) != kStored) cpu_relax();
                    ++i;
                    continue;
                }
                const std::size_t k = std::min<std::uint64_t>(kBurst, n - i);
                for (std::size_t j = 0; j < k; ++j) {
                    const std::uint64_t seq = i + j;
                    std::memcpy(bytes.data() + j * kMessageSize, &seq, sizeof seq);
                }
                for (std::size_t from = 0; from < k;) {
                    from += ring->push_burst(messages.data() + from, k - from, nullptr, false, false);
                    if (from < k) cpu_relax();
                }
                i += k;
            }
        },
        [&] {
            std::uint64_t sum = 0, got = 0;
            BurstBuffers buffers;
            while (got < n) {
                if (!burst_pop) {
                    Message m;
                    while (ring->try_pop(m) != kHandedOut) cpu_relax();
                    sum += static_cast<unsigned char>(m.data[0]);
                    ++got;
                    continue;
                }
                Burst b = buffers.burst();
                while (ring->try_pop_burst(b, false) != kHandedOut) cpu_relax();
                sum += static_cast<unsigned char>(b.buffer[0]) + b.count;
                got += b.count;
            }
            g_sink = sum;
        });
    return {n / s};
}

#ifdef ORVIX_BENCH_HAVE_CQ
// The same bursts through ConcurrentQueue's bulk calls, which copy as the ring's do.
Run cq_bursts(std::uint64_t n)
{
    moodycamel::ConcurrentQueue<Slot> q(kCapacity);
    moodycamel::ProducerToken pt(q);
    moodycamel::ConsumerToken ct(q);
    const double s = timed_pair(
        [&] {
            std::array<Slot, kBurst> slots{};
            for (std::uint64_t i = 0; i < n;) {
                const std::size_t k = std::min<std::uint64_t>(kBurst, n - i);
                for (std::size_t j = 0; j < k; ++j) {
                    const std::uint64_t seq = i + j;
                    std::memcpy(slots[j].data(), &seq, sizeof seq);
                }
                while (!q.try_enqueue_bulk(pt, slots.data(), k)) cpu_relax();
                i += k;
            }
        },
        [&] {
            std::array<Slot, kBurst> out;
            std::uint64_t sum = 0, got = 0;
            while (got < n) {
                std::size_t k;
                while ((k = q.try_dequeue_bulk(ct, out.data(), kBurst)) == 0) cpu_relax();
                sum += static_cast<unsigned char>(out[0][0]) + k;
                got += k;
            }
            g_sink = sum;
        });
    return {n / s};
}
#endif

// ---- tables ----

struct Contender {
    std::string name;
    std::function<Run()> run;
};

struct Figures {
    std::string name;
    std::vector<Run> runs;
    double median(double Run::*field) const
    {
        std::vector<double> v;
        for (auto& r : runs) v.push_back(r.*field);
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double min() const { return std::min_element(runs.begin(), runs.end(), by_value)->value; }
    double max() const { return std::max_element(runs.begin(), runs.end(), by_value)->value; }
    static bool by_value(const Run& a, const Run& b) { return a.value < b.value; }
};

// Every contender once per round, in turn, `rounds` rounds.
std::vector<Figures> interleaved(const std::vector<Contender>& contenders, int rounds)
{
    std::vector<Figures> figures;
    for (auto& c : contenders) figures.push_back({c.name, {}});
    for (int r = 0; r < rounds; ++r)
        for (std::size_t i = 0; i < contenders.size(); ++i) figures[i].runs.push_back(guarded(contenders[i].run));
    return figures;
}

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

struct Table {
    std::string title;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;  // cells as JSON values: numbers bare, text quoted

    void print() const
    {
        std::printf("\n%s\n", title.c_str());
        std::vector<std::size_t> widths;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            std::size_t w = columns[i].size();
            for (auto& r : rows) w = std::max(w, shown(r[i]).size());
            widths.push_back(w);
        }
        auto line = [&](auto cell) {
            std::string text = " ";
            for (std::size_t i = 0; i < columns.size(); ++i) {
                const std::string v = cell(i);
                const std::string pad(widths[i] - v.size(), ' ');
                text += " " + (i < 2 ? v + pad : pad + v);
            }
            std::printf("%s\n", text.c_str());
        };
        line([&](std::size_t i) { return columns[i]; });
        for (auto& r : rows) line([&](std::size_t i) { return shown(r[i]); });
    }
    void append_json(const char* path) const
    {
        if (!path) return;
        FILE* f = std::fopen(path, "a");
        if (!f) return;
        std::string out = "{\"title\": " + json_string(title) + ", \"columns\": [";
        for (std::size_t i = 0; i < columns.size(); ++i) out += (i ? ", " : "") + json_string(columns[i]);
        out += "], \"rows\": [";
        for (std::size_t r = 0; r < rows.size(); ++r) {
            out += r ? ", [" : "[";
            for (std::size_t i = 0; i < rows[r].size(); ++i) out += (i ? ", " : "") + rows[r][i];
            out += "]";
        }
        std::fprintf(f, "%s]}\n", out.c_str());
        std::fclose(f);
    }
    static std::string shown(const std::string& cell) { return cell.front() == '"' ? cell.substr(1, cell.size() - 2) : cell; }
};

std::string number(double v, int decimals = 2)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// One row per queue of a case: median, min, max (in `scale` units) and the
// ring's median over this queue's (the ring's row says 1.00); for spinning
// cases also the empty and full polls per message.
void add_rows(Table& table, const std::string& case_name, const std::vector<Figures>& figures, double scale,
              bool higher_is_better, bool polls)
{
    const double ours = figures[0].median(&Run::value);
    for (auto& f : figures) {
        const double m = f.median(&Run::value);
        std::vector<std::string> row = {json_string(case_name), json_string(f.name), number(m / scale),
                                        number(f.min() / scale), number(f.max() / scale),
                                        number(higher_is_better ? ours / m : m / ours)};
        if (polls) {
            row.push_back(number(f.median(&Run::empty_polls)));
            row.push_back(number(f.median(&Run::full_polls)));
            const bool ring = &f == &figures[0];  // only the ring counts its index re-reads
            row.push_back(ring ? number(f.median(&Run::tail_rereads), 3) : json_string("-"));
            row.push_back(ring ? number(f.median(&Run::head_rereads), 3) : json_string("-"));
        }
        table.rows.push_back(row);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--short") == 0) settings = {3, 500'000, 50'000, 10'000, 1'000};
    if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) {
        for (int i = 0, n = std::atoi(argv[2]); i < n; ++i) {
            const double trip = line_round_trip_ns();
            const Run r = ring_spinning(settings.spin_messages);
            std::printf("run %2d: %6.1f M msg/s, line round trip %4.0f ns before and %4.0f ns after, empty "
                        "polls/msg %.2f, full polls/msg %.2f, tail re-reads/msg %.3f, head re-reads/msg %.3f\n",
                        i + 1, r.value / 1e6, trip, line_round_trip_ns(), r.empty_polls, r.full_polls,
                        r.tail_rereads, r.head_rereads);
        }
        return 0;
    }
    MachinePauses pauses;
    g_pauses = &pauses;
    const char* json = std::getenv("ORVIX_BENCH_JSON");
    const auto S = settings;

    std::vector<Contender> spinning = {{"orvix ring", [&] { return ring_spinning(S.spin_messages); }},
                                       {"bare ring: slots and two indices", [&] { return bare_spinning(S.spin_messages); }}};
    std::vector<Contender> blocking = {{"orvix ring", [&] { return ring_blocking(S.spin_messages); }}};
    std::vector<Contender> trips = {{"orvix ring", [&] { return ring_round_trip(S.trips); }}};
    std::string missing;
#ifdef ORVIX_BENCH_HAVE_RWQ
    spinning.push_back({"ReaderWriterQueue", [&] { return rwq_spinning(S.spin_messages); }});
    blocking.push_back({"BlockingReaderWriterCircularBuffer", [&] { return rwq_blocking(S.spin_messages); }});
    trips.push_back({"BlockingReaderWriterCircularBuffer", [&] { return rwq_round_trip(S.trips); }});
#else
    missing += " ReaderWriterQueue (libreaderwriterqueue-dev)";
#endif
#ifdef ORVIX_BENCH_HAVE_CQ
    spinning.push_back({"ConcurrentQueue", [&] { return cq_spinning(S.spin_messages); }});
    blocking.push_back({"BlockingConcurrentQueue (producer yields)", [&] { return cq_blocking(S.spin_messages); }});
#else
    missing += " ConcurrentQueue (libconcurrentqueue-dev)";
#endif
    spinning.push_back({"mutex+deque", [&] { return deque_spinning(S.lock_messages); }});
    blocking.push_back({"mutex+deque+condvar", [&] { return deque_blocking(S.lock_messages); }});
    trips.push_back({"mutex+deque+condvar", [&] { return deque_round_trip(S.lock_trips); }});

    char title[512];
    std::snprintf(title, sizeof title,
                  "Ring against lock-free peers: %zu-byte messages copied in and out, capacity %zu, threads pinned "
                  "to CPUs 0 and 1, median of %d interleaved rounds (min-max)%s%s",
                  kMessageSize, kCapacity, S.rounds, missing.empty() ? "" : "; not installed, left out:",
                  missing.c_str());
    Table ring{title, {"case", "queue", "median", "min", "max", "ratio", "empty polls/msg", "full polls/msg",
                                 "tail re-reads/msg", "head re-reads/msg"}, {}};
    add_rows(ring, "throughput, spinning (M msg/s)", interleaved(spinning, S.rounds), 1e6, true, true);
    add_rows(ring, "throughput, blocking (M msg/s)", interleaved(blocking, S.rounds), 1e6, true, false);
    add_rows(ring, "round trip, blocking (us)", interleaved(trips, S.rounds), 1e3, false, false);
    for (auto& r : ring.rows)
        if (r.size() < ring.columns.size()) r.resize(ring.columns.size(), "\"-\"");
    ring.print();
    ring.append_json(json);

    std::vector<Contender> bursts = {
        {"per-message ring", [&] { return ring_bursts(S.spin_messages, false, false); }},
        {"ring: burst pop, single pushes", [&] { return ring_bursts(S.spin_messages, false, true); }},
        {"ring: burst push, single pops", [&] { return ring_bursts(S.spin_messages, true, false); }},
        {"ring: burst push + burst pop", [&] { return ring_bursts(S.spin_messages, true, true); }},
    };
#ifdef ORVIX_BENCH_HAVE_CQ
    bursts.push_back({"ConcurrentQueue: bulk enqueue + bulk dequeue", [&] { return cq_bursts(S.spin_messages); }});
#endif
    std::snprintf(title, sizeof title,
                  "Ring bursts: %zu-byte messages copied in and out, bursts of up to %zu, spinning, median of %d "
                  "interleaved rounds (min-max); ratio: over the per-message ring",
                  kMessageSize, kBurst, S.rounds);
    Table burst{title, {"case", "queue", "median", "min", "max", "ratio"}, {}};
    auto figures = interleaved(bursts, S.rounds);
    // The ratio here is each row over the per-message ring (higher: the burst gains).
    const double single = figures[0].median(&Run::value);
    for (auto& f : figures) {
        const double m = f.median(&Run::value);
        burst.rows.push_back({json_string("M msg/s"), json_string(f.name), number(m / 1e6), number(f.min() / 1e6),
                              number(f.max() / 1e6), number(m / single)});
    }
    burst.print();
    burst.append_json(json);

    char least[64];
    std::snprintf(least, sizeof least, "%.0f", g_distance.trips.empty() ? 0.0 : g_distance.usual_trip());
    Table paused{"Ring machine pauses: rounds during which the machine stopped for over 20 ms, or its two CPUs "
                 "were far apart (a cache line's round trip between them over twice the lower quartile of those seen)",
                 {"rows", "count"},
                 {{json_string("paused: measured again"), std::to_string(pauses.remeasured)},
                  {json_string("paused: still hit after 3 tries"), std::to_string(pauses.still_paused)},
                  {json_string("CPUs far apart: measured again"), std::to_string(g_distance.remeasured)},
                  {json_string("CPUs far apart: still after 3 tries"), std::to_string(g_distance.still_far)},
                  {json_string("line round trip, lower quartile (ns)"), least}}};
    paused.print();
    paused.append_json(json);
    return 0;
}
