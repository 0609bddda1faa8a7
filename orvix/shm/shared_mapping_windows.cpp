// SharedMapping on Windows, with kernel objects named after the ring in the
// session's namespace ("/feed" gives "Local\orvix-m-feed" and so on; the
// letter keeps the kinds apart, as all share one namespace):
//
//   m  the file mapping (backed by the paging file)
//   p  a mutex the attached producer's thread owns: Windows abandons it when
//      that thread or its process ends in any way
//   c  an auto-reset event that wakes the consumer (its sleep word)
//   w  an auto-reset event that wakes a producer waiting for room
//
// The creator makes all four, readable and writable by its own user only
// (an explicit DACL) unless its mode grants group or others anything (then
// the default DACL of its token). A named object lives while any process
// holds a handle to it: the name stays taken until both sides have let go,
// and a producer still attached after the creator closed keeps a mapping
// that no new creator can replace (its pushes answer "closed").
#include "orvix/shm/shared_mapping.hpp"

#include <atomic>
#include <cerrno>
#include <new>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <sddl.h>

namespace orvix::shm {
using mapping_detail::fail;
using mapping_detail::kPage;
using mapping_detail::round_to_page;
namespace {

// "Local\orvix-<kind>-<name without its '/'>", in UTF-16; empty when the
// name is not UTF-8.
std::wstring object_name(wchar_t kind, const std::string& name) {
    const std::string bare = name.substr(1);
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bare.data(), static_cast<int>(bare.size()),
                                      nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bare.data(), static_cast<int>(bare.size()), wide.data(), n);
    std::wstring out = L"Local\\orvix-";
    out += kind;
    out += L'-';
    return out + wide;
}

int errno_of(DWORD e) noexcept {
    switch (e) {
    case ERROR_FILE_NOT_FOUND: return ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_INVALID_HANDLE: return EEXIST;   // the name is taken by an object of another kind
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_COMMITMENT_LIMIT: return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_NAME: return EINVAL;
    default: return EIO;
    }
}

bool fail_system(MappingError& error, const char* call) {
    const DWORD e = GetLastError();
    return fail(error, errno_of(e), std::string(call) + " failed (Windows error " + std::to_string(e) + ")");
}

// A security descriptor that lets the process's user, and no one else, at
// the objects; null (the token's default) when it cannot be made.
class OwnerOnly {
public:
    OwnerOnly() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<char> user(size);
        LPWSTR sid = nullptr;
        if (size && GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
            // Protected DACL, one entry: generic all for that user.
            const std::wstring sddl = std::wstring(L"D:P(A;;GA;;;") + sid + L")";
            LocalFree(sid);
            if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                                     nullptr)) {
                attributes_.nLength = sizeof attributes_;
                attributes_.lpSecurityDescriptor = descriptor_;
                attributes_.bInheritHandle = FALSE;
            }
        }
        CloseHandle(token);
    }
    ~OwnerOnly() {
        if (descriptor_) LocalFree(descriptor_);
    }
    OwnerOnly(const OwnerOnly&) = delete;
    OwnerOnly& operator=(const OwnerOnly&) = delete;
    SECURITY_ATTRIBUTES* get() noexcept { return descriptor_ ? &attributes_ : nullptr; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace

bool SharedMapping::open_companions(bool create, void* security_attributes, MappingError& error) noexcept {
    auto* security = static_cast<SECURITY_ATTRIBUTES*>(security_attributes);
    const std::wstring mutex_name = object_name(L'p', name_), consumer_name = object_name(L'c', name_),
                       producer_name = object_name(L'w', name_);
    if (create) {
        // A companion that exists already belongs to a ring of this name
        // that is going away; sharing it is harmless.
        producer_mutex_ = CreateMutexW(security, FALSE, mutex_name.c_str());
        wake_consumer_ = CreateEventW(security, FALSE, FALSE, consumer_name.c_str());
        wake_producer_ = CreateEventW(security, FALSE, FALSE, producer_name.c_str());
    } else {
        producer_mutex_ = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, mutex_name.c_str());
        wake_consumer_ = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, consumer_name.c_str());
        wake_producer_ = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, producer_name.c_str());
    }
    if (!producer_mutex_ || !wake_consumer_ || !wake_producer_)
        return fail_system(error, create ? "creating the ring's mutex and events" : "opening the ring's mutex and events");
    return true;
}

std::unique_ptr<SharedMapping> SharedMapping::create(const std::string& name, const SharedRingShape& shape,
                                                     unsigned mode, MappingError& error) {
    std::unique_ptr<SharedMapping> m(new (std::nothrow) SharedMapping());
    if (!m) return fail(error, ENOMEM), nullptr;
    if (!normalize_name(name, m->name_, error.message)) return nullptr;
    const std::wstring wide = object_name(L'm', m->name_);
    if (wide.empty()) return fail(error, 0, "a shared ring's name must be UTF-8"), nullptr;
    const ringq::RingError planned = ringq::plan_layout(shape.slot_size, shape.capacity, m->layout_);
    if (planned != ringq::RingError::kNone) return fail(error, 0, ringq::describe(planned)), nullptr;
    if (m->layout_.total_bytes > SIZE_MAX - 2 * kPage) return fail(error, 0, "slot_size * capacity is too large for a ring"), nullptr;
    m->shape_ = shape;
    m->bytes_ = ORVIX_SHM_BLOCK_OFFSET + round_to_page(m->layout_.total_bytes);
    OwnerOnly owner_only;
    SECURITY_ATTRIBUTES* security = (mode & 077u) ? nullptr : owner_only.get();
    const auto size = static_cast<std::uint64_t>(m->bytes_);
    m->mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, security, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                                     static_cast<DWORD>(size), wide.c_str());
    if (!m->mapping_) return fail_system(error, "CreateFileMappingW"), nullptr;
    if (GetLastError() == ERROR_ALREADY_EXISTS) return fail(error, EEXIST, "a shared ring of that name exists"), nullptr;
    if (!m->open_companions(true, security, error)) return nullptr;
    m->base_ = static_cast<char*>(MapViewOfFile(m->mapping_, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, m->bytes_));
    if (!m->base_) return fail_system(error, "MapViewOfFile"), nullptr;
    m->write_header(shape);   // the paging file's pages come zeroed
    return m;
}

std::unique_ptr<SharedMapping> SharedMapping::open(const std::string& name, MappingError& error) {
    std::unique_ptr<SharedMapping> m(new (std::nothrow) SharedMapping());
    if (!m) return fail(error, ENOMEM), nullptr;
    if (!normalize_name(name, m->name_, error.message)) return nullptr;
    const std::wstring wide = object_name(L'm', m->name_);
    if (wide.empty()) return fail(error, 0, "a shared ring's name must be UTF-8"), nullptr;
    m->mapping_ = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, wide.c_str());
    if (!m->mapping_) return fail_system(error, "OpenFileMappingW"), nullptr;
    m->base_ = static_cast<char*>(MapViewOfFile(m->mapping_, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    if (!m->base_) return fail_system(error, "MapViewOfFile"), nullptr;
    // The view's size is the mapping's, rounded to pages (ours is a whole
    // number of pages).
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(m->base_, &region, sizeof region) == 0) return fail_system(error, "VirtualQuery"), nullptr;
    m->bytes_ = region.RegionSize;
    if (m->bytes_ < ORVIX_SHM_BLOCK_OFFSET) return fail(error, 0, "not a shared ring: the object is too small"), nullptr;
    if (!m->adopt_header(error)) return nullptr;
    if (!m->open_companions(false, nullptr, error)) return nullptr;
    return m;
}

SharedMapping::~SharedMapping() {
    if (claimed_) release_producer();
    if (base_) UnmapViewOfFile(base_);
    for (void* handle : {mapping_, producer_mutex_, wake_consumer_, wake_producer_})
        if (handle) CloseHandle(handle);
}

bool SharedMapping::claim_producer(MappingError& error) noexcept {
    // A short wait, not none: a consumer asking producer_state() holds the
    // mutex for an instant when no producer does.
    const DWORD got = WaitForSingleObject(producer_mutex_, 100);
    if (got == WAIT_TIMEOUT) return fail(error, 0, "the shared ring already has a producer");
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return fail_system(error, "WaitForSingleObject");
    claimer_ = GetCurrentThreadId();
    mark_attached(static_cast<std::uint32_t>(GetCurrentProcessId()));
    return true;
}

void SharedMapping::release_producer() noexcept {
    if (!claimed_) return;
    claimed_ = false;
    mark_detached();
    // Only the owning thread can release it; from another thread it stays
    // taken until the owner ends, and the header already says "detached".
    if (claimer_ == GetCurrentThreadId()) ReleaseMutex(producer_mutex_);
}

bool SharedMapping::producer_lock_held() const noexcept {
    // Taking the mutex is the only way to ask. Abandoned (its owner died)
    // counts as free: the header's "attached" then tells a death. The thread
    // that owns it would take it again (a mutex is recursive), so a ring's
    // consumer and producer never share a thread.
    const DWORD got = WaitForSingleObject(producer_mutex_, 0);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return true;
    ReleaseMutex(producer_mutex_);
    return false;
}

void SharedMapping::unlink_name() noexcept {}

void SharedMapping::wait_shared(ringq::WaitWord& word, std::uint32_t expected, std::uint32_t timeout_ms) noexcept {
    if (word.load(std::memory_order_relaxed) != expected) return;
    // The waker clears the word and then sets the event; a set that comes
    // before this wait leaves the event set, so the wait returns at once.
    // One that comes after the sleeper gave up makes a later wait return
    // early, which callers allow for.
    WaitForSingleObject(&word == &state_->sleep.consumer ? wake_consumer_ : wake_producer_,
                        timeout_ms ? timeout_ms : INFINITE);
}

void SharedMapping::wake_shared(ringq::WaitWord& word) noexcept {
    SetEvent(&word == &state_->sleep.consumer ? wake_consumer_ : wake_producer_);
}

}  // namespace orvix::shm
