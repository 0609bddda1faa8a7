// copy_message: the copy of a message into or out of the ring.
//
// Messages of 16 to 64 bytes, the common sizes, are copied in line as two or
// four 16-byte moves, the pairs overlapping in the middle when the length is
// not a multiple of 16. At these sizes a call into the library's memcpy
// costs as much as the copy itself, and it forces the push that makes it to
// save registers and set up a frame of its own. Every load comes before
// every store, so the result is right even for overlapping ranges.
#pragma once

#include <cstddef>
#include <cstring>

namespace orvix::ringq {

inline void copy_message(void* to, const void* from, std::size_t n) noexcept
{
    auto* out = static_cast<unsigned char*>(to);
    const auto* in = static_cast<const unsigned char*>(from);
    if (n - 16 <= 64 - 16) {  // 16 <= n <= 64 (unsigned: smaller n wrap to huge)
        unsigned char head[16], tail[16];
        std::memcpy(head, in, 16);
        std::memcpy(tail, in + n - 16, 16);
        if (n > 32) {
            unsigned char second[16], third[16];
            std::memcpy(second, in + 16, 16);
            std::memcpy(third, in + n - 32, 16);
            std::memcpy(out + 16, second, 16);
            std::memcpy(out + n - 32, third, 16);
        }
        std::memcpy(out, head, 16);
        std::memcpy(out + n - 16, tail, 16);
        return;
    }
    std::memcpy(out, in, n);
}

}  // namespace orvix::ringq
