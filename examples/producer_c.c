/*
 * producer_c: a native producer written in C (C11 threads, POSIX clock).
 *
 *     import producer_c
 *     p = producer_c.start(dispatcher, count, size)  # returns at once
 *     stored = p.join()                             # waits, lock released
 *     p.elapsed_ns                                  # the thread's push time
 *
 * The thread pushes `count` messages of `size` bytes through the
 * dispatcher's push_fn without ever taking the interpreter lock. Message i
 * carries i as a little-endian 64-bit number in its first min(size, 8)
 * bytes, and byte k (k >= 8) is (i + k) & 0xFF.
 */
#define _POSIX_C_SOURCE 200809L
#include <Python.h>

#include <stdint.h>
#include <stdlib.h>
#include <threads.h>
#include <time.h>

#include "orvix/utils/corvane/producer.h"

/* Everything the producer thread touches; the Python object only owns it. */
typedef struct Run {
    OrvixProducerTarget target;
    uint64_t count;
    size_t size;
    size_t stride;         /* at least 1: even an empty message gets a real pointer */
    char *pattern;         /* 256 prepared messages: byte k >= 8 depends on i mod 256 only */
    uint64_t stored;
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

static int push_all(void *arg) {
    Run *run = (Run *)arg;
    int64_t begin = now_ns();
    for (uint64_t i = 0; i < run->count; ++i) {
        char *m = run->pattern + (i & 0xFF) * run->stride;
        for (size_t b = 0; b < run->size && b < 8; ++b) m[b] = (char)(i >> (8 * b));
        run->stored += orvix_producer_push(&run->target, m, run->size) > 0;
    }
    run->elapsed_ns = now_ns() - begin;
    return 0;
}

static Run *run_new(const OrvixProducerTarget *target, uint64_t count, size_t size) {
    Run *run = (Run *)calloc(1, sizeof(Run));
    if (run == NULL) return NULL;
    run->target = *target;
    run->count = count;
    run->size = size;
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

static PyObject *producer_elapsed_ns(PyObject *self, void *unused) {
    Producer *p = (Producer *)self;
    (void)unused;
    if (p->running) Py_RETURN_NONE; /* not known until joined */
    return PyLong_FromLongLong(p->run->elapsed_ns);
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

static PyObject *start(PyObject *module, PyObject *args) {
    PyObject *dispatcher, *type;
    long long count, size;
    OrvixProducerTarget target;
    Producer *self;

    if (!PyArg_ParseTuple(args, "OLL:start", &dispatcher, &count, &size)) return NULL;
    if (count < 0 || size < 0) {
        PyErr_SetString(PyExc_ValueError, "count and size must not be negative");
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
    self->run = run_new(&target, (uint64_t)count, (size_t)size);
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
    {"start", start, METH_VARARGS,
     "start(dispatcher, count, size) -> Producer: push `count` messages of `size` bytes from a new native thread"},
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
