// What the ring hands its consumer: a message read in place or from the
// consumer's copy buffer, valid until the consumer's next call.
#pragma once

#include <cstddef>

namespace orvix::ringq {

struct Message {
    const char* data = nullptr;
    std::size_t size = 0;
};

}  // namespace orvix::ringq
