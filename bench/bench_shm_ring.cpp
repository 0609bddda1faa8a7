// The native halves of bench/bench_shm.py (Linux), no Python in either:
//
//   bench_shm_ring native COUNT [ROUNDS]
//                                    COUNT 64-byte messages from a producer to a
//                                    consumer loop: in-process (a thread, the
//                                    engine's push) and across processes (a forked
//                                    child pushing with orvix/shm/producer.h into
//                                    a SharedRing's consumer); prints
//                                    "<case> <ns> <ns>..." per case, one figure per
//                                    round, ROUNDS (7) rounds interleaved
//   bench_shm_ring produce NAME COUNT [RATE]
//                                    a producer process for the Python consumers:
//                                    COUNT messages of 64 bytes (sequence number,
//                                    CLOCK_MONOTONIC send time in ns if paced, filler),
//                                    retried while full, paced at RATE msgs/s if given;
//                                    prints the CLOCK_MONOTONIC time of its first push
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "orvix/ringq/spsc_ring.hpp"
#include "orvix/shm/producer.h"
#include "orvix/shm/shared_mapping.hpp"

namespace {

using namespace orvix::ringq;
constexpr std::size_t kSize = 64;
constexpr std::size_t kCapacity = 1 << 16;

std::uint64_t now_ns()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

// Drains `count` messages with burst pops, spinning: the consumer loop.
void consume(SpscRing& ring, std::uint64_t count)
{
    std::vector<char> buffer(kSize * 4096);
    std::vector<std::size_t> ends(4096);
    std::uint64_t seen = 0, expected = 0;
    while (seen < count) {
        Burst burst{buffer.data(), buffer.size(), ends.data(), ends.size()};
        if (ring.try_pop_burst(burst, false) != kHandedOut) {
            cpu_relax();
            continue;
        }
        for (std::size_t i = 0; i < burst.count; ++i) {
            std::uint64_t seq;
            std::memcpy(&seq, buffer.data() + i * kSize, 8);
            if (seq != expected++) {
                std::fprintf(stderr, "out of order: %llu\n", static_cast<unsigned long long>(seq));
                std::exit(1);
            }
        }
        seen += burst.count;
    }
}

std::uint64_t in_process(std::uint64_t count)
{
    RingError error;
    auto ring = SpscRing::create({.slot_size = kSize, .capacity = kCapacity}, error);
    const std::uint64_t start = now_ns();
    std::thread producer([&] {
        char message[kSize] = {};
        for (std::uint64_t i = 0; i < count;) {
            std::memcpy(message, &i, 8);
            if (ring->push_notify(message, kSize) == kStored) ++i;
            else cpu_relax();
        }
    });
    consume(*ring, count);
    const std::uint64_t ns = now_ns() - start;
    producer.join();
    return ns;
}

// `started` (if given) receives the time of the first push.
int produce(const char* name, std::uint64_t count, double rate, std::uint64_t* started = nullptr)
{
    OrvixShmProducer p;
    if (orvix_shm_attach(&p, name) != 0) {
        std::perror("orvix_shm_attach");
        return 1;
    }
    char message[kSize] = {};
    const std::uint64_t start = now_ns();
    if (started) *started = start;
    for (std::uint64_t i = 0; i < count;) {
        if (rate > 0) {
            const auto due = start + static_cast<std::uint64_t>(static_cast<double>(i) * 1e9 / rate);
            while (now_ns() < due) cpu_relax();
        }
        std::memcpy(message, &i, 8);
        if (rate > 0) {   // latency runs stamp the send time; throughput runs, as the in-process producers, do not
            const std::uint64_t sent = now_ns();
            std::memcpy(message + 8, &sent, 8);
        }
        const int r = orvix_shm_push(&p, message, kSize);
        if (r == 1) ++i;
        else if (r == 0) cpu_relax();
        else return 2;
    }
    orvix_shm_detach(&p);
    return 0;
}

std::uint64_t across_processes(std::uint64_t count)
{
    const std::string name = "orvix-bench-" + std::to_string(getpid());
    orvix::shm::MappingError error;
    auto mapping = orvix::shm::SharedMapping::create(name, {kSize, kCapacity, false, false}, 0600, error);
    if (!mapping) {
        std::fprintf(stderr, "cannot create %s: %s %d\n", name.c_str(), error.message.c_str(), error.errno_value);
        std::exit(1);
    }
    orvix::shm::SharedMapping* raw = mapping.get();
    const RingOptions options = mapping->options();
    const RingLayout layout = mapping->layout();
    RingError ring_error;
    const RingSharing sharing = mapping->consumer_sharing();
    auto ring = SpscRing::over(std::move(mapping), options, layout, sharing, ring_error);
    const std::uint64_t start = now_ns();
    const pid_t child = fork();
    if (child == 0) _exit(produce(name.c_str(), count, 0));
    consume(*ring, count);
    const std::uint64_t ns = now_ns() - start;
    int status = 0;
    waitpid(child, &status, 0);
    raw->unlink_name();
    if (ring->corrupt() || !WIFEXITED(status) || WEXITSTATUS(status) != 0) std::exit(1);
    return ns;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "native";
    if (mode == "produce" && argc >= 4) {
        // The caller times a pass from the first push: the start is printed last.
        std::uint64_t started = 0;
        const int status = produce(argv[2], std::strtoull(argv[3], nullptr, 10), argc > 4 ? std::atof(argv[4]) : 0, &started);
        if (status == 0) std::printf("%llu\n", static_cast<unsigned long long>(started));
        return status;
    }
    const std::uint64_t count = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000000;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 7;
    std::string in_line = "in-process", across_line = "across-processes";
    for (int round = 0; round < rounds; ++round) {  // interleaved: a drift of the machine meets both cases
        in_line += " " + std::to_string(in_process(count));
        across_line += " " + std::to_string(across_processes(count));
    }
    std::printf("%s\n%s\n", in_line.c_str(), across_line.c_str());
    return 0;
}
