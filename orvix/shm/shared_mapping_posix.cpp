// SharedMapping on Linux: a POSIX shared memory object, and an
// open-file-description lock on its first byte for the producer side.
#include "orvix/shm/shared_mapping.hpp"

#include <atomic>
#include <cerrno>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvix::shm {
using mapping_detail::fail;
using mapping_detail::kPage;
using mapping_detail::round_to_page;
namespace {

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
    // posix_fallocate, not ftruncate: every page is reserved now, so that a
    // full file system (a small /dev/shm) is ENOSPC here rather than SIGBUS
    // at the first touch of a page, in this process or in a producer's.
    int failure = fchmod(m->fd_, mode) != 0 ? errno : 0;
    if (!failure) failure = posix_fallocate(m->fd_, 0, static_cast<off_t>(m->bytes_));
    if (failure) {
        fail(error, failure);
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
    m->write_header(shape);
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
    if (!m->adopt_header(error)) return nullptr;
    return m;
}

SharedMapping::~SharedMapping() {
    if (claimed_) release_producer();
    if (base_) munmap(base_, bytes_);
    if (fd_ >= 0) close(fd_);
}

bool SharedMapping::claim_producer(MappingError& error) noexcept {
    struct flock lock = first_byte(F_WRLCK);
    if (fcntl(fd_, F_OFD_SETLK, &lock) != 0) {
        if (errno == EAGAIN || errno == EACCES) return fail(error, 0, "the shared ring already has a producer");
        return fail(error, errno);
    }
    claimer_ = getpid();
    mark_attached(static_cast<std::uint32_t>(claimer_));
    return true;
}

void SharedMapping::release_producer() noexcept {
    if (!claimed_) return;
    claimed_ = false;
    // The lock belongs to the open file description the child shares with
    // its parent: releasing it here would release the parent's.
    if (claimer_ != getpid()) return;
    mark_detached();
    struct flock lock = first_byte(F_UNLCK);
    fcntl(fd_, F_OFD_SETLK, &lock);
}

bool SharedMapping::producer_lock_held() const noexcept {
    struct flock lock = first_byte(F_WRLCK);
    return fcntl(fd_, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

void SharedMapping::unlink_name() noexcept { shm_unlink(name_.c_str()); }

}  // namespace orvix::shm
