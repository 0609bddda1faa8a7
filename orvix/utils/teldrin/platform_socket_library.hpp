// The platform's socket library start-up and release: Windows Sockets 2.2 on
// Windows; nothing on platforms whose sockets need no start-up.
#pragma once

namespace orvix::teldrin {

// Starts the socket library. Its result is not reported: a failed start-up
// leaves socket calls failing on their own, which is where users see it.
void start_platform_sockets() noexcept;

// Releases one start-up of the socket library (also after a failed one, as
// the platform expects one release per start-up call).
void release_platform_sockets() noexcept;

}  // namespace orvix::teldrin
