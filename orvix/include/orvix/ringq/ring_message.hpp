// What the ring hands its consumer: a message read in place or from the
// consumer's copy buffer, valid until the consumer's next call.
#pragma once

#include <cstddef>

namespace orvix::ringq {

struct Message {
    const char* data = nullptr;
    std::size_t size = 0;
};

// Where a burst pop copies what it takes: the payloads back to back into
// `buffer`, and the end of each in `ends` (message i spans ends[i-1], or 0,
// up to ends[i]). The burst stops at `max_messages`, or before a message
// that would not fit in what is left of `buffer_bytes`.
struct Burst {
    char* buffer = nullptr;
    std::size_t buffer_bytes = 0;
    std::size_t* ends = nullptr;
    std::size_t max_messages = 0;
    std::size_t count = 0;  // out: messages copied
    std::size_t bytes = 0;  // out: payload bytes copied
};

}  // namespace orvix::ringq
