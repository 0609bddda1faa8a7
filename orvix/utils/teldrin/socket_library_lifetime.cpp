// Starts the platform socket library when this shared library is loaded and
// releases it when the library is unloaded, which for an extension module is
// at process exit. Both run from the library's static initialisation and
// termination, independently of the Python import.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "orvix/utils/teldrin/platform_socket_library.hpp"

namespace orvix::teldrin {
namespace {

// Live start-up registrations of this library: the first one starts the
// socket library, the last one to go releases it.
//
// Loading and unloading are serialised by the platform's loader, so the count
// never really races; acq_rel on both read-modify-writes still states the
// ordering we rely on: the release that brings the count to 0 happens after
// (and sees everything done by) the start-up that brought it to 1.
std::atomic<std::int32_t> startup_count{0};

void release_socket_library() noexcept {
    if (startup_count.fetch_sub(1, std::memory_order_acq_rel) == 1) release_platform_sockets();
}

struct StartAtLoad {
    StartAtLoad() noexcept {
        // Registered before the count goes up, so a count that was raised is
        // always taken down again at unload. (atexit from a shared library
        // runs when that library is unloaded.) Should registration fail, the
        // sockets are still started: code needs them more than the release
        // at exit, which the process end makes moot.
        (void)std::atexit(release_socket_library);
        if (startup_count.fetch_add(1, std::memory_order_acq_rel) == 0) start_platform_sockets();
    }
};

StartAtLoad const start_at_load;

}  // namespace
}  // namespace orvix::teldrin
