// The parts of SharedMapping that do not depend on the system: names, the
// header a creator writes and an attacher checks, the fences each side
// takes, and what the producer lock and the header together say.
#include "orvix/shm/shared_mapping.hpp"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

namespace orvix::shm {
using mapping_detail::fail;
using mapping_detail::kPage;
using mapping_detail::round_to_page;

bool normalize_name(const std::string& name, std::string& out, std::string& message) {
    const std::string bare = !name.empty() && name[0] == '/' ? name.substr(1) : name;
    if (bare.empty() || bare == "." || bare == "..") {
        message = "a shared ring's name must be '/name' or 'name' with a non-empty name";
    } else if (bare.find('/') != std::string::npos) {
        message = "a shared ring's name may hold no '/' but a leading one";
    } else if (bare.find('\0') != std::string::npos) {
        message = "a shared ring's name may hold no NUL character";
#if defined(_WIN32)
    } else if (bare.find('\\') != std::string::npos) {
        message = "a shared ring's name may hold no '\\'";
#endif
    } else if (bare.size() + 1 > ORVIX_SHM_NAME_MAX) {
        message = "a shared ring's name is at most 254 bytes long (255 with the leading '/')";
    } else {
        out = "/" + bare;
        return true;
    }
    return false;
}

OrvixShmHeader planned_header(const SharedRingShape& shape, const ringq::RingLayout& layout,
                              std::size_t mapping_bytes) noexcept {
    OrvixShmHeader h{};
    h.version = ORVIX_SHM_VERSION;
    h.flags = (shape.variable_size ? ORVIX_SHM_VARIABLE_SIZE : 0u) | (shape.overwrite ? ORVIX_SHM_OVERWRITE : 0u);
    h.slot_size = shape.slot_size;
    h.capacity = shape.capacity;
    h.slots = layout.slots;
    h.slot_stride = layout.slot_stride;
    h.lengths_offset = layout.lengths_offset;
    h.ring_bytes = layout.ring_bytes;
    h.max_record = layout.max_record;
    h.total_bytes = layout.total_bytes;
    h.mapping_bytes = mapping_bytes;
    return h;
}

void SharedMapping::write_header(const SharedRingShape& shape) noexcept {
    state_ = new (base_ + ORVIX_SHM_STATE_OFFSET) ringq::RingSharedState();
    state_->state.mode.store(shape.variable_size ? ringq::kVariable : ringq::kFixed, std::memory_order_relaxed);
    OrvixShmHeader planned = planned_header(shape, layout_, bytes_);
    global_fences_ = ringq::global_fences_available();
    planned.fences = global_fences_ ? ORVIX_SHM_GLOBAL_FENCES : 0u;
    // All but the magic, which an attacher may be reading: it goes last.
    OrvixShmHeader& h = header();
    static_assert(offsetof(OrvixShmHeader, magic) == 0);
    std::memcpy(reinterpret_cast<char*>(&h) + sizeof h.magic, reinterpret_cast<const char*>(&planned) + sizeof h.magic,
                sizeof h - sizeof h.magic);
    // Release: an attacher that sees the magic (acquire) sees all of the above.
    std::atomic_ref<std::uint64_t>(h.magic).store(ORVIX_SHM_MAGIC, std::memory_order_release);
}

bool SharedMapping::adopt_header(MappingError& error) noexcept {
    const std::size_t size = bytes_;
    // Read once into locals: the header lives in memory others may write.
    OrvixShmHeader h;
    const std::uint64_t magic = std::atomic_ref<std::uint64_t>(header().magic).load(std::memory_order_acquire);
    std::memcpy(&h, base_, sizeof h);
    if (magic != ORVIX_SHM_MAGIC) return fail(error, 0, "not a shared ring (no orvix header)");
    if (h.version != ORVIX_SHM_VERSION)
        return fail(error, 0, "a shared ring of another layout version (" + std::to_string(h.version) + ")");
    SharedRingShape shape{static_cast<std::size_t>(h.slot_size), static_cast<std::size_t>(h.capacity),
                          (h.flags & ORVIX_SHM_VARIABLE_SIZE) != 0, (h.flags & ORVIX_SHM_OVERWRITE) != 0};
    ringq::RingLayout l;
    if ((h.flags & ~(ORVIX_SHM_VARIABLE_SIZE | ORVIX_SHM_OVERWRITE)) != 0 ||
        ringq::plan_layout(shape.slot_size, shape.capacity, l) != ringq::RingError::kNone ||
        l.slots != h.slots || l.slot_stride != h.slot_stride || l.lengths_offset != h.lengths_offset ||
        l.ring_bytes != h.ring_bytes || l.max_record != h.max_record || l.total_bytes != h.total_bytes ||
        h.mapping_bytes != size || l.total_bytes > SIZE_MAX - 2 * kPage ||
        ORVIX_SHM_BLOCK_OFFSET + round_to_page(l.total_bytes) != size)
        return fail(error, 0, "a shared ring with a damaged header (its layout does not add up)");
    shape_ = shape;
    layout_ = l;
    global_fences_ = (h.fences & ORVIX_SHM_GLOBAL_FENCES) != 0;
    state_ = std::launder(reinterpret_cast<ringq::RingSharedState*>(base_ + ORVIX_SHM_STATE_OFFSET));
    return true;
}

ringq::RingOptions SharedMapping::options() const noexcept {
    ringq::RingOptions o;
    o.slot_size = shape_.slot_size;
    o.capacity = shape_.capacity;
    o.overwrite = shape_.overwrite;
    return o;
}

ringq::RingSharing SharedMapping::consumer_sharing() const noexcept {
    return {.across_processes = true, .asymmetric_fences = global_fences_, .untrusted_producer = true};
}

ringq::RingSharing SharedMapping::producer_sharing() const noexcept {
    const bool asymmetric = global_fences_ && ringq::register_for_global_fences();
    return {.across_processes = true, .asymmetric_fences = asymmetric, .untrusted_producer = false};
}

void SharedMapping::mark_attached(std::uint32_t pid) noexcept {
    claimed_ = true;
    header().producer_pid = pid;
    // Release: the consumer reading "attached" after the lock is ours.
    std::atomic_ref<std::uint32_t>(header().producer_state).store(ORVIX_SHM_PRODUCER_ATTACHED, std::memory_order_release);
}

void SharedMapping::mark_detached() noexcept {
    // "detached" before the lock goes: a consumer that finds the lock free
    // and then reads "attached" knows the producer died.
    std::atomic_ref<std::uint32_t>(header().producer_state).store(ORVIX_SHM_PRODUCER_DETACHED, std::memory_order_seq_cst);
}

ProducerState SharedMapping::producer_state() const noexcept {
    if (producer_lock_held()) return ProducerState::kAttached;
    const std::uint32_t said =
        std::atomic_ref<std::uint32_t>(header().producer_state).load(std::memory_order_seq_cst);
    if (said == ORVIX_SHM_PRODUCER_NONE) return ProducerState::kNone;
    if (said != ORVIX_SHM_PRODUCER_ATTACHED) return ProducerState::kDetached;
    // "attached" without the lock: dead, unless one attached in between.
    return producer_lock_held() ? ProducerState::kAttached : ProducerState::kGone;
}

}  // namespace orvix::shm
