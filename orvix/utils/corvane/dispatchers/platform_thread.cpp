#include "orvix/utils/corvane/dispatchers/platform_thread.hpp"

#include <new>

#ifdef _WIN32
#include <windows.h>
#include <process.h>
#include <cstdint>
#else
#include <pthread.h>
#include <cerrno>
#include <cstring>
#endif

namespace orvix::corvane {
namespace {

struct Launch {
    ThreadMain main;
    void* arg;
};

// Not noexcept on purpose: a thread that the interpreter ends while it waits
// for the interpreter lock at shutdown is unwound through here, and a
// noexcept frame would turn that unwinding into std::terminate.
void run(Launch* launch) {
    Launch copy = *launch;
    delete launch;
    copy.main(copy.arg);
}

}  // namespace

#ifdef _WIN32

namespace {
unsigned __stdcall trampoline(void* launch) {
    run(static_cast<Launch*>(launch));
    return 0;
}

std::string describe(DWORD code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n ? std::string(text, n) : "error " + std::to_string(code);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
    return message;
}
}  // namespace

std::string start_detached_thread(ThreadMain main, void* arg) {
    auto* launch = new (std::nothrow) Launch{main, arg};
    if (!launch) return "out of memory";
    uintptr_t handle = _beginthreadex(nullptr, 0, &trampoline, launch, 0, nullptr);
    if (handle == 0) {
        delete launch;
        return describe(GetLastError());
    }
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return {};
}

#else

namespace {
extern "C" void* trampoline(void* launch) {
    run(static_cast<Launch*>(launch));
    return nullptr;
}
}  // namespace

std::string start_detached_thread(ThreadMain main, void* arg) {
    auto* launch = new (std::nothrow) Launch{main, arg};
    if (!launch) return std::strerror(ENOMEM);
    pthread_t thread;
    if (int error = pthread_create(&thread, nullptr, &trampoline, launch)) {
        delete launch;
        return std::strerror(error);
    }
    pthread_detach(thread);
    return {};
}

#endif

}  // namespace orvix::corvane
