// Native threads behind one small function, so the Windows build differs in
// platform_thread.cpp only.
#pragma once

#include <string>

namespace orvix::corvane {

using ThreadMain = void (*)(void* arg);

// Starts a thread with the platform's default stack size that runs
// `main(arg)`, and detaches it at once: nothing ever joins it, it ends when
// `main` returns. Returns an empty string on success, otherwise the
// platform's description of the failure (then `main` never runs).
std::string start_detached_thread(ThreadMain main, void* arg);

}  // namespace orvix::corvane
