// The native ends of bench_net.py's ZeroMQ rows and of the ZeroMQ soak: a
// libzmq PUSH sender process and the plain libzmq PULL loop the receiver is
// measured against.
//
//     bench_zmq push ENDPOINT COUNT SIZE [RATE [MODULO]]
//         connects a PUSH socket to ENDPOINT and sends COUNT messages of SIZE
//         bytes (at least 16), as fast as libzmq takes them or at RATE per
//         second (0: as fast); message seq carries seq % MODULO (u64 LE; no
//         modulo when 0 or absent) and its send time (u64 LE, ns of
//         CLOCK_MONOTONIC, time.monotonic_ns()'s clock). Waits until every
//         message has left (ZMQ_LINGER -1), then prints "start_ns end_ns sent".
//     bench_zmq pull COUNT
//         binds a PULL socket to tcp://127.0.0.1:* and prints "endpoint E", then
//         receives COUNT messages with zmq_msg_recv, reading each one's sequence
//         number. Prints "received R first_ns last_ns" (the times of the first
//         and last receive, CLOCK_MONOTONIC).
#include <time.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

std::int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int fail(const char* what) {
    std::fprintf(stderr, "bench_zmq: %s: %s\n", what, zmq_strerror(zmq_errno()));
    return 1;
}

void put_le64(char* to, std::uint64_t value) {
    for (int b = 0; b < 8; ++b) to[b] = static_cast<char>(value >> (8 * b));
}

int push(void* context, const char* endpoint, long long count, std::size_t size, double rate,
         unsigned long long modulo) {
    void* socket = zmq_socket(context, ZMQ_PUSH);
    const int forever = -1;
    if (socket == nullptr || zmq_setsockopt(socket, ZMQ_LINGER, &forever, sizeof forever) != 0)
        return fail("socket");
    if (zmq_connect(socket, endpoint) != 0) return fail("connect");
    std::vector<char> message(size, 0);
    const std::int64_t start = now_ns();
    for (long long seq = 0; seq < count; ++seq) {
        if (rate > 0) {
            const std::int64_t due = start + static_cast<std::int64_t>(static_cast<double>(seq) * 1e9 / rate);
            while (now_ns() < due) {
                if (due - now_ns() > 200'000) std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
        const auto n = static_cast<std::uint64_t>(seq);
        put_le64(message.data(), modulo ? n % modulo : n);
        put_le64(message.data() + 8, static_cast<std::uint64_t>(now_ns()));
        while (zmq_send(socket, message.data(), size, 0) < 0)
            if (zmq_errno() != EINTR) return fail("send");
    }
    const std::int64_t end = now_ns();
    zmq_close(socket);   // returns at once; the context's termination waits for delivery
    zmq_ctx_term(context);
    std::printf("%lld %lld %lld\n", static_cast<long long>(start), static_cast<long long>(end), count);
    return 0;
}

int pull(void* context, long long count) {
    void* socket = zmq_socket(context, ZMQ_PULL);
    if (socket == nullptr || zmq_bind(socket, "tcp://127.0.0.1:*") != 0) return fail("bind");
    char endpoint[256];
    std::size_t length = sizeof endpoint;
    if (zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &length) != 0) return fail("endpoint");
    std::printf("endpoint %s\n", endpoint);
    std::fflush(stdout);
    std::int64_t first = 0, last = 0;
    std::uint64_t sum = 0;
    zmq_msg_t message;
    zmq_msg_init(&message);
    long long received = 0;
    for (; received < count; ++received) {
        while (zmq_msg_recv(&message, socket, 0) < 0)
            if (zmq_errno() != EINTR) return fail("receive");
        std::uint64_t seq = 0;
        std::memcpy(&seq, zmq_msg_data(&message), std::min<std::size_t>(8, zmq_msg_size(&message)));
        sum += seq;   // the message is read, as every contender reads it
        last = now_ns();
        if (received == 0) first = last;
    }
    zmq_msg_close(&message);
    zmq_close(socket);
    zmq_ctx_term(context);
    std::printf("received %lld %lld %lld\n", received, static_cast<long long>(first), static_cast<long long>(last));
    return sum == 0 && count > 1 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    void* context = zmq_ctx_new();
    if (context == nullptr) return fail("context");
    if (argc >= 5 && std::strcmp(argv[1], "push") == 0) {
        const std::size_t size = std::strtoull(argv[4], nullptr, 10);
        if (size < 16) {
            std::fprintf(stderr, "bench_zmq: SIZE must be at least 16\n");
            return 2;
        }
        return push(context, argv[2], std::atoll(argv[3]), size, argc > 5 ? std::atof(argv[5]) : 0.0,
                    argc > 6 ? std::strtoull(argv[6], nullptr, 10) : 0);
    }
    if (argc == 3 && std::strcmp(argv[1], "pull") == 0) return pull(context, std::atoll(argv[2]));
    std::fprintf(stderr, "usage: bench_zmq push ENDPOINT COUNT SIZE [RATE [MODULO]] | bench_zmq pull COUNT\n");
    return 2;
}
