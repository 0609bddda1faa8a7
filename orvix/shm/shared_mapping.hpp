// SharedMapping: a ring's memory in named shared memory, laid out as
// orvix/shm/shm_layout.h says: the header page, the shared words, the block.
// Linux: a POSIX shared memory object (shared_mapping_posix.cpp); Windows: a
// named file mapping (shared_mapping_windows.cpp). What does not depend on
// the system is in shared_mapping.cpp.
//
// The creator makes the object (failing if the name is taken), sizes it,
// maps it and writes the header last but for the magic, which it writes
// after everything else, so that an attach never sees a half-written header
// as valid. An attacher checks the header against the layout it plans itself
// from the header's slot_size and capacity, and the object's size against
// that layout, before it uses anything.
//
// Producer liveness: a producer holds a lock the system lets go of however
// its process ends (Linux: an open-file-description lock on the object's
// first byte; Windows: a named mutex, abandoned when its owner dies), so the
// consumer tells a producer that is there from one that left (the header
// says "detached") or died (the header still says "attached").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include "orvix/ringq/ring_layout.hpp"
#include "orvix/ringq/spsc_ring.hpp"
#include "orvix/shm/shm_layout.h"

namespace orvix::shm {

// What a shared ring is: the creator's arguments.
struct SharedRingShape {
    std::size_t slot_size = 2048;
    std::size_t capacity = 16384;
    bool variable_size = false;
    bool overwrite = false;
};

// Why a mapping could not be had: an OS error (errno_value != 0) or a
// ValueError (errno_value == 0) with `message`.
struct MappingError {
    int errno_value = 0;
    std::string message;
};

namespace mapping_detail {
constexpr std::size_t kPage = 4096;
inline std::size_t round_to_page(std::size_t n) noexcept { return (n + kPage - 1) & ~(kPage - 1); }
inline bool fail(MappingError& error, int errno_value, std::string message = {})
{
    error.errno_value = errno_value;
    error.message = std::move(message);
    return false;
}
}  // namespace mapping_detail

enum class ProducerState { kNone, kAttached, kDetached, kGone };

// The header a creator writes for `shape`, laid out as `layout` in a mapping
// of `mapping_bytes`: everything but the magic (written last) and the fences
// (the creator's choice).
OrvixShmHeader planned_header(const SharedRingShape& shape, const ringq::RingLayout& layout,
                              std::size_t mapping_bytes) noexcept;

// "/name" from "name" or "/name"; false with a message when the name cannot be one.
bool normalize_name(const std::string& name, std::string& out, std::string& message);

class SharedMapping final : public ringq::RingMemory {
public:
    static std::unique_ptr<SharedMapping> create(const std::string& name, const SharedRingShape& shape,
                                                 unsigned mode, MappingError& error);
    static std::unique_ptr<SharedMapping> open(const std::string& name, MappingError& error);
    ~SharedMapping() override;

    ringq::RingSharedState& state() noexcept override { return *state_; }
    char* block() noexcept override { return base_ + ORVIX_SHM_BLOCK_OFFSET; }

    const std::string& name() const noexcept { return name_; }
    const SharedRingShape& shape() const noexcept { return shape_; }
    const ringq::RingLayout& layout() const noexcept { return layout_; }
    ringq::RingOptions options() const noexcept;

    // How the two sides fence (see RingSharing::asymmetric_fences): the
    // consumer's, from the creator's choice; the producer's, once its
    // process registered for the consumer's global fences.
    ringq::RingSharing consumer_sharing() const noexcept;
    ringq::RingSharing producer_sharing() const noexcept;

    // Producer side: claims the ring (false: another producer holds it),
    // and gives it back.
    bool claim_producer(MappingError& error) noexcept;
    void release_producer() noexcept;

    // Consumer side: where the producer stands, from the lock and the header.
    ProducerState producer_state() const noexcept;

    // Removes the name (the creator, on close): mappings stay valid. On
    // Windows a named mapping lives while any process holds a handle to it,
    // so the name goes only when the last side lets go: this does nothing.
    void unlink_name() noexcept;

#if defined(_WIN32)
    // The sleep words' wake-ups: WaitOnAddress does not cross processes, so
    // each word has a named auto-reset event that its waker sets.
    void wait_shared(ringq::WaitWord& word, std::uint32_t expected, std::uint32_t timeout_ms) noexcept override;
    void wake_shared(ringq::WaitWord& word) noexcept override;
#endif

private:
    SharedMapping() = default;
    // The system-independent halves of create() and open(): fill in a fresh
    // mapping of `bytes_`, or check one found under the name.
    void write_header(const SharedRingShape& shape) noexcept;
    bool adopt_header(MappingError& error) noexcept;
    // Whether a producer holds the producer lock now.
    bool producer_lock_held() const noexcept;
    // The header's producer state around the platform's lock: "attached"
    // once the lock is taken, "detached" before it is let go.
    void mark_attached(std::uint32_t pid) noexcept;
    void mark_detached() noexcept;
#if defined(_WIN32)
    // The mutex and the two events: made (with `security_attributes`) or opened.
    bool open_companions(bool create, void* security_attributes, MappingError& error) noexcept;
    void* mapping_ = nullptr;         // HANDLE of the file mapping
    void* producer_mutex_ = nullptr;  // HANDLE: owned by the attached producer's thread
    void* wake_consumer_ = nullptr;   // HANDLE: auto-reset event for sleep.consumer
    void* wake_producer_ = nullptr;   // HANDLE: auto-reset event for sleep.producer
    unsigned long claimer_ = 0;       // the thread that owns the producer mutex
#else
    int fd_ = -1;
    pid_t claimer_ = 0;   // the process that claimed the producer side: a forked child's copy never releases it
#endif
    char* base_ = nullptr;
    std::size_t bytes_ = 0;
    ringq::RingSharedState* state_ = nullptr;
    std::string name_;
    SharedRingShape shape_;
    ringq::RingLayout layout_;
    bool claimed_ = false;
    bool global_fences_ = false;   // the creator's choice, as this side read it once
    OrvixShmHeader& header() const noexcept { return *reinterpret_cast<OrvixShmHeader*>(base_); }
};

}  // namespace orvix::shm
