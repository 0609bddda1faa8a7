// bump(): one more (or `by` more) on a counter that a single thread writes while others
// read it (the ring's stored / refused / dropped / taken, a producer's own
// counts). The writer needs no read-modify-write: a load and a store cost no
// locked instruction, and readers always see a whole value, if a recent one
// rather than the latest.
//
// Release: a reader that acquires the new count also sees what the writer
// did before it (the ring's counts() relies on it); on x86, and for the
// compiler alone, this costs nothing more than relaxed.
#pragma once

#include <atomic>
#include <cstdint>

namespace orvix::ringq {

inline void bump(std::atomic<std::uint64_t>& counter, std::uint64_t by = 1) noexcept
{
    counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_release);
}

}  // namespace orvix::ringq
