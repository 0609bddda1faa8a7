/* Test-only LD_PRELOAD library (Linux): every Nth one-byte sendto() of the
 * process fails with ENOBUFS instead of sending, N taken from the
 * environment variable ORVIX_FAILING_SENDTO_EVERY (unset or 0: none fails).
 * The dispatchers' wake-up datagrams are the only one-byte datagrams the
 * tests send, so this loses wake-ups the way a loaded system can, without a
 * hook in the product. Other sends pass through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/types.h>

typedef ssize_t (*sendto_fn)(int, const void *, size_t, int, const struct sockaddr *, socklen_t);

static atomic_ulong one_byte_sends;

static unsigned long every(void) {
    static atomic_long cached = -1;
    long n = atomic_load_explicit(&cached, memory_order_relaxed);
    if (n < 0) {
        const char *text = getenv("ORVIX_FAILING_SENDTO_EVERY");
        n = text ? strtol(text, NULL, 10) : 0;
        if (n < 0) n = 0;
        atomic_store_explicit(&cached, n, memory_order_relaxed);
    }
    return (unsigned long)n;
}

__attribute__((visibility("default"))) ssize_t sendto(int fd, const void *data, size_t size, int flags,
                                                      const struct sockaddr *to, socklen_t to_size) {
    static _Atomic(sendto_fn) real;
    sendto_fn next = atomic_load_explicit(&real, memory_order_acquire);
    if (!next) {
        next = (sendto_fn)dlsym(RTLD_NEXT, "sendto");
        atomic_store_explicit(&real, next, memory_order_release);
    }
    const unsigned long n = every();
    if (size == 1 && n != 0 &&
        (atomic_fetch_add_explicit(&one_byte_sends, 1, memory_order_relaxed) + 1) % n == 0) {
        errno = ENOBUFS;
        return -1;
    }
    return next(fd, data, size, flags, to, to_size);
}
