// The native ends of bench_net.py: a UDP sender process and the plain C
// receive loop the receivers are measured against.
//
//     bench_udp send HOST PORT COUNT SIZE [RATE]
//         sends COUNT datagrams of SIZE bytes (at least 16) with sendmmsg, 64 at a
//         time as fast as the kernel takes them, or one at a time at RATE per
//         second; datagram seq carries seq (u64 LE) and its send time (u64 LE, ns
//         of CLOCK_MONOTONIC, time.monotonic_ns()'s clock). Prints
//         "start_ns end_ns sent".
//     bench_udp soak HOST PORT COUNT WINDOW MODULUS
//         the soak's sender: prints "port P" (its own socket's), then sends COUNT
//         datagrams of 16 bytes, datagram seq carrying seq % MODULUS (u64 LE) and
//         zeros, never more than WINDOW beyond the count its receiver last
//         reported: the receiver sends the number of datagrams it has delivered
//         (u64 LE) to port P. Loopback UDP has no flow control of its own; this
//         one keeps the socket buffer from overflowing, so a loss is a fault.
//     bench_udp recv PORT COUNT
//         binds 127.0.0.1:PORT (0: any free port), prints "port P", then receives
//         with recvmmsg (64 at a time, after a poll) until COUNT datagrams arrived
//         or none came for a second, reading each datagram's sequence number.
//         Prints "received R drops D first_ns last_ns" (drops: the socket's, from
//         SO_MEMINFO; the times of the first and last receive, CLOCK_MONOTONIC).
#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

namespace {

constexpr int kBurst = 64;
constexpr int kReceiveBuffer = 4 << 20;

std::int64_t now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// kBurst datagrams of `size` bytes side by side, described for sendmmsg / recvmmsg
// (to `to` when given; a connected or receiving socket needs no address).
struct Datagrams {
    std::vector<char> bytes;
    std::vector<iovec> vectors;
    std::vector<mmsghdr> headers;

    Datagrams(std::size_t size, sockaddr_in* to = nullptr)
        : bytes(kBurst * size, 0), vectors(kBurst), headers(kBurst) {
        for (int i = 0; i < kBurst; ++i) {
            vectors[i] = {bytes.data() + i * size, size};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_name = to;
            headers[i].msg_hdr.msg_namelen = to ? sizeof *to : 0;
        }
    }
    char* at(int i, std::size_t size) { return bytes.data() + i * size; }
};

int fail(const char* what) {
    std::perror(what);
    return 1;
}

int send(const char* host, int port, long long count, std::size_t size, double rate) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || inet_pton(AF_INET, host, &to.sin_addr) != 1) return fail("socket");
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) return fail("connect");
    Datagrams out(size);
    const std::int64_t start = now_ns();
    long long seq = 0;
    while (seq < count) {
        int n = rate > 0 ? 1 : static_cast<int>(std::min<long long>(kBurst, count - seq));
        if (rate > 0) {
            const std::int64_t due = start + static_cast<std::int64_t>(static_cast<double>(seq) * 1e9 / rate);
            while (now_ns() < due) {
                const std::int64_t left = due - now_ns();
                if (left > 100'000) {
                    timespec pause{0, left - 50'000};
                    nanosleep(&pause, nullptr);
                }
            }
        }
        const std::int64_t stamp = now_ns();
        for (int i = 0; i < n; ++i) {
            const std::uint64_t s = static_cast<std::uint64_t>(seq + i);
            std::memcpy(out.at(i, size), &s, 8);
            std::memcpy(out.at(i, size) + 8, &stamp, 8);
        }
        const int sent = sendmmsg(fd, out.headers.data(), static_cast<unsigned>(n), 0);
        if (sent < 0) {
            // No receiver yet (a port unreachable answer), or no buffer: try again.
            if (errno == ECONNREFUSED || errno == ENOBUFS || errno == EAGAIN || errno == EINTR) continue;
            return fail("sendmmsg");
        }
        seq += sent;
    }
    std::printf("%lld %lld %lld\n", static_cast<long long>(start), static_cast<long long>(now_ns()), seq);
    return 0;
}

int soak(const char* host, int port, long long count, long long window, unsigned long long modulus) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) < 0)
        return fail("bind");
    std::printf("port %d\n", ntohs(at.sin_port));
    std::fflush(stdout);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host, &to.sin_addr) != 1) return fail("inet_pton");
    // Not connected: a connected socket would refuse the credits, which come from another port.
    constexpr std::size_t kSize = 16;
    Datagrams out(kSize, &to);
    const std::int64_t start = now_ns();
    long long seq = 0, delivered = 0;
    while (seq < count) {
        // Credits: wait for one when the window is full, else take what has come.
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            const int ready = poll(&p, 1, seq - delivered >= window ? 30'000 : 0);
            if (ready == 0 && seq - delivered >= window) {
                std::fprintf(stderr, "no credit for 30 s: %lld sent, %lld delivered\n", seq, delivered);
                return 1;
            }
            if (ready <= 0) break;
            std::uint64_t credit;
            if (recv(fd, &credit, sizeof credit, MSG_DONTWAIT) == sizeof credit)
                delivered = std::max(delivered, static_cast<long long>(credit));
        }
        const int n = static_cast<int>(std::min<long long>({kBurst, count - seq, window - (seq - delivered)}));
        for (int i = 0; i < n; ++i) {
            const std::uint64_t s = static_cast<std::uint64_t>(seq + i) % modulus;
            std::memcpy(out.at(i, kSize), &s, 8);
        }
        const int sent = sendmmsg(fd, out.headers.data(), static_cast<unsigned>(n), 0);
        if (sent < 0) {
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) continue;
            return fail("sendmmsg");
        }
        seq += sent;
    }
    std::printf("%lld %lld %lld\n", static_cast<long long>(start), static_cast<long long>(now_ns()), seq);
    return 0;
}

int receive(int port, long long count) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<std::uint16_t>(port));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) < 0) return fail("bind");
    socklen_t length = sizeof at;
    getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
    std::printf("port %d\n", ntohs(at.sin_port));
    std::fflush(stdout);
    constexpr std::size_t kLargest = 65536;
    Datagrams in(kLargest);
    long long received = 0;
    std::uint64_t sum = 0;
    std::int64_t first = 0, last = 0;
    while (received < count) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) == 0 && received > 0) break;   // the sender is done
        const int n = recvmmsg(fd, in.headers.data(), kBurst, MSG_DONTWAIT, nullptr);
        if (n <= 0) continue;
        last = now_ns();
        if (first == 0) first = last;
        for (int i = 0; i < n; ++i) {   // touch each datagram
            std::uint64_t seq;
            std::memcpy(&seq, in.at(i, kLargest), sizeof seq);
            sum += seq;
        }
        received += n;
    }
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    length = sizeof info;
    getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length);
    std::printf("received %lld drops %u first_ns %lld last_ns %lld sum %llu\n", received, info[SK_MEMINFO_DROPS],
                static_cast<long long>(first), static_cast<long long>(last), static_cast<unsigned long long>(sum));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::strcmp(argv[1], "send") == 0)
        return send(argv[2], std::atoi(argv[3]), std::atoll(argv[4]), std::max<std::size_t>(16, std::atoll(argv[5])),
                    argc > 6 ? std::atof(argv[6]) : 0.0);
    if (argc == 7 && std::strcmp(argv[1], "soak") == 0)
        return soak(argv[2], std::atoi(argv[3]), std::atoll(argv[4]), std::max(1LL, std::atoll(argv[5])),
                    std::max(1ULL, std::strtoull(argv[6], nullptr, 10)));
    if (argc == 4 && std::strcmp(argv[1], "recv") == 0) return receive(std::atoi(argv[2]), std::atoll(argv[3]));
    std::fprintf(stderr, "usage: bench_udp send HOST PORT COUNT SIZE [RATE] | soak HOST PORT COUNT WINDOW MODULUS | recv PORT COUNT\n");
    return 2;
}
