// The platform layer of the ring's waits, behind a few small functions:
//
// * wait_on_word / wake_word: a thread sleeps while a 32-bit word holds an
//   expected value; another wakes it after changing the word. Linux uses the
//   futex system call, Windows WaitOnAddress, anything else C++20 atomic wait.
//   A wait may return early (a signal, a spurious wake-up): callers loop and
//   look at their own state again. Neither orders memory by itself. A word in
//   memory shared between processes takes `shared` (Linux: a futex keyed on
//   the page, not on this process's address space), and a wait may be
//   bounded (`timeout_ms`, 0 for none) so that the sleeper can look at
//   things no one wakes it for.
// * light_fence / heavy_fence: the two halves of an asymmetric Dekker pair.
//   "I publish X, then look at your flag" (every notify push) against "I raise
//   my flag, then look at X" (a thread about to sleep) needs a store-load
//   fence on both sides. The frequent side takes light_fence, a compiler-only
//   fence; the rare side, about to sleep anyway, takes heavy_fence, which
//   makes every running thread of the process execute a full fence
//   (membarrier on Linux, FlushProcessWriteBuffers on Windows). Where that is
//   not available (or, under Wine, does nothing) both are plain seq_cst fences.
// * cpu_relax: one step of a busy wait.
#pragma once

#include <atomic>
#include <cstdint>

#if defined(__linux__)
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#ifdef _MSC_VER
#pragma comment(lib, "synchronization.lib")  // WaitOnAddress, WakeByAddressAll
#endif
#endif

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

namespace orvix::ringq {

using WaitWord = std::atomic<std::uint32_t>;
static_assert(sizeof(WaitWord) == sizeof(std::uint32_t) && WaitWord::is_always_lock_free,
              "the kernel waits on the word's plain 32-bit storage");

// Sleeps while `word` holds `expected` (returns at once if it does not).
inline void wait_on_word(WaitWord& word, std::uint32_t expected, bool shared = false,
                         std::uint32_t timeout_ms = 0) noexcept
{
#if defined(__linux__)
    timespec timeout{static_cast<time_t>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000000L};
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), shared ? FUTEX_WAIT : FUTEX_WAIT_PRIVATE,
            expected, timeout_ms ? &timeout : nullptr, nullptr, 0);
#elif defined(_WIN32)
    (void)shared;
    WaitOnAddress(&word, &expected, sizeof expected, timeout_ms ? timeout_ms : INFINITE);
#else
    (void)shared;
    (void)timeout_ms;
    word.wait(expected, std::memory_order_relaxed);
#endif
}

// Wakes every thread sleeping on `word`.
inline void wake_word(WaitWord& word, bool shared = false) noexcept
{
#if defined(__linux__)
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE, INT32_MAX,
            nullptr, nullptr, 0);
#elif defined(_WIN32)
    (void)shared;
    WakeByAddressAll(&word);
#else
    (void)shared;
    word.notify_all();
#endif
}

#if defined(__SANITIZE_THREAD__)
#define ORVIX_RINGQ_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVIX_RINGQ_TSAN 1
#endif
#endif

namespace fence_detail {
// 1 once the process may use the heavy fence, 0 if it may not. Decided by
// enable_asymmetric_fences() before any ring is shared between threads, so
// both sides of every pair always agree on which fences they use.
inline std::atomic<int> asymmetric{0};

#if defined(ORVIX_RINGQ_TSAN)
// ThreadSanitizer models no fences: a seq_cst read-modify-write of one shared
// word orders the two sides as a fence would, in terms it checks.
inline std::atomic<int> meeting_point{0};
inline void full_fence() noexcept { meeting_point.fetch_add(0, std::memory_order_seq_cst); }
#else
inline void full_fence() noexcept { std::atomic_thread_fence(std::memory_order_seq_cst); }
#endif
}  // namespace fence_detail

// Called by every ring constructor; the first call registers the process.
inline void enable_asymmetric_fences() noexcept
{
    static const bool enabled = [] {
#if defined(ORVIX_RINGQ_TSAN)
        return false;  // keep both sides on fences the sanitizer can see
#elif defined(__linux__)
        return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
#elif defined(_WIN32)
        // Wine answers FlushProcessWriteBuffers with a stub that does nothing
        // (8.0 does), which would leave a compiler fence facing a full fence
        // and let a wake-up be lost. Wine's ntdll exports wine_get_version.
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return !(ntdll && GetProcAddress(ntdll, "wine_get_version"));
#else
        return false;
#endif
    }();
    // Relaxed: the ring that called us reaches other threads only through a
    // synchronising hand-over, which carries this store along.
    fence_detail::asymmetric.store(enabled ? 1 : 0, std::memory_order_relaxed);
}

inline void light_fence() noexcept
{
    if (fence_detail::asymmetric.load(std::memory_order_relaxed))
        std::atomic_signal_fence(std::memory_order_seq_cst);
    else
        fence_detail::full_fence();
}

inline void heavy_fence() noexcept
{
    fence_detail::full_fence();
    if (!fence_detail::asymmetric.load(std::memory_order_relaxed)) return;
#if defined(__linux__)
    if (syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0) {
        // A forked child may have lost the registration of its parent.
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0);
        syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0);
    }
#elif defined(_WIN32)
    FlushProcessWriteBuffers();
#endif
}

// The same pair between processes. A process whose threads take the light
// half registers once (register_for_global_fences); a thread about to sleep
// then makes every running thread of every registered process execute a full
// fence (global_heavy_fence, MEMBARRIER_CMD_GLOBAL_EXPEDITED). Both answer
// false where the kernel lacks the command (or under ThreadSanitizer): the
// two sides then take full fences. global_fences_available() asks without
// registering.
inline bool global_fences_available() noexcept
{
#if defined(__linux__) && !defined(ORVIX_RINGQ_TSAN)
    const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    return commands > 0 && (commands & MEMBARRIER_CMD_GLOBAL_EXPEDITED) &&
           (commands & MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED);
#else
    return false;
#endif
}

inline bool register_for_global_fences() noexcept
{
#if defined(__linux__) && !defined(ORVIX_RINGQ_TSAN)
    return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED, 0, 0) == 0;
#else
    return false;
#endif
}

inline void global_heavy_fence() noexcept
{
    fence_detail::full_fence();
#if defined(__linux__) && !defined(ORVIX_RINGQ_TSAN)
    syscall(SYS_membarrier, MEMBARRIER_CMD_GLOBAL_EXPEDITED, 0, 0);
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
