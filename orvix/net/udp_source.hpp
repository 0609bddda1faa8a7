// UDP datagrams as a MessageSource: a socket bound to a local address,
// perhaps joined to a multicast group, read with recvmmsg after a poll on
// the socket and a wake-up eventfd (so a stop ends a blocked receive at
// once, with no timeout to poll on).
//
// Each datagram lands in a buffer of its own that holds the largest UDP
// payload, so the kernel never cuts one short without saying so (MSG_TRUNC
// is counted as too long); a datagram longer than the ring's slot is
// refused by the ring and counted as too long too. With metadata, the
// buffer starts with the fixed-size prefix (UdpMetadata) and the message
// pushed is prefix and payload.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "orvix/net/receiver_thread.hpp"

namespace orvix::net {

// The prefix a message carries with metadata=True: 32 bytes, little-endian,
// as numpy's dtype [("recv_ns", "<i8"), ("addr", "u1", (16,)),
// ("port", "<u2"), ("family", "<u2"), ("length", "<u4")].
struct UdpMetadata {
    std::int64_t recv_ns;      // the kernel's receive time (CLOCK_REALTIME, ns); 0 if it gave none
    std::uint8_t addr[16];     // the sender's address, network order; IPv4 as ::ffff:a.b.c.d
    std::uint16_t port;        // the sender's port
    std::uint16_t family;      // 4 or 6
    std::uint32_t length;      // payload bytes after the prefix
};
static_assert(sizeof(UdpMetadata) == 32);
static_assert(std::endian::native == std::endian::little, "the prefix is written as the host lays it out");

// An address as the allow-list and the metadata hold it: 16 bytes, IPv4 mapped.
using Address16 = std::array<std::uint8_t, 16>;

struct UdpConfig {
    sockaddr_storage bind{};     // family and local address to bind
    socklen_t bind_length = 0;
    bool has_group = false;      // join group (any-source), or group from source
    sockaddr_storage group{};
    bool has_source = false;
    sockaddr_storage source{};
    unsigned interface_index = 0;  // 0: the kernel's choice
    int receive_buffer = 0;        // bytes asked for; 0: the system's default
    bool reuse_port = false;
    bool metadata = false;
    std::size_t burst = 64;        // datagrams per recvmmsg
    std::vector<Address16> allow;  // empty: everyone
};

// A socket call that failed, with what it was doing.
struct SocketError {
    int error;
    std::string doing;
};

class UdpSource final : public MessageSource {
public:
    // Opens, configures and binds the socket. Throws SocketError or std::bad_alloc.
    explicit UdpSource(const UdpConfig& config);
    ~UdpSource() override;

    std::ptrdiff_t receive(std::span<OrvixRingMessage> messages, ReceiverCounters& counters,
                           std::string& error) noexcept override;
    std::ptrdiff_t take_pending(std::span<OrvixRingMessage> messages, ReceiverCounters& counters,
                                std::string& error) noexcept override;
    void wake() noexcept override;
    std::size_t burst() const noexcept override { return config_.burst; }
    std::uint64_t kernel_drops_now() const noexcept override;

    const sockaddr_storage& local_address() const noexcept { return local_; }
    int receive_buffer_size() const noexcept { return receive_buffer_size_; }
    bool metadata() const noexcept { return config_.metadata; }
    static Address16 address16(const sockaddr_storage& address) noexcept;

private:
    void setup();
    void join_group();
    bool allowed(const Address16& address) const noexcept;

    const UdpConfig config_;
    int fd_ = -1;
    int wake_fd_ = -1;
    sockaddr_storage local_{};
    int receive_buffer_size_ = 0;
    std::uint32_t kernel_drops_seen_ = 0;  // SO_RXQ_OVFL's running count, as last reported
    std::size_t stride_;                   // bytes from one datagram's buffer to the next
    std::vector<char> buffers_;
    std::vector<mmsghdr> headers_;
    std::vector<iovec> vectors_;
    std::vector<sockaddr_storage> senders_;
    std::vector<char> controls_;
};

}  // namespace orvix::net
