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
 * entries: 1 stored; 0 refused because the ring is full; negative when the
 * message was not stored for another reason (ORVIX_RING_* below).
 *
 * A producer thread that attach_producer()s before its first push and
 * detach_producer()s after its last is refused (0) while another is
 * attached, instead of corrupting the ring by pushing beside it.
 */
#ifndef ORVIX_RINGQ_RINGQ_H
#define ORVIX_RINGQ_RINGQ_H

#include <Python.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Results of the push and pop entries (the pops: 1 handed out; 0 empty, for
 * try_pop / try_pop_var; ORVIX_RING_CLOSED from a wait after close). */
#define ORVIX_RING_STORED 1      /* push: stored; pop: a message handed out */
#define ORVIX_RING_FULL 0        /* push: refused, the ring is full; try_pop: empty */
#define ORVIX_RING_TOO_LARGE (-1) /* push: larger than slot_size (or the largest record) */
#define ORVIX_RING_CLOSED (-2)    /* push: the ring is closed; wait_*: closed, the reader ends */
#define ORVIX_RING_WRONG_MODE (-3) /* fixed-size call on a variable-size ring, or the reverse */

/* Where a ring's producer session stands (the producer_session entry). */
#define ORVIX_PRODUCER_NONE 0        /* no producer attached */
#define ORVIX_PRODUCER_ATTACHED 1    /* a producer is attached */
#define ORVIX_PRODUCER_INTERRUPTED 2 /* attached and interrupted: its pushes never wait, until it detaches */

/* What a ring has counted so far (see the `counts` entry). Each field is
 * exact; while both sides run they are read at slightly different moments,
 * in an order that keeps taken + dropped <= stored, pending <= stored -
 * taken - dropped and, in fixed-size mode, pending <= capacity + 1. */
typedef struct OrvixRingCounts {
    unsigned long long stored;   /* pushes that stored their message */
    unsigned long long refused;  /* pushes that stored nothing: full, closed, too large, wrong mode */
    unsigned long long dropped;  /* stored messages overwritten before they were taken (overwrite) */
    unsigned long long taken;    /* messages handed to the consumer */
    unsigned long long pending;  /* messages in the ring now */
} OrvixRingCounts;

/* One message of a burst push. */
typedef struct OrvixRingMessage {
    const char *data;
    size_t size;
} OrvixRingMessage;

/* Where a burst pop copies the messages it takes: their payloads back to
 * back into `buffer` (buffer_bytes long), the end offset of message i into
 * ends[i] (max_messages entries). The pop sets count and bytes. */
typedef struct OrvixRingBurst {
    char *buffer;
    size_t buffer_bytes;
    size_t *ends;
    size_t max_messages;
    size_t count;
    size_t bytes;
} OrvixRingBurst;

/* Flags of the burst entries. */
#define ORVIX_BURST_VARIABLE 1 /* variable-size mode (push_var / *_pop_var) */
#define ORVIX_BURST_NOTIFY 2   /* push_burst: as push_notify (wakes a waiting consumer, may block) */
#define ORVIX_BURST_WAIT 2     /* pop_burst: wait for a message (ORVIX_RING_CLOSED once closed) */

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
    void (*counts)(PyObject *q, OrvixRingCounts *out); /* 11: the counters above; any thread */
    /* The producer session and the reader's presence; any thread, no lock. */
    int (*attach_producer)(PyObject *q);    /* 12: 1 attached; 0 another producer is attached */
    void (*detach_producer)(PyObject *q);   /* 13: end the session (and its interruption), after the last push */
    int (*interrupt_producer)(PyObject *q); /* 14: the attached producer's waits end, and its blocking pushes
                                               answer 0 until it detaches; 1 if a producer was attached */
    int (*producer_session)(PyObject *q);   /* 15: ORVIX_PRODUCER_* (a snapshot) */
    void (*set_reader_present)(PyObject *q, int present); /* 16: 0: no reader makes room, so a blocking
                                               push answers 0 instead of waiting (and a waiting one stops) */
    /* Bursts. push_burst: messages[0..n) in order, each with the result
     * its own push would give (into results[i] unless results is NULL), the
     * tail published once, up to the first message refused as full (0):
     * returns how many messages were dealt with (stored, or refused for
     * good); when fewer than n, message [returned] was refused as full and
     * the rest were not pushed. pop_burst: every
     * message present up to the burst's limits copied out in one pass;
     * 1 (count >= 1), 0 empty, ORVIX_RING_CLOSED (a waiting pop once closed),
     * ORVIX_RING_TOO_LARGE (the next message is larger than the buffer). */
    size_t (*push_burst)(PyObject *q, const OrvixRingMessage *messages, size_t n, int *results,
                         int flags);                                  /* 17: producer */
    int (*pop_burst)(PyObject *q, OrvixRingBurst *burst, int flags);  /* 18: consumer */
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
