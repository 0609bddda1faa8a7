/*
 * orvix.utils.corvane.producer: what a native producer module needs.
 *
 * Take the dispatcher from Python once, with the interpreter lock held, and
 * keep a reference to it for as long as your thread pushes:
 *
 *     OrvixProducerTarget target;
 *     if (orvix_producer_target(obj, &target) < 0) return NULL;  // TypeError set
 *     Py_INCREF(obj);
 *     ... hand `target` to your thread ...
 *
 * Then push from that thread, without the interpreter lock and without a
 * Python thread state (one producer thread at a time per dispatcher):
 *
 *     if (!orvix_producer_attach(&target)) return;    // another producer pushes
 *     ... int stored = orvix_producer_push(&target, data, size); ...
 *     orvix_producer_detach(&target);                 // after the last push
 *
 * A ring has one producer side: two threads pushing into one dispatcher at
 * once corrupt it. Attaching is how a producer makes sure it is alone;
 * a producer that does not attach must serialise its pushes with every
 * other producer of that dispatcher itself (a mutex around each push).
 *
 * The result is the ring's, for every kind of dispatcher:
 *
 *     1   stored: it will be delivered (or, with overwrite=True, stored and
 *         perhaps overwritten later, which the dispatcher's stats() counts)
 *     0   refused, the ring is full: nothing was stored
 *     <0  never storable: the ring is closed (-2), the message is larger than
 *         the ring takes (-1), or the dispatcher has been torn down
 *
 * On 0 the message is yours to keep or to drop. Backing off: retry the same
 * message after a pause that grows (spin with a CPU pause a few dozen times,
 * then yield, then sleep from microseconds up to a millisecond or so); the
 * consumer frees room as it delivers. Do not retry in a tight loop without a
 * pause: on a two-core machine that steals the consumer's core. A producer
 * that must never wait drops the message instead and counts it; the ring
 * counts it too (stats()["refused"]). On a negative result stop pushing.
 * A ThreadedDispatcher made with block_on_full=True waits for room instead
 * of answering 0, but only while its reader runs: before setup(), after the
 * callback raised (until setup() again) and once the producer has been
 * interrupted (orvix_producer_interrupt), a full ring answers 0 at once.
 *
 * A producer that holds several messages at once (a receive loop, a
 * decoder) pushes them as one burst: orvix_producer_push_burst stores them
 * with the result each would get from its own push, up to the first refused
 * as full, and publishes and wakes the reader once for the lot.
 *
 * The batch dispatchers of orvix.batch (ThreadedBatchDispatcher,
 * AsyncBatchDispatcher) take producers exactly as the per-message classes
 * do: each instance record is laid out as that of the class it mirrors
 * (ThreadedDispatcher, AsyncDispatcher), with the same table layout, and
 * orvix_producer_target gives it that class's kind. So is the producer side
 * of a ring in shared memory (orvix.shm.SharedProducer, laid out as a
 * ThreadedDispatcher): pushes go into the other process's ring. Each such
 * class says so by a mark it carries (orvix_producer_kind).
 *
 * Drop your reference (with the lock held) only after the last push has
 * returned.
 *
 * The instance records and C-level method tables of the four classes are in
 * corvane.h, the ring's table in orvix/ringq/ringq.h, and the package's
 * version (ORVIX_VERSION_MAJOR, ...) in orvix/version.h; all three are
 * included here. orvix.get_include() names the
 * folder to put on the include path.
 */
#ifndef ORVIX_UTILS_CORVANE_PRODUCER_H
#define ORVIX_UTILS_CORVANE_PRODUCER_H

#include "corvane.h"
#include "orvix/ringq/ringq.h"
#include "orvix/version.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum OrvixDispatcherKind {
    ORVIX_ASYNC_DISPATCHER = 1,
    ORVIX_SYNC_DISPATCHER = 2,
    ORVIX_THREADED_DISPATCHER = 3
} OrvixDispatcherKind;

/* A dispatcher's push entries, taken once. push_int, which returns the
 * ring's result, is always set; push_void (AsyncDispatcher and
 * SyncDispatcher only) is their push_fn, which returns nothing. */
typedef struct OrvixProducerTarget {
    PyObject *dispatcher; /* borrowed: the producer keeps its own reference */
    OrvixDispatcherKind kind;
    orvix_dispatch_push_fn push_void;
    orvix_threaded_push_fn push_int;
} OrvixProducerTarget;

/* How orvix_producer_target recognizes a class that native producers push
 * into (corvane's three dispatchers, the batch dispatchers, SharedProducer):
 * the class's own dictionary holds, under ORVIX_PRODUCER_MARK_KEY, a capsule
 * named ORVIX_PRODUCER_MARK_CAPSULE that points at a static
 * OrvixProducerMark naming the kind of record its instances have. */
#define ORVIX_PRODUCER_MARK_KEY "_orvix_producer_mark"
#define ORVIX_PRODUCER_MARK_CAPSULE "orvix.utils.corvane.producer.OrvixProducerMark"
#define ORVIX_PRODUCER_MARK_VERSION 1

typedef struct OrvixProducerMark {
    int version; /* ORVIX_PRODUCER_MARK_VERSION */
    OrvixDispatcherKind kind;
} OrvixProducerMark;

/* The kind of dispatcher `obj` is: 0 when none, -1 with an exception.
 *
 * Why Python code cannot forge the mark: it is read from the object's real
 * type (never from a `__class__` the object claims), along that type's MRO,
 * and only from the first class whose own dictionary holds the key; that
 * class must be immutable (Py_TPFLAGS_IMMUTABLETYPE). Only C code makes an
 * immutable class, and nobody can set or replace an attribute of one
 * afterwards. A Python class that copies a genuine mark into its namespace
 * is mutable, and its copy shadows whatever its bases carry: it is refused.
 * A class that merely has a dispatcher's name has no mark. CPython refuses
 * an MRO that lists a class whose instance layout the type lacks (a
 * metaclass's mro() is checked for that), so the record the mark promises
 * is the object's. */
static inline int orvix_producer_kind(PyObject *obj) {
    PyObject *mro = Py_TYPE(obj)->tp_mro;
    PyObject *key = PyUnicode_InternFromString(ORVIX_PRODUCER_MARK_KEY);
    Py_ssize_t i, n = mro == NULL ? 0 : PyTuple_GET_SIZE(mro);
    int kind = 0;
    if (key == NULL) return -1;
    for (i = 0; i < n; ++i) {
        PyTypeObject *cls = (PyTypeObject *)PyTuple_GET_ITEM(mro, i);
        PyObject *dict = PyType_GetDict(cls);
        PyObject *mark = dict == NULL ? NULL : PyDict_GetItemWithError(dict, key);
        if (mark != NULL) {
            const OrvixProducerMark *m = NULL;
            if ((cls->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) && PyCapsule_IsValid(mark, ORVIX_PRODUCER_MARK_CAPSULE))
                m = (const OrvixProducerMark *)PyCapsule_GetPointer(mark, ORVIX_PRODUCER_MARK_CAPSULE);
            if (m != NULL && m->version == ORVIX_PRODUCER_MARK_VERSION && m->kind >= ORVIX_ASYNC_DISPATCHER &&
                m->kind <= ORVIX_THREADED_DISPATCHER)
                kind = (int)m->kind;
            Py_DECREF(dict);
            break;
        }
        Py_XDECREF(dict);
        if (PyErr_Occurred()) {
            kind = -1;
            break;
        }
    }
    Py_DECREF(key);
    return kind;
}

/* Fills `*target` with the push entry that the dispatcher `obj` chose at
 * construction (its push_fn). Needs the interpreter lock. Returns 0, or -1
 * with TypeError when `obj` is no dispatcher. */
static inline int orvix_producer_target(PyObject *obj, OrvixProducerTarget *target) {
    int kind = orvix_producer_kind(obj);
    if (kind < 0) return -1;
    if (kind == 0) {
        PyErr_Format(PyExc_TypeError,
                     "expected an AsyncDispatcher, SyncDispatcher or ThreadedDispatcher, got %.200s",
                     Py_TYPE(obj)->tp_name);
        return -1;
    }
    target->dispatcher = obj;
    target->kind = (OrvixDispatcherKind)kind;
    target->push_void = NULL;
    target->push_int = NULL;
    switch (target->kind) {
    case ORVIX_ASYNC_DISPATCHER:
        target->push_void = ((OrvixAsyncDispatcher *)obj)->push_fn;
        target->push_int = ((OrvixAsyncDispatcher *)obj)->try_push_fn;
        break;
    case ORVIX_SYNC_DISPATCHER:
        target->push_void = ((OrvixSyncDispatcher *)obj)->push_fn;
        target->push_int = ((OrvixSyncDispatcher *)obj)->try_push_fn;
        break;
    case ORVIX_THREADED_DISPATCHER:
        target->push_int = ((OrvixThreadedDispatcher *)obj)->push_fn;
        break;
    }
    return 0;
}

/* Pushes one message: 1 stored, 0 refused (full), negative never storable.
 * Any thread, no interpreter lock needed. */
static inline int orvix_producer_push(const OrvixProducerTarget *target, const char *data, size_t size) {
    return target->push_int(target->dispatcher, data, size);
}

/* Pushes messages[0..n) as one burst: each gets the result its own
 * orvix_producer_push would (into results[i] unless results is NULL), up to
 * the first refused as full (0); the reader is woken once for the lot.
 * Returns how many messages were dealt with (stored, or refused for good);
 * when fewer than n, message [returned] was refused as full and the rest
 * were not pushed: push them again from there. Any thread, no lock. */
static inline size_t orvix_producer_push_burst(const OrvixProducerTarget *target, const OrvixRingMessage *messages,
                                               size_t n, int *results) {
    orvix_push_burst_fn push_burst = NULL;
    switch (target->kind) {
    case ORVIX_ASYNC_DISPATCHER: push_burst = ((OrvixAsyncDispatcher *)target->dispatcher)->vtab->push_burst; break;
    case ORVIX_SYNC_DISPATCHER: push_burst = ((OrvixSyncDispatcher *)target->dispatcher)->vtab->push_burst; break;
    case ORVIX_THREADED_DISPATCHER:
        push_burst = ((OrvixThreadedDispatcher *)target->dispatcher)->vtab->push_burst;
        break;
    }
    return push_burst(target->dispatcher, messages, n, results);
}

/* What every dispatcher record starts with: the object header, the table
 * pointer, then `_q`, the dispatcher's ring (None once the collector has
 * cleared the dispatcher). */
typedef struct OrvixDispatcherHead {
    PyObject_HEAD
    const void *vtab;
    PyObject *_q;
} OrvixDispatcherHead;

/* The dispatcher's ring, or NULL once the dispatcher has been cleared (it
 * then answers as a closed ring does). No interpreter lock needed. */
static inline PyObject *orvix_producer_ring(const OrvixProducerTarget *target) {
    PyObject *q = ((const OrvixDispatcherHead *)target->dispatcher)->_q;
    return q == Py_None ? NULL : q;
}

/* The producer session: one producer thread at a time per ring. Any thread,
 * no interpreter lock needed.
 *
 * orvix_producer_attach: 1 the calling producer may push (until it
 * detaches); 0 another producer is attached: do not push. */
static inline int orvix_producer_attach(const OrvixProducerTarget *target) {
    PyObject *q = orvix_producer_ring(target);
    return q == NULL ? 1 : orvix_spscqueue_vtable(q)->attach_producer(q);
}

/* Ends the session, after the last push; the next producer may attach. */
static inline void orvix_producer_detach(const OrvixProducerTarget *target) {
    PyObject *q = orvix_producer_ring(target);
    if (q != NULL) orvix_spscqueue_vtable(q)->detach_producer(q);
}

/* From any thread: the attached producer stops waiting. Its push blocked by
 * block_on_full returns 0 at once, and so does every push of it that would
 * wait, until it detaches. 1 when a producer was attached, else 0. */
static inline int orvix_producer_interrupt(const OrvixProducerTarget *target) {
    PyObject *q = orvix_producer_ring(target);
    return q == NULL ? 0 : orvix_spscqueue_vtable(q)->interrupt_producer(q);
}

/* ORVIX_PRODUCER_NONE, _ATTACHED or _INTERRUPTED (a snapshot). */
static inline int orvix_producer_session(const OrvixProducerTarget *target) {
    PyObject *q = orvix_producer_ring(target);
    return q == NULL ? ORVIX_PRODUCER_NONE : orvix_spscqueue_vtable(q)->producer_session(q);
}

#ifdef __cplusplus
}
#endif

#endif /* ORVIX_UTILS_CORVANE_PRODUCER_H */
