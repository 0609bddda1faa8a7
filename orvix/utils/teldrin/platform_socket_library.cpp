#include "orvix/utils/teldrin/platform_socket_library.hpp"

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace orvix::teldrin {

#ifdef _WIN32

void start_platform_sockets() noexcept {
    WSADATA discarded;
    (void)WSAStartup(MAKEWORD(2, 2), &discarded);  // version word 0x202
}

void release_platform_sockets() noexcept { (void)WSACleanup(); }

#else

void start_platform_sockets() noexcept {}
void release_platform_sockets() noexcept {}

#endif

}  // namespace orvix::teldrin
