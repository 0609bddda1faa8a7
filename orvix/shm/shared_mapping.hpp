// SharedMapping: a ring's memory in a named POSIX shared memory object
// (Linux), laid out as orvix/shm/shm_layout.h says: the header page, the
// shared words, the block.
//
// The creator makes the object (O_CREAT | O_EXCL, its mode), sizes it, maps
// it and writes the header last but for the magic, which it writes after
// everything else, so that an attach never sees a half-written header as
// valid. An attacher checks the header against the layout it plans itself
// from the header's slot_size and capacity, and the object's size against
// that layout, before it uses anything.
//
// Producer liveness: a producer holds an open-file-description lock
// (F_OFD_SETLK) on the object's first byte while it is attached. The kernel
// lets go of it when the producer's last descriptor closes, however the
// process ends, so the consumer (F_OFD_GETLK) tells a producer that is there
// from one that left (the header says "detached") or died (the header still
// says "attached").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/types.h>

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

enum class ProducerState { kNone, kAttached, kDetached, kGone };

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

    // Removes the name (the creator, on close): mappings stay valid.
    void unlink_name() noexcept;

private:
    SharedMapping() = default;
    int fd_ = -1;
    char* base_ = nullptr;
    std::size_t bytes_ = 0;
    ringq::RingSharedState* state_ = nullptr;
    std::string name_;
    SharedRingShape shape_;
    ringq::RingLayout layout_;
    bool claimed_ = false;
    pid_t claimer_ = 0;   // the process that claimed the producer side: a forked child's copy never releases it
    bool global_fences_ = false;   // the creator's choice, as this side read it once
    OrvixShmHeader& header() const noexcept { return *reinterpret_cast<OrvixShmHeader*>(base_); }
};

}  // namespace orvix::shm
