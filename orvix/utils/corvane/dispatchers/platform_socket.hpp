// The few socket calls the dispatchers make, behind one small interface so
// that the Windows build differs in platform_socket.cpp alone.
//
// Handles are the 64-bit `ORVIX_PLATFORM_SOCKET` of the public header (all
// ones means "no socket"); on POSIX they carry a file descriptor, on Windows
// a SOCKET. Only set_os_error touches Python (platform_socket_error.cpp):
// the rest needs no interpreter, so the send may run on a producer thread
// without the interpreter lock, and the layer builds and is tested alone.
#pragma once

#include <cstddef>
#include <cstdint>

// The platform's sockaddr_in as the public header spells it (corvane.h).
struct OrvixSockAddrIn;

namespace orvix::corvane::net {

// ORVIX_PLATFORM_SOCKET and ORVIX_INVALID_SOCKET, checked against the public
// header in platform_socket_error.cpp.
using SocketHandle = std::uint64_t;
inline constexpr SocketHandle kNoSocket = ~SocketHandle{0};

// sendto(handle, data, size, flags 0, to, 16). Returns false on failure
// (the caller decides whether a failure matters).
bool send_datagram(SocketHandle handle, const void* data, std::size_t size,
                   const OrvixSockAddrIn& to) noexcept;

enum class ReceiveResult { received, interrupted, failed };

// Blocking recvfrom(handle, buffer, size, 0, null, null); a truncated
// datagram counts as received. `error` receives the platform's error code
// when the result is `failed`.
ReceiveResult receive_datagram(SocketHandle handle, void* buffer, std::size_t size,
                               int& error) noexcept;

// shutdown(handle, the receiving side): a receive blocked on the socket
// returns at once, and so does every later one, without any datagram. On
// Linux this holds for an unconnected datagram socket too (the call reports
// ENOTCONN, but shuts the side down and wakes the receivers), so the result
// is not looked at.
void stop_receiving(SocketHandle handle) noexcept;

// inet_addr: dotted-quad text to an IPv4 address in network byte order.
std::uint32_t ipv4_address(const char* text) noexcept;

// htons.
std::uint16_t port_to_network(std::uint16_t port) noexcept;

// Sets OSError from a platform error code (errno, or a WSA code on Windows)
// as the pending Python exception. Needs the interpreter lock.
void set_os_error(int error);

}  // namespace orvix::corvane::net
