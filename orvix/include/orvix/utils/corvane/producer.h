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
 *     int stored = orvix_producer_push(&target, data, size);
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
 * A ThreadedDispatcher made with block_on_full=True never answers 0: its
 * push waits for room instead.
 *
 * Drop your reference (with the lock held) only after the last push has
 * returned.
 *
 * The instance records and C-level method tables of the four classes are in
 * corvane.h, and the package's version (ORVIX_VERSION_MAJOR, ...) is in
 * orvix/version.h; both are included here. orvix.get_include() names the
 * folder to put on the include path.
 */
#ifndef ORVIX_UTILS_CORVANE_PRODUCER_H
#define ORVIX_UTILS_CORVANE_PRODUCER_H

#include "corvane.h"
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

/* Returns 1 when `obj` is an instance of the class named `name` of the
 * corvane module (or of a subclass), 0 when not, -1 with an exception.
 * The test is on the object's real type, never on a `__class__` it claims:
 * the record is read through a cast. */
static inline int orvix_producer_is_instance(PyObject *module, PyObject *obj, const char *name) {
    PyObject *cls = PyObject_GetAttrString(module, name);
    int found;
    if (cls == NULL) return -1;
    found = PyType_Check(cls) && PyType_IsSubtype(Py_TYPE(obj), (PyTypeObject *)cls);
    Py_DECREF(cls);
    return found;
}

/* Fills `*target` with the push entry that the dispatcher `obj` chose at
 * construction (its push_fn). Needs the interpreter lock. Returns 0, or -1
 * with TypeError when `obj` is no dispatcher (or the import's error). */
static inline int orvix_producer_target(PyObject *obj, OrvixProducerTarget *target) {
    static const char *const names[3] = {"AsyncDispatcher", "SyncDispatcher", "ThreadedDispatcher"};
    PyObject *module = PyImport_ImportModule("orvix.utils.corvane.corvane");
    int i, found = 0;
    if (module == NULL) return -1;
    for (i = 0; i < 3 && found == 0; ++i) found = orvix_producer_is_instance(module, obj, names[i]);
    Py_DECREF(module);
    if (found < 0) return -1;
    if (found == 0) {
        PyErr_Format(PyExc_TypeError,
                     "expected an AsyncDispatcher, SyncDispatcher or ThreadedDispatcher, got %.200s",
                     Py_TYPE(obj)->tp_name);
        return -1;
    }
    target->dispatcher = obj;
    target->kind = (OrvixDispatcherKind)i;
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

#ifdef __cplusplus
}
#endif

#endif /* ORVIX_UTILS_CORVANE_PRODUCER_H */
