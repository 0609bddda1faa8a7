#include "orvix/utils/corvane/dispatchers/platform_socket.hpp"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace orvix::corvane::net {

namespace {
// The public record is the platform's sockaddr_in (checked where both are
// in sight, in platform_socket_error.cpp).
const sockaddr* native(const OrvixSockAddrIn& to) noexcept { return reinterpret_cast<const sockaddr*>(&to); }
}  // namespace

#ifdef _WIN32

static_assert(sizeof(SOCKET) <= sizeof(SocketHandle));

bool send_datagram(SocketHandle handle, const void* data, std::size_t size,
                   const OrvixSockAddrIn& to) noexcept {
    return sendto(static_cast<SOCKET>(handle), static_cast<const char*>(data),
                  static_cast<int>(size), 0, native(to), sizeof(sockaddr_in)) != SOCKET_ERROR;
}

ReceiveResult receive_datagram(SocketHandle handle, void* buffer, std::size_t size,
                               int& error) noexcept {
    if (recvfrom(static_cast<SOCKET>(handle), static_cast<char*>(buffer),
                 static_cast<int>(size), 0, nullptr, nullptr) != SOCKET_ERROR)
        return ReceiveResult::received;
    error = WSAGetLastError();
    // A datagram longer than the buffer is still a wake-up.
    if (error == WSAEMSGSIZE) return ReceiveResult::received;
    return error == WSAEINTR ? ReceiveResult::interrupted : ReceiveResult::failed;
}

void stop_receiving(SocketHandle handle) noexcept { shutdown(static_cast<SOCKET>(handle), SD_RECEIVE); }

#else

bool send_datagram(SocketHandle handle, const void* data, std::size_t size,
                   const OrvixSockAddrIn& to) noexcept {
    return sendto(static_cast<int>(handle), data, size, 0, native(to), sizeof(sockaddr_in)) >= 0;
}

ReceiveResult receive_datagram(SocketHandle handle, void* buffer, std::size_t size,
                               int& error) noexcept {
    if (recvfrom(static_cast<int>(handle), buffer, size, 0, nullptr, nullptr) >= 0)
        return ReceiveResult::received;
    error = errno;
    return error == EINTR ? ReceiveResult::interrupted : ReceiveResult::failed;
}

void stop_receiving(SocketHandle handle) noexcept { shutdown(static_cast<int>(handle), SHUT_RD); }

#endif

std::uint32_t ipv4_address(const char* text) noexcept { return inet_addr(text); }

std::uint16_t port_to_network(std::uint16_t port) noexcept { return htons(port); }

}  // namespace orvix::corvane::net
