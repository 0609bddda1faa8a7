/*
 * producer_c: a native producer written in C (C11 threads, POSIX clock).
 *
 *     import producer_c
 *     p = producer_c.start(dispatcher, count, size, patience=1.0)  # returns at once
 *     stored = p.join()               # waits, lock released
 *     p.elapsed_ns                    # the thread's push time
 *     p.refused, p.given_up           # refusals met (retries included), messages dropped
 *
 * The thread pushes `count` messages of `size` bytes through the
 * dispatcher's push_fn without ever taking the interpreter lock. Message i
 * carries i as a little-endian 64-bit number in its first min(size, 8)
 * bytes, and byte k (k >= 8) is (i + k) & 0xFF.
 *
 * A message the ring refuses because it is full is retried after a pause
 * that grows, for up to `patience` seconds; then it is given up and counted.
 * A message that can never be stored (ring closed, message too large) ends
 * the run: it and every message after it are given up.
 */
#define _POSIX_C_SOURCE 200809L
#include <Python.h>

#include <stdint.h>
#include <stdlib.h>
#include <threads.h>
#include <time.h>
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#define CPU_PAUSE() _mm_pause()
#elif defined(__aarch64__)
#define CPU_PAUSE() __asm__ __volatile__("yield")
#else
#define CPU_PAUSE() ((void)0)
#endif

#include "orvix/utils/corvane/producer.h"

/* Everything the producer thread touches; the Python object only owns it. */
typedef struct Run {
    OrvixProducerTarget target;
    uint64_t count;
    size_t size;
    size_t stride;         /* at least 1: even an empty message gets a real pointer */
    char *pattern;         /* 256 prepared messages: byte k >= 8 depends on i mod 256 only */
    int64_t patience_ns;   /* how long one refused message is retried */
    uint64_t stored;
    uint64_t refused;      /* pushes answered 0 (full), each retry included */
    uint64_t given_up;     /* messages not stored */
    int64_t elapsed_ns;
} Run;

typedef struct Producer {
    PyObject_HEAD
    PyObject *dispatcher; /* kept until the thread has been joined */
    Run *run;
    thrd_t thread;
    int running;
} Producer;

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

/* The back-off between retries of a refused message: a few dozen CPU
 * pauses, a few yields, then sleeps doubling from 1 us up to 1 ms, so that
 * a waiting producer leaves the consumer its core. */
enum { SPINS = 32, YIELDS = 8 };
static const int64_t FIRST_SLEEP_NS = 1000, LONGEST_SLEEP_NS = 1000000;

static void sleep_ns(int64_t ns) {
    struct timespec ts = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    thrd_sleep(&ts, NULL);
}

/* Pushes one message, retrying while the ring answers 0 (full) and less than
 * `patience_ns` has passed since the first refusal. Returns the last answer:
 * 1 stored, 0 still full, negative never storable. */
static int push_patiently(Run *run, const char *m, int64_t patience_ns) {
    int64_t deadline = 0, pause_ns = FIRST_SLEEP_NS;
    for (unsigned retries = 0;; ++retries) {
        int result = orvix_producer_push(&run->target, m, run->size);
        if (result != 0) return result;
        ++run->refused;
        if (retries == 0) deadline = now_ns() + patience_ns;
        if (now_ns() >= deadline) return 0;
        if (retries < SPINS) {
            CPU_PAUSE();
        } else if (retries < SPINS + YIELDS) {
            thrd_yield();
        } else {
            sleep_ns(pause_ns);
            pause_ns = pause_ns * 2 < LONGEST_SLEEP_NS ? pause_ns * 2 : LONGEST_SLEEP_NS;
        }
    }
}

static int push_all(void *arg) {
    Run *run = (Run *)arg;
    int64_t begin = now_ns();
    int64_t patience_ns = run->patience_ns;
    for (uint64_t i = 0; i < run->count; ++i) {
        char *m = run->pattern + (i & 0xFF) * run->stride;
        for (size_t b = 0; b < run->size && b < 8; ++b) m[b] = (char)(i >> (8 * b));
        int result = push_patiently(run, m, patience_ns);
        if (result > 0) {
            ++run->stored;
            patience_ns = run->patience_ns;
        } else if (result == 0) {
            /* The consumer freed no room for a whole patience: until a push
             * is stored again, each message gets one try, so a stalled
             * consumer does not stall the producer once per message. */
            ++run->given_up;
            patience_ns = 0;
        } else {
            run->given_up += run->count - i; /* closed or too large: the rest would fare no better */
            break;
        }
    }
    run->elapsed_ns = now_ns() - begin;
    return 0;
}

static Run *run_new(const OrvixProducerTarget *target, uint64_t count, size_t size, int64_t patience_ns) {
    Run *run = (Run *)calloc(1, sizeof(Run));
    if (run == NULL) return NULL;
    run->target = *target;
    run->count = count;
    run->size = size;
    run->patience_ns = patience_ns;
    run->stride = size ? size : 1;
    run->pattern = (char *)malloc(256 * run->stride);
    if (run->pattern == NULL) {
        free(run);
        return NULL;
    }
    for (size_t i = 0; i < 256; ++i)
        for (size_t k = 8; k < size; ++k) run->pattern[i * run->stride + k] = (char)((i + k) & 0xFF);
    return run;
}

/* Waits with the interpreter lock released: a dispatcher's reader may need
 * the lock before the producer can finish. */
static void join_thread(Producer *self) {
    if (!self->running) return;
    Py_BEGIN_ALLOW_THREADS
    thrd_join(self->thread, NULL);
    Py_END_ALLOW_THREADS
    self->running = 0;
    Py_CLEAR(self->dispatcher);
}

static PyObject *producer_join(PyObject *self, PyObject *unused) {
    (void)unused;
    join_thread((Producer *)self);
    return PyLong_FromUnsignedLongLong(((Producer *)self)->run->stored);
}

/* The thread's figures, read once it has been joined (None before). */
static PyObject *producer_elapsed_ns(PyObject *self, void *unused) {
    Producer *p = (Producer *)self;
    (void)unused;
    if (p->running) Py_RETURN_NONE;
    return PyLong_FromLongLong(p->run->elapsed_ns);
}

static PyObject *producer_refused(PyObject *self, void *unused) {
    Producer *p = (Producer *)self;
    (void)unused;
    if (p->running) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(p->run->refused);
}

static PyObject *producer_given_up(PyObject *self, void *unused) {
    Producer *p = (Producer *)self;
    (void)unused;
    if (p->running) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(p->run->given_up);
}

static void producer_dealloc(PyObject *self) {
    Producer *p = (Producer *)self;
    PyTypeObject *type = Py_TYPE(self);
    join_thread(p);
    Py_CLEAR(p->dispatcher);
    if (p->run != NULL) free(p->run->pattern);
    free(p->run);
    type->tp_free(self);
    Py_DECREF(type);
}

static PyMethodDef producer_methods[] = {
    {"join", producer_join, METH_NOARGS,
     "join() -> int: wait for the thread; the number of messages the dispatcher reported stored"},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef producer_getset[] = {
    {"elapsed_ns", producer_elapsed_ns, NULL, "nanoseconds the thread spent pushing (None until joined)", NULL},
    {"refused", producer_refused, NULL, "pushes the ring refused as full, retries included (None until joined)", NULL},
    {"given_up", producer_given_up, NULL, "messages not stored (None until joined)", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyType_Slot producer_slots[] = {
    {Py_tp_dealloc, (void *)producer_dealloc},
    {Py_tp_methods, producer_methods},
    {Py_tp_getset, producer_getset},
    {Py_tp_doc, "A native thread pushing numbered messages into a dispatcher."},
    {0, NULL},
};

static PyType_Spec producer_spec = {"producer_c.Producer", sizeof(Producer), 0, Py_TPFLAGS_DEFAULT, producer_slots};

static PyObject *start(PyObject *module, PyObject *args, PyObject *kwargs) {
    static char *keywords[] = {"dispatcher", "count", "size", "patience", NULL};
    PyObject *dispatcher, *type;
    long long count, size;
    double patience = 1.0;
    OrvixProducerTarget target;
    Producer *self;

    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OLL|d:start", keywords, &dispatcher, &count, &size, &patience))
        return NULL;
    if (count < 0 || size < 0) {
        PyErr_SetString(PyExc_ValueError, "count and size must not be negative");
        return NULL;
    }
    if (!(patience >= 0 && patience <= 3600)) { /* NaN fails both */
        PyErr_SetString(PyExc_ValueError, "patience must be between 0 and 3600 seconds");
        return NULL;
    }
    if (orvix_producer_target(dispatcher, &target) < 0) return NULL;

    type = PyObject_GetAttrString(module, "Producer");
    if (type == NULL) return NULL;
    self = PyObject_New(Producer, (PyTypeObject *)type);
    Py_DECREF(type);
    if (self == NULL) return NULL;
    self->dispatcher = Py_NewRef(dispatcher);
    self->running = 0;
    self->run = run_new(&target, (uint64_t)count, (size_t)size, (int64_t)(patience * 1e9));
    if (self->run == NULL) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    if (thrd_create(&self->thread, push_all, self->run) != thrd_success) {
        Py_DECREF(self);
        PyErr_SetString(PyExc_RuntimeError, "can't start the producer thread");
        return NULL;
    }
    self->running = 1;
    return (PyObject *)self;
}

static int exec_module(PyObject *module) {
    PyObject *type = PyType_FromModuleAndSpec(module, &producer_spec, NULL);
    int rc;
    if (type == NULL) return -1;
    rc = PyModule_AddObjectRef(module, "Producer", type);
    Py_DECREF(type);
    return rc;
}

static PyMethodDef module_methods[] = {
    {"start", (PyCFunction)(void (*)(void))start, METH_VARARGS | METH_KEYWORDS,
     "start(dispatcher, count, size, patience=1.0) -> Producer: push `count` messages of `size` bytes from a new "
     "native thread, retrying a refused message for up to `patience` seconds"},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, (void *)exec_module},
    {0, NULL},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "producer_c", "A native producer thread written in C.", 0, module_methods, module_slots,
    NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_producer_c(void) { return PyModuleDef_Init(&module_def); }
