// The pools behind coroutine calls: released coroutine objects and C++
// frames of one coroutine function, kept for its next calls.
#pragma once

#include <cstddef>

namespace orvix::py {

// Reusable per-call records of one coroutine function: at most kKeep
// released blocks of one size are kept for the next calls (one pool for the
// body's C++ frames, one for the coroutine objects). Touched only with the
// interpreter lock held.
struct RecordPool {
    static constexpr int kKeep = 8;
    void* blocks[kKeep] = {};
    int count = 0;
    std::size_t block_size = 0;

    // A kept block of exactly `size` bytes, or null.
    void* take(std::size_t size) noexcept
    {
        return count > 0 && block_size == size ? blocks[--count] : nullptr;
    }
    // Keeps a released block if there is room; false: the caller frees it.
    // AddressSanitizer builds keep nothing, so every use after release of a
    // record is caught.
    bool keep(void* block, std::size_t size) noexcept
    {
#if defined(__SANITIZE_ADDRESS__)
        (void)block;
        (void)size;
        return false;
#endif
        if (count == 0)
            block_size = size;
        if (count == kKeep || block_size != size)
            return false;
        blocks[count++] = block;
        return true;
    }
};

}  // namespace orvix::py
