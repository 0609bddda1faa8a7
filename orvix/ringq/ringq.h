/*
 * orvix.ringq.ringq: the C-level interface of SPSCQueue for native code.
 *
 * Every SPSCQueue instance stores a pointer to the table below right after
 * its object header, and the class publishes the same pointer as an unnamed
 * capsule under "__qvx_vtable__" in its dictionary. Native code calls the
 * ring through the instance's own pointer:
 *
 *     const OrvixSPSCQueueVTable *vt = orvix_spscqueue_vtable(q);
 *     int r = vt->push_notify(q, data, size);      // no interpreter lock needed
 *
 * One producer thread and one consumer thread at a time. Results of the push
 * entries: 1 stored; 0 refused because the ring is full; negative for a
 * message that can never be stored (see the README for the full table).
 */
#ifndef ORVIX_RINGQ_RINGQ_H
#define ORVIX_RINGQ_RINGQ_H

#include <Python.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*orvix_ring_push_fn)(PyObject *q, const char *data, size_t size);
typedef int (*orvix_ring_pop_fn)(PyObject *q, const char **data, size_t *size);

typedef struct OrvixSPSCQueueVTable {
    orvix_ring_push_fn push_notify;      /* 0: push, waking a consumer blocked in wait_* */
    orvix_ring_push_fn push;             /* 1: push for a polling consumer; never blocks */
    orvix_ring_push_fn push_var_notify;  /* 2: variable-size push_notify */
    orvix_ring_push_fn push_var;         /* 3: variable-size push; never blocks */
    size_t (*size)(PyObject *q);         /* 4: messages currently stored (a snapshot) */
    orvix_ring_pop_fn wait_front;        /* 5: block for the head message; 1 = handed out */
    void (*pop_front)(PyObject *q);      /* 6: remove the message wait_front handed out */
    orvix_ring_pop_fn try_pop;           /* 7: take the head message if any; 1 = handed out */
    orvix_ring_pop_fn wait_pop_var;      /* 8: block for the next variable-size record */
    orvix_ring_pop_fn try_pop_var;       /* 9: take the next variable-size record if any */
    void (*close)(PyObject *q);          /* 10: wake every waiter; later waits return != 1 */
} OrvixSPSCQueueVTable;

/* The part of an SPSCQueue instance that native callers may rely on. */
typedef struct OrvixSPSCQueueHead {
    PyObject_HEAD
    const OrvixSPSCQueueVTable *vtab;
} OrvixSPSCQueueHead;

static inline const OrvixSPSCQueueVTable *orvix_spscqueue_vtable(PyObject *q) {
    return ((OrvixSPSCQueueHead *)q)->vtab;
}

#ifdef __cplusplus
}
#endif

#endif /* ORVIX_RINGQ_RINGQ_H */
