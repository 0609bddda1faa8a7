// ForkGeneration: which process of a fork tree a mark in memory was made in.
// No Python in it.
//
// A forked child has only the thread that called fork(), and a copy of
// everything else. A mark that another thread of the parent had set ("a
// send is under way") is copied too, but no thread of the child will ever
// clear it, so the child must not wait for it. Each process counts the forks
// between the module's first use and itself: the child's count is one more
// than its parent's at the moment of the fork, so a mark stamped with
// current() tells whether a thread of this very process made it. (Siblings
// share a count, but never memory.)
#pragma once

#include <atomic>
#include <cstdint>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace orvix::corvane {

class ForkGeneration {
public:
    using Value = std::uint32_t;

    // Starts counting forks; call it before a mark can be made (any thread,
    // as often as wanted).
    static void watch() noexcept {
#ifndef _WIN32
        static const bool watching = pthread_atfork(nullptr, nullptr, &forked) == 0;
        (void)watching;
#endif
    }

    // Relaxed: the count changes only in a child, in its one thread, before
    // the child can start another; threads started later see it through
    // their start.
    static Value current() noexcept { return count().load(std::memory_order_relaxed); }

private:
    static std::atomic<Value>& count() noexcept {
        static std::atomic<Value> forks{0};
        return forks;
    }
    static void forked() noexcept { count().fetch_add(1, std::memory_order_relaxed); }
};

}  // namespace orvix::corvane
