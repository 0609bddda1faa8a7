// The socket layer's one Python-facing piece: a platform error code as the
// pending OSError. Kept apart so that platform_socket.cpp needs no interpreter.
#include <Python.h>

#include <type_traits>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <cerrno>
#include <netinet/in.h>
#endif

#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/platform_socket.hpp"

namespace orvix::corvane::net {

static_assert(std::is_same_v<SocketHandle, ORVIX_PLATFORM_SOCKET> && kNoSocket == ORVIX_INVALID_SOCKET,
              "the socket layer's handles are the public header's");
static_assert(sizeof(OrvixSockAddrIn) == sizeof(sockaddr_in) &&
                  offsetof(OrvixSockAddrIn, port) == offsetof(sockaddr_in, sin_port) &&
                  offsetof(OrvixSockAddrIn, addr) == offsetof(sockaddr_in, sin_addr),
              "the public address record must be the platform's sockaddr_in");

#ifdef _WIN32
void set_os_error(int error) { PyErr_SetExcFromWindowsErr(PyExc_OSError, error); }
#else
void set_os_error(int error) {
    errno = error;
    PyErr_SetFromErrno(PyExc_OSError);
}
#endif

}  // namespace orvix::corvane::net
