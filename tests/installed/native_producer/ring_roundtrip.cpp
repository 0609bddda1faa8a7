// The C++ ring engine from the installed headers: one message in, one out.
#include "orvix/ringq/spsc_ring.hpp"

#include <cstring>

extern "C" int ring_roundtrip(void) {
    orvix::ringq::RingError error;
    auto ring = orvix::ringq::SpscRing::create({.slot_size = 8, .capacity = 4}, error);
    orvix::ringq::Message out;
    return ring && ring->push("orvix!", 6) == orvix::ringq::kStored && ring->try_pop(out) == orvix::ringq::kHandedOut &&
           out.size == 6 && std::memcmp(out.data, "orvix!", 6) == 0;
}
