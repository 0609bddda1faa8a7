#include "orvix/shm/shared_mapping.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvix::shm {
namespace {

constexpr std::size_t kPage = 4096;

std::size_t round_to_page(std::size_t n) noexcept { return (n + kPage - 1) & ~(kPage - 1); }

std::atomic_ref<std::uint32_t> word(std::uint32_t& w) noexcept { return std::atomic_ref<std::uint32_t>(w); }

bool fail(MappingError& error, int errno_value, std::string message = {}) {
    error.errno_value = errno_value;
    error.message = std::move(message);
    return false;
}

// F_OFD_GETLK / SETLK on the object's first byte.
struct flock first_byte(short type) noexcept {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    return lock;
}

}  // namespace

bool normalize_name(const std::string& name, std::string& out, std::string& message) {
    const std::string bare = !name.empty() && name[0] == '/' ? name.substr(1) : name;
    if (bare.empty() || bare == "." || bare == "..") {
        message = "a shared ring's name must be '/name' or 'name' with a non-empty name";
    } else if (bare.find('/') != std::string::npos) {
        message = "a shared ring's name may hold no '/' but a leading one";
    } else if (bare.find('\0') != std::string::npos) {
        message = "a shared ring's name may hold no NUL character";
    } else if (bare.size() + 1 > ORVIX_SHM_NAME_MAX) {
        message = "a shared ring's name is at most 254 bytes long (255 with the leading '/')";
    } else {
        out = "/" + bare;
        return true;
    }
    return false;
}

std::unique_ptr<SharedMapping> SharedMapping::create(const std::string& name, const SharedRingShape& shape,
                                                     unsigned mode, MappingError& error) {
    std::unique_ptr<SharedMapping> m(new (std::nothrow) SharedMapping());
    if (!m) return fail(error, ENOMEM), nullptr;
    if (!normalize_name(name, m->name_, error.message)) return nullptr;
    const ringq::RingError planned = ringq::plan_layout(shape.slot_size, shape.capacity, m->layout_);
    if (planned != ringq::RingError::kNone) return fail(error, 0, ringq::describe(planned)), nullptr;
    if (m->layout_.total_bytes > SIZE_MAX - 2 * kPage) return fail(error, 0, "slot_size * capacity is too large for a ring"), nullptr;
    m->shape_ = shape;
    m->bytes_ = ORVIX_SHM_BLOCK_OFFSET + round_to_page(m->layout_.total_bytes);
    m->fd_ = shm_open(m->name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (m->fd_ < 0) return fail(error, errno), nullptr;
    // fchmod: the process umask must not narrow a mode that was asked for.
    if (fchmod(m->fd_, mode) != 0 || ftruncate(m->fd_, static_cast<off_t>(m->bytes_)) != 0) {
        fail(error, errno);
        m->unlink_name();
        return nullptr;
    }
    void* p = mmap(nullptr, m->bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, m->fd_, 0);
    if (p == MAP_FAILED) {
        fail(error, errno);
        m->unlink_name();
        return nullptr;
    }
    m->base_ = static_cast<char*>(p);
    m->state_ = new (m->base_ + ORVIX_SHM_STATE_OFFSET) ringq::RingSharedState();
    m->state_->state.mode.store(shape.variable_size ? ringq::kVariable : ringq::kFixed, std::memory_order_relaxed);
    OrvixShmHeader& h = m->header();
    h.version = ORVIX_SHM_VERSION;
    h.flags = (shape.variable_size ? ORVIX_SHM_VARIABLE_SIZE : 0u) | (shape.overwrite ? ORVIX_SHM_OVERWRITE : 0u);
    h.slot_size = shape.slot_size;
    h.capacity = shape.capacity;
    h.slots = m->layout_.slots;
    h.slot_stride = m->layout_.slot_stride;
    h.lengths_offset = m->layout_.lengths_offset;
    h.ring_bytes = m->layout_.ring_bytes;
    h.max_record = m->layout_.max_record;
    h.total_bytes = m->layout_.total_bytes;
    h.mapping_bytes = m->bytes_;
    m->global_fences_ = ringq::global_fences_available();
    h.fences = m->global_fences_ ? ORVIX_SHM_GLOBAL_FENCES : 0u;
    // Release: an attacher that sees the magic (acquire) sees all of the above.
    std::atomic_ref<std::uint64_t>(h.magic).store(ORVIX_SHM_MAGIC, std::memory_order_release);
    return m;
}

std::unique_ptr<SharedMapping> SharedMapping::open(const std::string& name, MappingError& error) {
    std::unique_ptr<SharedMapping> m(new (std::nothrow) SharedMapping());
    if (!m) return fail(error, ENOMEM), nullptr;
    if (!normalize_name(name, m->name_, error.message)) return nullptr;
    m->fd_ = shm_open(m->name_.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (m->fd_ < 0) return fail(error, errno), nullptr;
    struct stat st {};
    if (fstat(m->fd_, &st) != 0) return fail(error, errno), nullptr;
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size < ORVIX_SHM_BLOCK_OFFSET) return fail(error, 0, "not a shared ring: the object is too small"), nullptr;
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m->fd_, 0);
    if (p == MAP_FAILED) return fail(error, errno), nullptr;
    m->base_ = static_cast<char*>(p);
    m->bytes_ = size;
    // Read once into locals: the header lives in memory others may write.
    OrvixShmHeader h;
    const std::uint64_t magic = std::atomic_ref<std::uint64_t>(m->header().magic).load(std::memory_order_acquire);
    std::memcpy(&h, m->base_, sizeof h);
    if (magic != ORVIX_SHM_MAGIC) return fail(error, 0, "not a shared ring (no orvix header)"), nullptr;
    if (h.version != ORVIX_SHM_VERSION)
        return fail(error, 0, "a shared ring of another layout version (" + std::to_string(h.version) + ")"), nullptr;
    SharedRingShape shape{static_cast<std::size_t>(h.slot_size), static_cast<std::size_t>(h.capacity),
                          (h.flags & ORVIX_SHM_VARIABLE_SIZE) != 0, (h.flags & ORVIX_SHM_OVERWRITE) != 0};
    ringq::RingLayout l;
    if ((h.flags & ~(ORVIX_SHM_VARIABLE_SIZE | ORVIX_SHM_OVERWRITE)) != 0 ||
        ringq::plan_layout(shape.slot_size, shape.capacity, l) != ringq::RingError::kNone ||
        l.slots != h.slots || l.slot_stride != h.slot_stride || l.lengths_offset != h.lengths_offset ||
        l.ring_bytes != h.ring_bytes || l.max_record != h.max_record || l.total_bytes != h.total_bytes ||
        h.mapping_bytes != size || l.total_bytes > SIZE_MAX - 2 * kPage ||
        ORVIX_SHM_BLOCK_OFFSET + round_to_page(l.total_bytes) != size)
        return fail(error, 0, "a shared ring with a damaged header (its layout does not add up)"), nullptr;
    m->shape_ = shape;
    m->layout_ = l;
    m->global_fences_ = (h.fences & ORVIX_SHM_GLOBAL_FENCES) != 0;
    m->state_ = std::launder(reinterpret_cast<ringq::RingSharedState*>(m->base_ + ORVIX_SHM_STATE_OFFSET));
    return m;
}

SharedMapping::~SharedMapping() {
    if (claimed_) release_producer();
    if (base_) munmap(base_, bytes_);
    if (fd_ >= 0) close(fd_);
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

bool SharedMapping::claim_producer(MappingError& error) noexcept {
    struct flock lock = first_byte(F_WRLCK);
    if (fcntl(fd_, F_OFD_SETLK, &lock) != 0) {
        if (errno == EAGAIN || errno == EACCES) return fail(error, 0, "the shared ring already has a producer");
        return fail(error, errno);
    }
    claimed_ = true;
    claimer_ = getpid();
    header().producer_pid = static_cast<std::uint32_t>(getpid());
    // Release: the consumer reading "attached" after the lock is ours.
    word(header().producer_state).store(ORVIX_SHM_PRODUCER_ATTACHED, std::memory_order_release);
    return true;
}

void SharedMapping::release_producer() noexcept {
    if (!claimed_) return;
    claimed_ = false;
    // The lock belongs to the open file description the child shares with
    // its parent: releasing it here would release the parent's.
    if (claimer_ != getpid()) return;
    // "detached" before the lock goes: a consumer that finds the lock free
    // and then reads "attached" knows the producer died.
    word(header().producer_state).store(ORVIX_SHM_PRODUCER_DETACHED, std::memory_order_seq_cst);
    struct flock lock = first_byte(F_UNLCK);
    fcntl(fd_, F_OFD_SETLK, &lock);
}

ProducerState SharedMapping::producer_state() const noexcept {
    auto locked = [this] {
        struct flock lock = first_byte(F_WRLCK);
        return fcntl(fd_, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    };
    if (locked()) return ProducerState::kAttached;
    const std::uint32_t said = word(header().producer_state).load(std::memory_order_seq_cst);
    if (said == ORVIX_SHM_PRODUCER_NONE) return ProducerState::kNone;
    if (said != ORVIX_SHM_PRODUCER_ATTACHED) return ProducerState::kDetached;
    // "attached" without the lock: dead, unless one attached in between.
    return locked() ? ProducerState::kAttached : ProducerState::kGone;
}

void SharedMapping::unlink_name() noexcept { shm_unlink(name_.c_str()); }

}  // namespace orvix::shm
