// bump(): one more on a counter that a single thread writes while others
// read it (the ring's stored / refused / dropped / taken, a producer's own
// counts). The writer needs no read-modify-write: a relaxed load and store
// cost no locked instruction, and readers, with relaxed loads of their own,
// always see a whole value, if a recent one rather than the latest.
#pragma once

#include <atomic>
#include <cstdint>

namespace orvix::ringq {

inline void bump(std::atomic<std::uint64_t>& counter) noexcept
{
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace orvix::ringq
