// BatchStorage: the memory a batch's messages are copied into, payloads back
// to back and the end offset of each. Plain memory from the C allocator, so
// that a reader thread can fill, grow or make one without the interpreter
// lock; a Batch object owns one once it is handed to Python.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <utility>

#include "orvix/ringq/ringq.h"

namespace orvix::batch {

// The largest batch a dispatcher's reader copies out.
struct BatchShape {
    std::size_t max_messages = 0;
    std::size_t bytes = 0;         // room for the payloads of one batch
    std::size_t largest = 0;       // the largest message the ring takes (variable-size records may exceed `bytes`)

    // A reader's first buffer: a batch that is only ever a few messages (a
    // slow producer, a dispatcher set up and closed again) never costs the
    // whole shape; the buffer grows as batches fill it.
    static constexpr std::size_t kFirstBytes = 64 * 1024;
    std::size_t first_bytes() const noexcept { return bytes < kFirstBytes ? bytes : kFirstBytes; }
};

class BatchStorage {
public:
    BatchStorage() noexcept = default;
    BatchStorage(BatchStorage&& other) noexcept { *this = std::move(other); }
    BatchStorage& operator=(BatchStorage&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(ends_, other.ends_);
        std::swap(capacity_, other.capacity_);
        std::swap(max_messages_, other.max_messages_);
        std::swap(count_, other.count_);
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    ~BatchStorage() { free(); }

    // Room for `max_messages` messages of `bytes` in all; false when the
    // allocator refuses (the storage is then empty).
    bool allocate(std::size_t max_messages, std::size_t bytes) noexcept {
        free();
        // One byte at least: a ring of empty messages still needs a buffer.
        data_ = static_cast<char*>(std::malloc(bytes ? bytes : 1));
        ends_ = static_cast<std::size_t*>(std::malloc(max_messages * sizeof(std::size_t)));
        if (!data_ || !ends_) {
            free();
            return false;
        }
        capacity_ = bytes;
        max_messages_ = max_messages;
        return true;
    }
    bool allocated() const noexcept { return data_ != nullptr; }

    // Copies what the ring holds into this storage (its old contents
    // replaced): the ring's burst pop (`flags`: ORVIX_BURST_*). A buffer
    // that the last batch filled past half grows (fourfold, up to the
    // shape) before this one; a record larger than the whole buffer grows it
    // to `shape.largest`. A buffer that cannot grow stays as it is.
    int fill(PyObject* ring, int flags, const BatchShape& shape) noexcept {
        if (bytes_ > capacity_ / 2 && capacity_ < shape.bytes) {
            BatchStorage larger;
            if (larger.allocate(max_messages_, capacity_ < shape.bytes / 4 ? capacity_ * 4 : shape.bytes))
                *this = std::move(larger);
        }
        for (;;) {
            OrvixRingBurst burst{data_, capacity_, ends_, max_messages_, 0, 0};
            const int r = orvix_spscqueue_vtable(ring)->pop_burst(ring, &burst, flags);
            count_ = burst.count;
            bytes_ = burst.bytes;
            if (r != ORVIX_RING_TOO_LARGE || capacity_ >= shape.largest) return r;
            BatchStorage larger;
            if (!larger.allocate(max_messages_, shape.largest)) return r;
            *this = std::move(larger);
        }
    }

    // Gives back what the batch does not use: a batch kept by its user
    // holds only its own messages. Never moves the payload when it fails.
    void shrink_to_fit() noexcept {
        if (!data_ || (bytes_ == capacity_ && count_ == max_messages_)) return;
        if (void* d = std::realloc(data_, bytes_ ? bytes_ : 1)) {
            data_ = static_cast<char*>(d);
            capacity_ = bytes_;
        }
        if (void* e = std::realloc(ends_, (count_ ? count_ : 1) * sizeof(std::size_t))) {
            ends_ = static_cast<std::size_t*>(e);
            max_messages_ = count_;
        }
    }

    std::size_t count() const noexcept { return count_; }
    std::size_t bytes() const noexcept { return bytes_; }
    const char* data() const noexcept { return data_; }
    std::size_t begin(std::size_t i) const noexcept { return i ? ends_[i - 1] : 0; }
    std::size_t end(std::size_t i) const noexcept { return ends_[i]; }

private:
    void free() noexcept {
        std::free(data_);
        std::free(ends_);
        data_ = nullptr;
        ends_ = nullptr;
        capacity_ = max_messages_ = count_ = bytes_ = 0;
    }

    char* data_ = nullptr;
    std::size_t* ends_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t max_messages_ = 0;
    std::size_t count_ = 0;
    std::size_t bytes_ = 0;
};

}  // namespace orvix::batch
