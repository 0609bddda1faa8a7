// What a burst push into a dispatcher without a ring answers: the collector
// has cleared the dispatcher (and closed its ring), so every message is
// refused as a closed ring refuses it, and all of them are dealt with.
#pragma once

#include <cstddef>

#include "orvix/ringq/ring_result.hpp"

namespace orvix::corvane {

inline std::size_t refuse_burst_without_ring(std::size_t n, int* results) noexcept {
    if (results)
        for (std::size_t i = 0; i < n; ++i) results[i] = ringq::kClosed;
    return n;
}

}  // namespace orvix::corvane
