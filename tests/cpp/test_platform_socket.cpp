// The socket layer on loopback: the wake-up datagram's round trip, the
// truncated datagram that still counts, and the platform's error code on a
// failed receive. The socket library is started by teldrin's load-time code,
// linked in as the teldrin module carries it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "orvix/utils/corvane/dispatchers/platform_socket.hpp"

using namespace orvix::corvane;
using namespace std::chrono_literals;

namespace {

#ifdef _WIN32
using Native = SOCKET;
constexpr int kWouldBlock = WSAEWOULDBLOCK;
void close_native(Native s) { closesocket(s); }
void set_nonblocking(Native s)
{
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}
void set_receive_timeout(Native s, int ms)
{
    const DWORD timeout = static_cast<DWORD>(ms);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}
#else
using Native = int;
constexpr int kWouldBlock = EWOULDBLOCK;
void close_native(Native s) { close(s); }
void set_nonblocking(Native s) { fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK); }
void set_receive_timeout(Native s, int ms)
{
    const timeval timeout{ms / 1000, (ms % 1000) * 1000};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}
#endif

// A UDP socket bound to 127.0.0.1 on a port the system picks, as the
// dispatchers' setup makes it; `address` is built with the layer's own
// conversions, as setup builds `_addr`.
class LoopbackSocket {
public:
    LoopbackSocket() : native_(socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = net::ipv4_address("127.0.0.1");
        bind(native_, reinterpret_cast<const sockaddr*>(&where), sizeof where);
        socklen_t length = sizeof where;
        getsockname(native_, reinterpret_cast<sockaddr*>(&where), &length);
        address_.sin_family = AF_INET;
        address_.sin_port = net::port_to_network(ntohs(where.sin_port));
        address_.sin_addr.s_addr = net::ipv4_address("127.0.0.1");
        // A lost datagram fails the receive instead of hanging the test.
        set_receive_timeout(native_, 30'000);
    }
    ~LoopbackSocket() { close_native(native_); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    net::SocketHandle handle() const { return static_cast<net::SocketHandle>(native_); }
    Native native() const { return native_; }
    // The public record is the platform's sockaddr_in (checked beside the
    // public header, in platform_socket_error.cpp).
    const OrvixSockAddrIn& address() const { return reinterpret_cast<const OrvixSockAddrIn&>(address_); }

private:
    Native native_;
    sockaddr_in address_{};
};

}  // namespace

TEST(PlatformSocket, AWakeupDatagramReachesABlockedReceiver)
{
    LoopbackSocket reader, producer;
    ASSERT_NE(reader.native(), static_cast<Native>(-1));
    auto received = std::async(std::launch::async, [&] {
        unsigned char byte = 0;
        int error = 0;
        const net::ReceiveResult result = net::receive_datagram(reader.handle(), &byte, 1, error);
        return std::pair{result, byte};
    });
    static constexpr unsigned char kWakeup = 1;
    ASSERT_TRUE(net::send_datagram(producer.handle(), &kWakeup, 1, reader.address()));
    ASSERT_EQ(received.wait_for(60s), std::future_status::ready);
    const auto [result, byte] = received.get();
    EXPECT_EQ(result, net::ReceiveResult::received);
    EXPECT_EQ(byte, kWakeup);
}

TEST(PlatformSocket, ALongerDatagramIntoAOneByteBufferCountsAsReceived)
{
    LoopbackSocket reader, producer;
    const char eight[] = "wake-up";
    ASSERT_TRUE(net::send_datagram(producer.handle(), eight, sizeof eight, reader.address()));
    char first = 0;
    int error = 0;
    EXPECT_EQ(net::receive_datagram(reader.handle(), &first, 1, error), net::ReceiveResult::received);
    EXPECT_EQ(first, 'w');
}

TEST(PlatformSocket, FailuresReportThePlatformsError)
{
    LoopbackSocket reader;
    set_nonblocking(reader.native());
    char byte;
    int error = 0;
    EXPECT_EQ(net::receive_datagram(reader.handle(), &byte, 1, error), net::ReceiveResult::failed);
    EXPECT_EQ(error, kWouldBlock);
    EXPECT_FALSE(net::send_datagram(net::kNoSocket, &byte, 1, reader.address()));
}

#ifndef _WIN32
// close() ends the reader's receive without a datagram (which a failed send
// could lose): shutting the receiving side down ends a receive already
// blocked, and every later one returns at once.
TEST(PlatformSocket, StoppingTheReceivingSideEndsABlockedReceive)
{
    LoopbackSocket reader;
    std::promise<void> receiving;
    auto received = std::async(std::launch::async, [&] {
        char byte;
        int error = 0;
        receiving.set_value();
        return net::receive_datagram(reader.handle(), &byte, 1, error);
    });
    receiving.get_future().wait();
    std::this_thread::sleep_for(50ms);   // most likely inside the receive by now
    net::stop_receiving(reader.handle());
    ASSERT_EQ(received.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(received.get(), net::ReceiveResult::received);
    char byte;
    int error = 0;
    EXPECT_EQ(net::receive_datagram(reader.handle(), &byte, 1, error), net::ReceiveResult::received);
}
#endif
