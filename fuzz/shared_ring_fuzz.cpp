// libFuzzer target: the consumer of a ring whose producer it does not trust,
// fed arbitrary ring contents. The input picks a small layout, then a
// sequence of steps: the producer's words (tail, head, held, mode, closed)
// and block bytes set to anything, interleaved with the consumer's pops.
// Under AddressSanitizer no step may read or write outside the block (a heap
// array of exactly the layout's size), and the consumer may never hand out
// more than the burst can hold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "../tests/cpp/hostile_ring_memory.hpp"

namespace {

using namespace orvix::ringq;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint64_t word()
    {
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | byte();
        return v;
    }
    // Small numbers most of the time: positions near the consumer's.
    std::uint64_t position() { return byte() & 0x80 ? word() : byte(); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    RingOptions options;
    options.slot_size = 1 + in.byte() % 100;
    options.capacity = 1 + in.byte() % 8;
    const std::uint8_t flags = in.byte();
    options.overwrite = flags & 1;
    options.zerocopy = flags & 2;
    const bool variable = flags & 4;
    testing::HostileMemory* memory = nullptr;
    const std::unique_ptr<SpscRing> ring = testing::untrusting_consumer(options, variable, memory);
    if (!ring) return 0;
    RingSharedState& words = memory->state();
    std::vector<char> buffer(1 + in.byte() * 8);
    std::vector<std::size_t> ends(1 + in.byte() % 16);
    while (in.more()) {
        switch (in.byte() % 10) {
        case 0:
        case 1: {   // block bytes: lengths, padding markers, payloads
            const std::size_t offset = static_cast<std::size_t>(in.position() % memory->bytes());
            const std::uint64_t value = in.position();
            const std::size_t n = std::min<std::size_t>(8, memory->bytes() - offset);
            std::memcpy(memory->block() + offset, &value, n);
            break;
        }
        case 2: words.producer.tail.store(in.position()); break;
        case 3: words.consumer.head.store(in.position()); break;
        case 4: words.consumer.held.store(in.position()); break;
        case 5: words.state.mode.store(static_cast<RingMode>(in.byte() % 4)); break;
        case 6: {
            Burst burst{buffer.data(), buffer.size(), ends.data(), ends.size()};
            if (ring->try_pop_burst(burst, variable) == kHandedOut &&
                (burst.count > ends.size() || burst.bytes > buffer.size()))
                __builtin_trap();
            break;
        }
        case 7: {
            Message m;
            if ((variable ? ring->try_pop_var(m) : ring->try_pop(m)) == kHandedOut && m.size) {
                volatile char first = m.data[0], last = m.data[m.size - 1];
                (void)first;
                (void)last;
            }
            break;
        }
        case 8: {
            Burst burst{buffer.data(), buffer.size(), ends.data(), ends.size()};
            ring->wait_pop_burst_for(burst, variable, 1);   // spins, then a 1 ms sleep at most
            break;
        }
        case 9: (void)ring->counts(); ring->release(); break;
        }
    }
    return 0;
}
