// A ring's memory for tests that play a hostile producer: the block is a
// heap array of exactly the layout's size (so AddressSanitizer sees a read
// one byte past it), and the test writes the shared words and the block at
// will while the ring's consumer, built to distrust its producer, reads them.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "orvix/ringq/spsc_ring.hpp"

namespace orvix::ringq::testing {

class HostileMemory final : public RingMemory {
public:
    explicit HostileMemory(std::size_t bytes) : block_(new char[bytes]()), bytes_(bytes) {}
    RingSharedState& state() noexcept override { return state_; }
    char* block() noexcept override { return block_.get(); }
    std::size_t bytes() const noexcept { return bytes_; }

    void put(std::size_t offset, std::uint64_t value) noexcept { std::memcpy(block_.get() + offset, &value, 8); }

private:
    std::unique_ptr<char[]> block_;
    std::size_t bytes_;
    RingSharedState state_;
};

// The consumer side of a ring in `*memory_out` (kept alive by the ring).
inline std::unique_ptr<SpscRing> untrusting_consumer(const RingOptions& options, bool variable,
                                                     HostileMemory*& memory_out)
{
    RingLayout layout;
    if (plan_layout(options.slot_size, options.capacity, layout) != RingError::kNone) return nullptr;
    auto memory = std::make_unique<HostileMemory>(layout.total_bytes);
    memory->state().state.mode.store(variable ? kVariable : kFixed);
    memory_out = memory.get();
    RingError error;
    return SpscRing::over(std::move(memory), options, layout,
                          RingSharing{.across_processes = true, .untrusted_producer = true}, error);
}

}  // namespace orvix::ringq::testing
