#include "orvix/net/udp_source.hpp"

#include <fcntl.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace orvix::net {

using ringq::bump;

namespace {

// The largest UDP payload over IPv4 is 65507 bytes, over IPv6 65527
// (without jumbograms): a buffer of 64 KiB takes any of them whole.
constexpr std::size_t kLargestDatagram = 65536;
// Room for SO_RXQ_OVFL's count and SO_TIMESTAMPNS's time.
constexpr std::size_t kControlBytes = CMSG_SPACE(sizeof(std::uint32_t)) + CMSG_SPACE(sizeof(timespec)) + 64;

int level_of(int family) { return family == AF_INET6 ? IPPROTO_IPV6 : IPPROTO_IP; }

}  // namespace

Address16 UdpSource::address16(const sockaddr_storage& address) noexcept {
    Address16 out{};
    if (address.ss_family == AF_INET6) {
        std::memcpy(out.data(), &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, 16);
    } else {
        out[10] = out[11] = 0xFF;
        std::memcpy(out.data() + 12, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, 4);
    }
    return out;
}

UdpSource::UdpSource(const UdpConfig& config)
    : config_(config),
      // Each buffer a cache line further from a 64 KiB boundary than the
      // last: the small datagrams of one receive do not all fall in the
      // same cache set.
      stride_(kLargestDatagram + sizeof(UdpMetadata) + 64),
      buffers_(config.burst * stride_),
      headers_(config.burst),
      vectors_(config.burst),
      senders_(config.burst),
      controls_(config.burst * kControlBytes) {
    try {
        setup();
    } catch (...) {
        if (fd_ >= 0) close(fd_);
        if (wake_fd_ >= 0) close(wake_fd_);
        throw;
    }
    const std::size_t prefix = config_.metadata ? sizeof(UdpMetadata) : 0;
    for (std::size_t i = 0; i < config_.burst; ++i) {
        vectors_[i] = {buffers_.data() + i * stride_ + prefix, kLargestDatagram};
        msghdr& h = headers_[i].msg_hdr;
        h.msg_iov = &vectors_[i];
        h.msg_iovlen = 1;
    }
}

UdpSource::~UdpSource() {
    close(fd_);
    close(wake_fd_);
}

void UdpSource::setup() {
    const int family = config_.bind.ss_family;
    auto fail = [](const char* doing) { throw SocketError{errno, doing}; };
    auto option = [&](int level, int name, int value, const char* doing) {
        if (setsockopt(fd_, level, name, &value, sizeof value) < 0) fail(doing);
    };
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) fail("cannot make the receiver's wake-up eventfd");
    fd_ = socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (fd_ < 0) fail("cannot open a UDP socket");
    option(SOL_SOCKET, SO_RXQ_OVFL, 1, "cannot count the kernel's drops (SO_RXQ_OVFL)");
    if (config_.metadata) option(SOL_SOCKET, SO_TIMESTAMPNS, 1, "cannot ask for receive times (SO_TIMESTAMPNS)");
    if (config_.reuse_port) option(SOL_SOCKET, SO_REUSEPORT, 1, "cannot set SO_REUSEPORT");
    if (config_.has_group) {
        // Several receivers of one group on one port is the rule, not the exception.
        option(SOL_SOCKET, SO_REUSEADDR, 1, "cannot set SO_REUSEADDR");
        // Only the groups this socket joined, not every group any socket of the host joined.
        if (family == AF_INET) option(IPPROTO_IP, IP_MULTICAST_ALL, 0, "cannot clear IP_MULTICAST_ALL");
#ifdef IPV6_MULTICAST_ALL
        else {
            const int off = 0;  // Linux 4.20 and later; earlier kernels lack it, which only widens what arrives
            setsockopt(fd_, IPPROTO_IPV6, IPV6_MULTICAST_ALL, &off, sizeof off);
        }
#endif
    }
    // Capped at net.core.rmem_max, for root too: the system's limit is the administrator's to raise.
    if (config_.receive_buffer > 0)
        option(SOL_SOCKET, SO_RCVBUF, config_.receive_buffer, "cannot set the receive buffer size (SO_RCVBUF)");
    socklen_t length = sizeof receive_buffer_size_;
    if (getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_size_, &length) < 0)
        fail("cannot read the receive buffer size");
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&config_.bind), config_.bind_length) < 0)
        fail("cannot bind the UDP socket");
    length = sizeof local_;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&local_), &length) < 0) fail("cannot read the bound address");
    if (config_.has_group) join_group();
}

// MCAST_JOIN_GROUP and MCAST_JOIN_SOURCE_GROUP take the interface by index
// for IPv4 and IPv6 alike.
void UdpSource::join_group() {
    const int level = level_of(config_.bind.ss_family);
    if (config_.has_source) {
        group_source_req request{};
        request.gsr_interface = config_.interface_index;
        request.gsr_group = config_.group;
        request.gsr_source = config_.source;
        if (setsockopt(fd_, level, MCAST_JOIN_SOURCE_GROUP, &request, sizeof request) < 0)
            throw SocketError{errno, "cannot join the source-specific multicast group"};
    } else {
        group_req request{};
        request.gr_interface = config_.interface_index;
        request.gr_group = config_.group;
        if (setsockopt(fd_, level, MCAST_JOIN_GROUP, &request, sizeof request) < 0)
            throw SocketError{errno, "cannot join the multicast group"};
    }
}

// The socket's drop count (sk_drops, the count SO_RXQ_OVFL reports with
// each datagram) read at once: drops after the last datagram received
// show too. 0 where the kernel lacks SO_MEMINFO (before Linux 4.12).
std::uint64_t UdpSource::kernel_drops_now() const noexcept {
    std::uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof info;
    if (getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, info, &length) < 0 || length <= SK_MEMINFO_DROPS * sizeof(std::uint32_t))
        return 0;
    return info[SK_MEMINFO_DROPS];
}

void UdpSource::wake() noexcept {
    const std::uint64_t one = 1;
    // Never read back: the eventfd stays readable, so every later poll returns at once too.
    [[maybe_unused]] const ssize_t written = write(wake_fd_, &one, sizeof one);
}

bool UdpSource::allowed(const Address16& address) const noexcept {
    return config_.allow.empty() || std::find(config_.allow.begin(), config_.allow.end(), address) != config_.allow.end();
}

std::ptrdiff_t UdpSource::receive(std::span<OrvixRingMessage> messages, ReceiverCounters& counters,
                                  std::string& error) noexcept {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) return 0;  // EINTR: the loop looks at the stop flag and comes back
    if (fds[1].revents != 0) return 0;   // woken
    return take_pending(messages, counters, error);
}

std::ptrdiff_t UdpSource::take_pending(std::span<OrvixRingMessage> messages, ReceiverCounters& counters,
                                       std::string& error) noexcept {
    const std::size_t capacity = std::min(messages.size(), config_.burst);
    for (std::size_t i = 0; i < capacity; ++i) {
        msghdr& h = headers_[i].msg_hdr;
        h.msg_name = &senders_[i];
        h.msg_namelen = sizeof(sockaddr_storage);
        h.msg_control = controls_.data() + i * kControlBytes;
        h.msg_controllen = kControlBytes;
        h.msg_flags = 0;
    }
    // MSG_TRUNC: a datagram cut short reports its real length.
    const int n = recvmmsg(fd_, headers_.data(), static_cast<unsigned>(capacity), MSG_DONTWAIT | MSG_TRUNC, nullptr);
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return 0;
        if (errno == EBADF || errno == ENOTSOCK || errno == EFAULT || errno == EINVAL) {
            error = std::string("recvmmsg failed: ") + std::strerror(errno);
            return -1;
        }
        bump(counters.errors);  // ENOMEM, a pending ICMP error, ...
        return 0;
    }
    std::size_t pushed = 0;
    std::uint64_t bytes = 0;
    for (int i = 0; i < n; ++i) {
        const msghdr& h = headers_[i].msg_hdr;
        const std::size_t length = headers_[i].msg_len;
        bytes += length;
        timespec when{};
        for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&h), c)) {
            if (c->cmsg_level != SOL_SOCKET) continue;
            if (c->cmsg_type == SO_RXQ_OVFL) {
                std::uint32_t drops;
                std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
                // The kernel's count is 32 bits and runs on: add what is new since the last one seen.
                bump(counters.kernel_drops, static_cast<std::uint32_t>(drops - kernel_drops_seen_));
                kernel_drops_seen_ = drops;
            } else if (c->cmsg_type == SCM_TIMESTAMPNS) {
                std::memcpy(&when, CMSG_DATA(c), sizeof when);
            }
        }
        if ((h.msg_flags & MSG_TRUNC) != 0 || length > kLargestDatagram) {
            bump(counters.too_long);
            continue;
        }
        const Address16 sender = address16(senders_[i]);
        if (!allowed(sender)) {
            bump(counters.not_allowed);
            continue;
        }
        char* start = static_cast<char*>(vectors_[i].iov_base);
        std::size_t size = length;
        if (config_.metadata) {
            UdpMetadata m{};
            m.recv_ns = static_cast<std::int64_t>(when.tv_sec) * 1'000'000'000 + when.tv_nsec;
            std::memcpy(m.addr, sender.data(), 16);
            const bool v4 = senders_[i].ss_family == AF_INET || IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(m.addr));
            m.port = ntohs(senders_[i].ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(senders_[i]).sin6_port
                                                              : reinterpret_cast<const sockaddr_in&>(senders_[i]).sin_port);
            m.family = v4 ? 4 : 6;
            m.length = static_cast<std::uint32_t>(length);
            start -= sizeof m;
            std::memcpy(start, &m, sizeof m);
            size += sizeof m;
        }
        messages[pushed++] = {start, size};
    }
    // received counts every datagram taken in, the dropped ones included.
    bump(counters.received, static_cast<std::uint64_t>(n));
    bump(counters.bytes, bytes);
    return static_cast<std::ptrdiff_t>(pushed);
}

}  // namespace orvix::net
