// A block of anonymous memory taken straight from the operating system.
//
// The ring's storage can be large (the dispatchers' default is 32 MiB) while
// most rings only ever use a small part of it, so nothing here touches the
// memory: the OS supplies zero pages on first touch, and a ring that stays
// small costs no more than the pages it used. A request the system cannot
// back fails here, at construction: the buffer is then empty (no exception:
// the ring is built inside extension modules that must not throw).
#pragma once

#include <cstddef>
#include <utility>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace orvix::ringq {

class PageBuffer {
public:
    PageBuffer() noexcept = default;
    explicit PageBuffer(std::size_t bytes) noexcept : size_(bytes)
    {
        if (bytes == 0) return;
#if defined(_WIN32)
        data_ = static_cast<char*>(VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
#else
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        data_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
#endif
        if (!data_) size_ = 0;
    }
    PageBuffer(PageBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    PageBuffer& operator=(PageBuffer&& other) noexcept
    {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        return *this;
    }
    ~PageBuffer()
    {
        if (!data_) return;
#if defined(_WIN32)
        VirtualFree(data_, 0, MEM_RELEASE);
#else
        munmap(data_, size_);
#endif
    }

    [[nodiscard]] char* data() const noexcept { return data_; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace orvix::ringq
