/*
 * orvix/shm/producer.h: the producer side of a ring in named shared memory
 * (orvix.shm.SharedRing), for a process with no Python in it. Header-only C
 * (C11 or later, ISO or GNU dialect, or C++17 or later; GCC or Clang), Linux
 * and Windows (mingw-w64 GCC or Clang).
 *
 *     OrvixShmProducer p;
 *     if (orvix_shm_attach(&p, "/feed") != 0) { perror("attach"); return 1; }
 *     int r = orvix_shm_push(&p, data, size);   // 1 stored, 0 full, < 0 never
 *     ...
 *     orvix_shm_detach(&p);
 *
 * The results are those of orvix/utils/corvane/producer.h: 1 stored; 0 the
 * ring is full (retry after a pause, or drop the message); -1 larger than the
 * ring takes; -2 the ring is closed (its consumer closed it: stop pushing);
 * -3 the ring is in the other mode. A push makes a system call only when the
 * consumer sleeps.
 *
 * One producer at a time: attaching takes a lock on the shared memory object
 * that the kernel releases when the producer's descriptor closes (detach, or
 * the process ending in any way), and fails with EBUSY while another producer
 * holds it. A producer killed in the middle of a push leaves nothing torn:
 * the consumer sees a message only once it is whole. One thread pushes at a
 * time; a forked child shares the parent's lock and must not push (its
 * orvix_shm_detach only unmaps).
 *
 * Windows: the ring is the named file mapping "Local\orvix-m-<name>"; the
 * lock is the named mutex "Local\orvix-p-<name>", which belongs to the
 * thread that attached: detach from that thread (a thread that ends attached
 * reads to the consumer as a producer that died), and never consume the same
 * ring on it. A push wakes a sleeping consumer through the named event
 * "Local\orvix-c-<name>".
 *
 * orvix_shm_attach fails with -1 and errno: ENOENT (no ring of that name),
 * EACCES, EINVAL (a bad name, or not an orvix ring, or a ring of another
 * layout version or with a header that does not add up), EBUSY (a producer
 * is attached), or the error of shm_open / mmap (Windows: EIO for a system
 * error without a closer errno; GetLastError() says which).
 */
#ifndef ORVIX_SHM_PRODUCER_H
#define ORVIX_SHM_PRODUCER_H

#include <errno.h>
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/membarrier.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "orvix/shm/shm_layout.h"

#if !defined(_WIN32)
/* Strict ISO C (-std=c11, -std=c17) hides what the C library declares only
 * for POSIX 2008 or the GNU dialects, whatever feature macros come later:
 * the header brings the three things it needs of those itself. */
#ifndef F_OFD_SETLK
#define F_OFD_SETLK 37 /* Linux's value; <fcntl.h> names it under _GNU_SOURCE only */
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 02000000 /* Linux's value */
#endif
#ifndef __cplusplus
long syscall(long number, ...); /* C++ compilers declare it (they define _GNU_SOURCE) */
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OrvixShmProducer {
    char *base;            /* the mapping */
    size_t bytes;
#if defined(_WIN32)
    HANDLE mapping;        /* the file mapping */
    HANDLE mutex;          /* the producer lock, owned by the attaching thread */
    HANDLE wake_consumer;  /* auto-reset event: set when the consumer sleeps */
#else
    int fd;
    pid_t owner;           /* the process that attached: only it gives the ring back */
#endif
    OrvixShmHeader header; /* checked at attach; the producer reads only this copy */
    uint64_t limit;        /* positions below this are known to be free */
    int light_fence;       /* the consumer's global membarrier stands in for our full fence */
} OrvixShmProducer;

/* ---- internals ------------------------------------------------------------ */

static inline uint64_t *orvix_shm__u64(const OrvixShmProducer *p, unsigned offset) {
    return (uint64_t *)(p->base + ORVIX_SHM_STATE_OFFSET + offset);
}
static inline uint32_t *orvix_shm__u32(const OrvixShmProducer *p, unsigned offset) {
    return (uint32_t *)(p->base + ORVIX_SHM_STATE_OFFSET + offset);
}
static inline char *orvix_shm__block(const OrvixShmProducer *p) { return p->base + ORVIX_SHM_BLOCK_OFFSET; }

/* A counter only this producer writes: a load and a release store. */
static inline void orvix_shm__bump(uint64_t *counter) {
    __atomic_store_n(counter, __atomic_load_n(counter, __ATOMIC_RELAXED) + 1, __ATOMIC_RELEASE);
}

static inline uint64_t orvix_shm__bit_ceil(uint64_t v) {
    uint64_t r = 1;
    while (r < v && r != 0) r <<= 1;
    return r;
}

/* The layout the ring's slot_size and capacity give (see the consumer's
 * planning); 0 when the header's copy of it differs or the sizes overflow. */
static inline int orvix_shm__layout_holds(const OrvixShmHeader *h, uint64_t mapping_bytes) {
    const uint64_t largest = UINT64_MAX / 4 + 1;
    uint64_t stride, slots, slot_bytes, length_bytes, payload_bytes, two_records, ring_min, ring_bytes, total;
    if (h->slot_size == 0 || h->capacity == 0 || h->slot_size > largest || h->capacity > largest) return 0;
    stride = (h->slot_size + 63) & ~(uint64_t)63;
    slots = orvix_shm__bit_ceil(h->capacity);
    if (__builtin_mul_overflow(slots, stride, &slot_bytes) || __builtin_mul_overflow(slots, 8, &length_bytes) ||
        slot_bytes > UINT64_MAX - length_bytes ||
        __builtin_mul_overflow(slots, (h->slot_size + 7) & ~(uint64_t)7, &payload_bytes) ||
        __builtin_mul_overflow(8 + ((h->slot_size + 7) & ~(uint64_t)7), 2, &two_records))
        return 0;
    ring_min = payload_bytes > two_records ? payload_bytes : two_records;
    if (ring_min > largest) return 0;
    ring_bytes = orvix_shm__bit_ceil(ring_min);
    total = slot_bytes + length_bytes > ring_bytes ? slot_bytes + length_bytes : ring_bytes;
    return h->slots == slots && h->slot_stride == stride && h->lengths_offset == slot_bytes &&
           h->ring_bytes == ring_bytes && h->max_record == ring_bytes / 2 - 8 && h->total_bytes == total &&
           total <= UINT64_MAX - 2 * 4096 && h->mapping_bytes == mapping_bytes &&
           mapping_bytes == ORVIX_SHM_BLOCK_OFFSET + ((total + 4095) & ~(uint64_t)4095);
}

/* ---- the system's part ------------------------------------------------------ */

#if defined(_WIN32)

static inline int orvix_shm__errno_of(DWORD e) {
    switch (e) {
    case ERROR_FILE_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE: return EINVAL;
    default: return EIO;
    }
}

static inline int orvix_shm__fail(OrvixShmProducer *p, int error) {
    if (p->base) UnmapViewOfFile(p->base);
    if (p->mapping) CloseHandle(p->mapping);
    if (p->mutex) CloseHandle(p->mutex);
    if (p->wake_consumer) CloseHandle(p->wake_consumer);
    p->base = NULL;
    p->mapping = p->mutex = p->wake_consumer = NULL;
    errno = error;
    return -1;
}

/* "Local\orvix-<kind>-<bare>" in UTF-16: 0, or -1 (not UTF-8). */
static inline int orvix_shm__object_name(WCHAR *out, WCHAR kind, const char *bare, size_t length) {
    static const WCHAR prefix[] = L"Local\\orvix-";
    const size_t n = sizeof prefix / sizeof prefix[0] - 1;
    int written;
    memcpy(out, prefix, n * sizeof(WCHAR));
    out[n] = kind;
    out[n + 1] = L'-';
    written = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bare, (int)length, out + n + 2,
                                  (int)(ORVIX_SHM_NAME_MAX + 1));
    if (written <= 0) return -1;
    out[n + 2 + (size_t)written] = 0;
    return 0;
}

/* Maps the ring `bare` (no '/'): 0, or -1 with errno. */
static inline int orvix_shm__map(OrvixShmProducer *p, const char *bare, size_t length) {
    WCHAR name[16 + ORVIX_SHM_NAME_MAX + 1];
    MEMORY_BASIC_INFORMATION region;
    if (strchr(bare, '\\') || orvix_shm__object_name(name, L'm', bare, length) != 0)
        return orvix_shm__fail(p, EINVAL);
    p->mapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name);
    if (!p->mapping) return orvix_shm__fail(p, orvix_shm__errno_of(GetLastError()));
    p->base = (char *)MapViewOfFile(p->mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (!p->base) return orvix_shm__fail(p, orvix_shm__errno_of(GetLastError()));
    /* The view is the whole mapping, whose size is a number of pages. */
    if (VirtualQuery(p->base, &region, sizeof region) == 0) return orvix_shm__fail(p, orvix_shm__errno_of(GetLastError()));
    p->bytes = region.RegionSize;
    return 0;
}

/* Takes the producer lock: 0, or -1 with errno (EBUSY: another producer). */
static inline int orvix_shm__claim(OrvixShmProducer *p, const char *bare, size_t length) {
    WCHAR name[16 + ORVIX_SHM_NAME_MAX + 1];
    DWORD got;
    p->light_fence = 0; /* no global fences on Windows: both sides take full fences */
    orvix_shm__object_name(name, L'c', bare, length);
    p->wake_consumer = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    orvix_shm__object_name(name, L'p', bare, length);
    p->mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
    if (!p->wake_consumer || !p->mutex) return orvix_shm__fail(p, orvix_shm__errno_of(GetLastError()));
    /* A short wait: a consumer asking whether a producer is there holds the
     * mutex for an instant. Abandoned: the last producer died; ours now. */
    got = WaitForSingleObject(p->mutex, 100);
    if (got == WAIT_TIMEOUT) return orvix_shm__fail(p, EBUSY);
    if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) return orvix_shm__fail(p, orvix_shm__errno_of(GetLastError()));
    ((OrvixShmHeader *)p->base)->producer_pid = (uint32_t)GetCurrentProcessId();
    return 0;
}

static inline int orvix_shm__owned(const OrvixShmProducer *p) {
    (void)p;
    return 1; /* no fork */
}

static inline void orvix_shm__unclaim(OrvixShmProducer *p) { ReleaseMutex(p->mutex); }

static inline void orvix_shm__wake_consumer(OrvixShmProducer *p, uint32_t *sleeping) {
    (void)sleeping;
    SetEvent(p->wake_consumer);
}

static inline void orvix_shm__yield(void) { SwitchToThread(); }

#else /* Linux */

static inline int orvix_shm__lock(int fd, short type) {
    struct flock lock;
    memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &lock);
}

static inline int orvix_shm__fail(OrvixShmProducer *p, int error) {
    if (p->base) munmap(p->base, p->bytes);
    if (p->fd >= 0) close(p->fd);
    p->base = NULL;
    p->fd = -1;
    errno = error;
    return -1;
}

/* Maps the ring `bare` (no '/'): 0, or -1 with errno. */
static inline int orvix_shm__map(OrvixShmProducer *p, const char *bare, size_t length) {
    char path[ORVIX_SHM_NAME_MAX + 1];
    struct stat st;
    p->fd = -1;
    path[0] = '/';
    memcpy(path + 1, bare, length + 1);
    p->fd = shm_open(path, O_RDWR | O_CLOEXEC, 0);
    if (p->fd < 0) return orvix_shm__fail(p, errno);
    if (fstat(p->fd, &st) != 0) return orvix_shm__fail(p, errno);
    if ((uint64_t)st.st_size < ORVIX_SHM_BLOCK_OFFSET) return orvix_shm__fail(p, EINVAL);
    p->bytes = (size_t)st.st_size;
    p->base = (char *)mmap(NULL, p->bytes, PROT_READ | PROT_WRITE, MAP_SHARED, p->fd, 0);
    if (p->base == MAP_FAILED) {
        p->base = NULL;
        return orvix_shm__fail(p, errno);
    }
    return 0;
}

/* Takes the producer lock: 0, or -1 with errno (EBUSY: another producer). */
static inline int orvix_shm__claim(OrvixShmProducer *p, const char *bare, size_t length) {
    (void)bare;
    (void)length;
    /* The consumer fences every registered process before it sleeps: then a
     * compiler fence is all a push needs (see ORVIX_SHM_GLOBAL_FENCES). */
    p->light_fence = (p->header.fences & ORVIX_SHM_GLOBAL_FENCES) != 0 &&
                     syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_GLOBAL_EXPEDITED, 0, 0) == 0;
    if (orvix_shm__lock(p->fd, F_WRLCK) != 0)
        return orvix_shm__fail(p, errno == EAGAIN || errno == EACCES ? EBUSY : errno);
    p->owner = getpid();
    ((OrvixShmHeader *)p->base)->producer_pid = (uint32_t)p->owner;
    return 0;
}

/* The lock belongs to the open file description, which a forked child
 * shares with its parent: a child's detach only unmaps, or it would hand
 * the parent's live ring to a second producer. */
static inline int orvix_shm__owned(const OrvixShmProducer *p) { return p->owner == getpid(); }

static inline void orvix_shm__unclaim(OrvixShmProducer *p) { orvix_shm__lock(p->fd, F_UNLCK); }

static inline void orvix_shm__wake_consumer(OrvixShmProducer *p, uint32_t *sleeping) {
    (void)p;
    syscall(SYS_futex, sleeping, FUTEX_WAKE, INT_MAX, NULL, NULL, 0);
}

static inline void orvix_shm__yield(void) { sched_yield(); }

#endif

/* ---- attach / detach ------------------------------------------------------ */

/* Attaches to the ring `name` ("/name" or "name") as its producer: 0, or -1
 * with errno (see above). */
static inline int orvix_shm_attach(OrvixShmProducer *p, const char *name) {
    const char *bare = name[0] == '/' ? name + 1 : name;
    size_t length = strlen(bare);
    memset(p, 0, sizeof *p);
#if !defined(_WIN32)
    p->fd = -1;
#endif
    if (length == 0 || length + 1 > ORVIX_SHM_NAME_MAX || strchr(bare, '/')) return orvix_shm__fail(p, EINVAL);
    if (orvix_shm__map(p, bare, length) != 0) return -1;
    if (p->bytes < ORVIX_SHM_BLOCK_OFFSET) return orvix_shm__fail(p, EINVAL);
    /* Acquire: the creator writes the magic last. */
    if (__atomic_load_n((uint64_t *)p->base, __ATOMIC_ACQUIRE) != ORVIX_SHM_MAGIC) return orvix_shm__fail(p, EINVAL);
    memcpy(&p->header, p->base, sizeof p->header);
    if (p->header.version != ORVIX_SHM_VERSION ||
        (p->header.flags & ~(ORVIX_SHM_VARIABLE_SIZE | ORVIX_SHM_OVERWRITE)) != 0 ||
        !orvix_shm__layout_holds(&p->header, p->bytes))
        return orvix_shm__fail(p, EINVAL);
    if (orvix_shm__claim(p, bare, length) != 0) return -1;
    __atomic_store_n(&((OrvixShmHeader *)p->base)->producer_state, ORVIX_SHM_PRODUCER_ATTACHED, __ATOMIC_RELEASE);
    return 0;
}

/* Gives the ring back (another producer may attach) and unmaps it. In a
 * forked child of the producer it only unmaps: the ring stays the parent's. */
static inline void orvix_shm_detach(OrvixShmProducer *p) {
    if (!p->base) return;
    if (orvix_shm__owned(p)) {
        /* "detached" before the lock goes: the consumer tells a clean detach
         * from a death by it. */
        __atomic_store_n(&((OrvixShmHeader *)p->base)->producer_state, ORVIX_SHM_PRODUCER_DETACHED,
                         __ATOMIC_SEQ_CST);
        orvix_shm__unclaim(p);
    }
    orvix_shm__fail(p, errno);
}

/* Whether the consumer closed the ring (pushes answer -2). */
static inline int orvix_shm_closed(const OrvixShmProducer *p) {
    return __atomic_load_n(orvix_shm__u32(p, ORVIX_SHM_CLOSED), __ATOMIC_RELAXED) != 0;
}

/* ---- push ------------------------------------------------------------------- */

static inline int orvix_shm__variable(const OrvixShmProducer *p) {
    return (p->header.flags & ORVIX_SHM_VARIABLE_SIZE) != 0;
}
static inline uint64_t orvix_shm__units(const OrvixShmProducer *p) {
    return orvix_shm__variable(p) ? p->header.ring_bytes : p->header.slots;
}
static inline char *orvix_shm__length_word(const OrvixShmProducer *p, uint64_t at) {
    return orvix_shm__variable(p)
               ? orvix_shm__block(p) + (at & (p->header.ring_bytes - 1))
               : orvix_shm__block(p) + p->header.lengths_offset + (at & (p->header.slots - 1)) * 8;
}
static inline char *orvix_shm__payload(const OrvixShmProducer *p, uint64_t at) {
    return orvix_shm__variable(p) ? orvix_shm__block(p) + (at & (p->header.ring_bytes - 1)) + 8
                                  : orvix_shm__block(p) + (at & (p->header.slots - 1)) * p->header.slot_stride;
}

/* Overwrite: drops the message at `head` unless the consumer just took it. */
static inline void orvix_shm__drop_oldest(OrvixShmProducer *p, uint64_t head) {
    uint64_t at = head, next = head + 1, length;
    if (orvix_shm__variable(p)) {
        memcpy(&length, orvix_shm__length_word(p, at), 8);
        if (length == UINT64_MAX) { /* the rest of the lap is unused: the record starts the next */
            at += p->header.ring_bytes - (at & (p->header.ring_bytes - 1));
            memcpy(&length, orvix_shm__length_word(p, at), 8);
        }
        next = at + 8 + ((length + 7) & ~(uint64_t)7);
    }
    /* From `head`, the position the consumer may also be moving, not `at`. */
    if (__atomic_compare_exchange_n(orvix_shm__u64(p, ORVIX_SHM_HEAD), &head, next, 0, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST))
        orvix_shm__bump(orvix_shm__u64(p, ORVIX_SHM_DROPPED));
}

/* Finds room for `need` units at `t`: 1, or 0 (full). */
static inline int orvix_shm__make_room(OrvixShmProducer *p, uint64_t t, uint64_t need) {
    const int overwrite = (p->header.flags & ORVIX_SHM_OVERWRITE) != 0;
    const uint64_t units = orvix_shm__units(p);
    unsigned spins;
    for (spins = 0;; ++spins) {
        /* seq_cst, head before held: the consumer's claim protocol. */
        const uint64_t head = __atomic_load_n(orvix_shm__u64(p, ORVIX_SHM_HEAD), __ATOMIC_SEQ_CST);
        const uint64_t held = overwrite ? __atomic_load_n(orvix_shm__u64(p, ORVIX_SHM_HELD), __ATOMIC_SEQ_CST)
                                        : UINT64_MAX;
        p->limit = (head < held ? head : held) + units;
        if (t + need <= p->limit) return 1;
        if (!overwrite) return 0;
        if (held == UINT64_MAX || t + need <= held + units) {
            orvix_shm__drop_oldest(p, head);
            continue;
        }
        /* The consumer is copying that message out. */
#if defined(__x86_64__) || defined(__i386__)
        if (spins < 1024) __builtin_ia32_pause();
        else
#endif
            orvix_shm__yield();
    }
}

static inline int orvix_shm__refuse(OrvixShmProducer *p, int result) {
    orvix_shm__bump(orvix_shm__u64(p, ORVIX_SHM_REFUSED));
    return result;
}

/* Pushes one message; see the results above. */
static inline int orvix_shm_push(OrvixShmProducer *p, const void *data, size_t size) {
    const int variable = orvix_shm__variable(p);
    uint32_t *sleeping;
    uint64_t t, at, need = 1, length = size;
    if (__atomic_load_n(orvix_shm__u32(p, ORVIX_SHM_MODE), __ATOMIC_RELAXED) !=
        (variable ? ORVIX_SHM_MODE_VARIABLE : ORVIX_SHM_MODE_FIXED))
        return orvix_shm__refuse(p, ORVIX_SHM_PUSH_WRONG_MODE);
    if (size > (variable ? p->header.max_record : p->header.slot_size))
        return orvix_shm__refuse(p, ORVIX_SHM_PUSH_TOO_LARGE);
    if (orvix_shm_closed(p)) return orvix_shm__refuse(p, ORVIX_SHM_PUSH_CLOSED);
    t = __atomic_load_n(orvix_shm__u64(p, ORVIX_SHM_TAIL), __ATOMIC_RELAXED);   /* only we store it */
    at = t;
    if (variable) {
        const uint64_t left = p->header.ring_bytes - (t & (p->header.ring_bytes - 1));
        need = 8 + ((length + 7) & ~(uint64_t)7);
        if (need > left) { /* a record never wraps: skip to the lap's start */
            at = t + left;
            need += left;
        }
    }
    if (t + need > p->limit && !orvix_shm__make_room(p, t, need)) return orvix_shm__refuse(p, ORVIX_SHM_PUSH_FULL);
    if (at != t) {
        const uint64_t padding = UINT64_MAX;
        memcpy(orvix_shm__length_word(p, t), &padding, 8);
    }
    memcpy(orvix_shm__length_word(p, at), &length, 8);
    if (size) memcpy(orvix_shm__payload(p, at), data, size);
    orvix_shm__bump(orvix_shm__u64(p, ORVIX_SHM_STORED));
    /* Release: the message is whole before the consumer can see the tail. */
    __atomic_store_n(orvix_shm__u64(p, ORVIX_SHM_TAIL), t + need, __ATOMIC_RELEASE);
    /* Store-load fence against the consumer raising its flag and then
     * looking at the tail: either it sees our tail or we see its flag. With
     * the consumer's global membarrier the compiler fence is that half. */
    if (p->light_fence)
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
    else
        __atomic_thread_fence(__ATOMIC_SEQ_CST);
    sleeping = orvix_shm__u32(p, ORVIX_SHM_CONSUMER_SLEEPING);
    if (__atomic_load_n(sleeping, __ATOMIC_RELAXED) != 0 && __atomic_exchange_n(sleeping, 0, __ATOMIC_SEQ_CST) != 0)
        orvix_shm__wake_consumer(p, sleeping);
    return ORVIX_SHM_PUSH_STORED;
}

#ifdef __cplusplus
}
#endif

#endif /* ORVIX_SHM_PRODUCER_H */
