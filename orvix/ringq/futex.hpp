// The platform's wait-on-a-word primitive, behind three small functions:
// a thread sleeps while a 32-bit word holds an expected value and another
// thread wakes it after changing the word. Linux uses the futex system call,
// Windows WaitOnAddress; anything else falls back to C++20 atomic wait.
//
// Every wait may return early (a signal, a spurious wake-up); callers loop and
// look at their own state again. No wait or wake orders memory by itself: the
// ring's data travels through its atomics, the word only says "sleeping".
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#pragma comment(lib, "synchronization.lib")
#endif

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

namespace orvix::ringq {

using WaitWord = std::atomic<std::uint32_t>;
static_assert(sizeof(WaitWord) == sizeof(std::uint32_t) && WaitWord::is_always_lock_free,
              "the kernel waits on the word's plain 32-bit storage");

// Sleeps while `word` holds `expected` (returns at once if it does not).
inline void wait_on_word(WaitWord& word, std::uint32_t expected) noexcept
{
#if defined(__linux__)
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            nullptr, nullptr, 0);
#elif defined(_WIN32)
    WaitOnAddress(&word, &expected, sizeof expected, INFINITE);
#else
    word.wait(expected, std::memory_order_relaxed);
#endif
}

// Wakes every thread sleeping on `word`.
inline void wake_word(WaitWord& word) noexcept
{
#if defined(__linux__)
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX,
            nullptr, nullptr, 0);
#elif defined(_WIN32)
    WakeByAddressAll(&word);
#else
    word.notify_all();
#endif
}

// One step of a busy wait: tells the core a spin loop is running, which frees
// the sibling hyper-thread and avoids a memory-order flush on loop exit.
inline void cpu_relax() noexcept
{
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace orvix::ringq
