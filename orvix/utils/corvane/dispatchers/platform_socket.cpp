#include "orvix/utils/corvane/dispatchers/platform_socket.hpp"

#include <Python.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace orvix::corvane::net {

static_assert(sizeof(OrvixSockAddrIn) == sizeof(sockaddr_in),
              "the public address record must be the platform's sockaddr_in");

#ifdef _WIN32

using NativeSocket = SOCKET;
static_assert(sizeof(SOCKET) <= sizeof(SocketHandle));

static int last_error() noexcept { return WSAGetLastError(); }
static bool is_interruption(int error) noexcept { return error == WSAEINTR; }

bool send_datagram(SocketHandle handle, const void* data, std::size_t size,
                   const OrvixSockAddrIn& to) noexcept {
    return sendto(static_cast<SOCKET>(handle), static_cast<const char*>(data),
                  static_cast<int>(size), 0, reinterpret_cast<const sockaddr*>(&to),
                  sizeof(to)) != SOCKET_ERROR;
}

ReceiveResult receive_datagram(SocketHandle handle, void* buffer, std::size_t size,
                               int& error) noexcept {
    if (recvfrom(static_cast<SOCKET>(handle), static_cast<char*>(buffer),
                 static_cast<int>(size), 0, nullptr, nullptr) != SOCKET_ERROR)
        return ReceiveResult::received;
    error = last_error();
    // A datagram longer than the buffer is still a wake-up.
    if (error == WSAEMSGSIZE) return ReceiveResult::received;
    return is_interruption(error) ? ReceiveResult::interrupted : ReceiveResult::failed;
}

void set_os_error(int error) { PyErr_SetExcFromWindowsErr(PyExc_OSError, error); }

#else

static int last_error() noexcept { return errno; }
static bool is_interruption(int error) noexcept { return error == EINTR; }

bool send_datagram(SocketHandle handle, const void* data, std::size_t size,
                   const OrvixSockAddrIn& to) noexcept {
    return sendto(static_cast<int>(handle), data, size, 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof(to)) >= 0;
}

ReceiveResult receive_datagram(SocketHandle handle, void* buffer, std::size_t size,
                               int& error) noexcept {
    if (recvfrom(static_cast<int>(handle), buffer, size, 0, nullptr, nullptr) >= 0)
        return ReceiveResult::received;
    error = last_error();
    return is_interruption(error) ? ReceiveResult::interrupted : ReceiveResult::failed;
}

void set_os_error(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
}

#endif

std::uint32_t ipv4_address(const char* text) noexcept { return inet_addr(text); }

std::uint16_t port_to_network(std::uint16_t port) noexcept { return htons(port); }

}  // namespace orvix::corvane::net
