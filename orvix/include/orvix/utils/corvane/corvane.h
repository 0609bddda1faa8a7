/*
 * orvix.utils.corvane.corvane: the interface for native producer modules.
 *
 * A native producer receives a dispatcher object from Python, takes its
 * push_fn (or the push / push_var entry of its class's table) while holding
 * the interpreter lock, keeps a reference to the dispatcher, and then pushes
 * from its own thread without the interpreter lock:
 *
 *     OrvixThreadedDispatcher *d = (OrvixThreadedDispatcher *)obj;
 *     int r = d->push_fn(obj, data, size);          // any thread, no GIL
 *
 * One producer thread at a time per dispatcher. Every record below starts
 * with the object header and the class's table pointer; the field order is
 * fixed and shared with the module itself.
 */
#ifndef ORVIX_UTILS_CORVANE_CORVANE_H
#define ORVIX_UTILS_CORVANE_CORVANE_H

#include <Python.h>
#include <stddef.h>
#include <stdint.h>

#include "orvix/ringq/ringq.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Native socket handle: unsigned 64-bit, all ones means "no socket". */
typedef uint64_t ORVIX_PLATFORM_SOCKET;
#define ORVIX_INVALID_SOCKET (~(ORVIX_PLATFORM_SOCKET)0)

/* The platform's 16-byte IPv4 socket address (sockaddr_in layout). */
typedef struct OrvixSockAddrIn {
    uint16_t family;       /* AF_INET (2), host byte order */
    uint16_t port;         /* network byte order */
    uint32_t addr;         /* network byte order */
    unsigned char zero[8];
} OrvixSockAddrIn;

/* Optional arguments of the dispatchers' setup entries: a count, then host. */
typedef struct OrvixSetupOptArgs {
    int n;
    PyObject *host;
} OrvixSetupOptArgs;

typedef void (*orvix_dispatch_push_fn)(PyObject *self, const char *data, size_t size);
typedef int (*orvix_threaded_push_fn)(PyObject *self, const char *data, size_t size);
/* The push entry with the ring's result (1 stored, 0 refused because the ring
 * is full, negative when the message can never be stored), which every
 * dispatcher record carries: try_push_fn after the fields of AsyncDispatcher
 * and SyncDispatcher, push_fn itself in ThreadedDispatcher. */
typedef int (*orvix_try_push_fn)(PyObject *self, const char *data, size_t size);
/* The burst push, the last entry of every dispatcher's table: messages[0..n)
 * in order, each with the result its own push would give, stopping at the
 * first refused as full; the reader is woken once for the lot. Returns how
 * many messages were dealt with (see push_burst in orvix/ringq/ringq.h). */
typedef size_t (*orvix_push_burst_fn)(PyObject *self, const OrvixRingMessage *messages, size_t n,
                                      int *results);

/* ---- AsyncDispatcher ---------------------------------------------------- */

typedef struct OrvixAsyncDispatcherVTable {
    void (*setup)(PyObject *self, int skip_override, const OrvixSetupOptArgs *opt);
    void (*push)(PyObject *self, const char *data, size_t size);
    void (*push_var)(PyObject *self, const char *data, size_t size);
    PyObject *(*_try_pop)(PyObject *self);
    PyObject *(*_try_pop_var)(PyObject *self);
    orvix_push_burst_fn push_burst;
} OrvixAsyncDispatcherVTable;

typedef struct OrvixAsyncDispatcher {
    PyObject_HEAD
    const OrvixAsyncDispatcherVTable *vtab;
    PyObject *_q;
    ORVIX_PLATFORM_SOCKET _sock_fd;
    OrvixSockAddrIn _addr;
    orvix_dispatch_push_fn push_fn;
    PyObject *(*pop_fn)(PyObject *self);
    PyObject *callback;
    PyObject *_socket;
    PyObject *_task;
    orvix_try_push_fn try_push_fn; /* push_fn with the ring's result */
} OrvixAsyncDispatcher;

/* ---- SyncDispatcher ----------------------------------------------------- */

typedef struct OrvixSyncDispatcherVTable {
    void (*setup)(PyObject *self, int skip_override, const OrvixSetupOptArgs *opt);
    void (*push)(PyObject *self, const char *data, size_t size);
    void (*push_var)(PyObject *self, const char *data, size_t size);
    void (*_try_pop)(PyObject *self, int skip_override);
    void (*_try_pop_var)(PyObject *self, int skip_override);
    PyObject *(*__try_pop)(PyObject *self);
    PyObject *(*__try_pop_var)(PyObject *self);
    void (*close)(PyObject *self, int skip_override);
    orvix_push_burst_fn push_burst;
} OrvixSyncDispatcherVTable;

typedef struct OrvixSyncDispatcher {
    PyObject_HEAD
    const OrvixSyncDispatcherVTable *vtab;
    PyObject *_q;
    ORVIX_PLATFORM_SOCKET _sock_fd;
    OrvixSockAddrIn _addr;
    int daemon;
    int variable_size;
    orvix_dispatch_push_fn push_fn;
    PyObject *callback;
    PyObject *_socket;
    orvix_try_push_fn try_push_fn; /* push_fn with the ring's result */
} OrvixSyncDispatcher;

/* ---- ThreadedDispatcher ------------------------------------------------- */

typedef struct OrvixThreadHandle {
    void *handle;
    uint32_t id;
} OrvixThreadHandle;

typedef struct OrvixThreadedDispatcherVTable {
    int (*push)(PyObject *self, const char *data, size_t size);
    int (*push_var)(PyObject *self, const char *data, size_t size);
    void (*_reader)(PyObject *self);
    void (*_reader_var)(PyObject *self);
    void (*setup)(PyObject *self, int skip_override);
    void (*close)(PyObject *self, int skip_override);
    orvix_push_burst_fn push_burst;
} OrvixThreadedDispatcherVTable;

typedef struct OrvixThreadedDispatcher {
    PyObject_HEAD
    const OrvixThreadedDispatcherVTable *vtab;
    PyObject *_q;
    OrvixThreadHandle _thread;
    PyObject *callback;
    int variable_size;
    orvix_threaded_push_fn push_fn;
} OrvixThreadedDispatcher;

/* ---- AsyncQueue --------------------------------------------------------- */

typedef struct OrvixAsyncQueueVTable {
    PyObject *(*start_dispatcher)(PyObject *self, PyObject *callback, int skip_override);
} OrvixAsyncQueueVTable;

typedef struct OrvixAsyncQueue {
    PyObject_HEAD
    const OrvixAsyncQueueVTable *vtab;
    PyObject *_q;
    PyObject *_loop;
    PyObject *_callback;
    PyObject *_lock;
    PyObject *_notify_cond;
    PyObject *_task;
} OrvixAsyncQueue;

#ifdef __cplusplus
}
#endif

#endif /* ORVIX_UTILS_CORVANE_CORVANE_H */
