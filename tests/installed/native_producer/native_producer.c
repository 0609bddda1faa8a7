/*
 * native_producer: pushes numbered messages into a dispatcher from the
 * calling thread with the interpreter lock released.
 *
 *     native_producer.push(dispatcher, count) -> number stored
 *     native_producer.VERSION                 -> the headers' ORVIX_VERSION_STRING
 *     native_producer.ring_roundtrip()        -> True when the C++ ring engine works
 */
#include "orvix/utils/corvane/producer.h"

#include <stdint.h>
#include <string.h>

#if !defined(ORVIX_VERSION_MAJOR) || !defined(ORVIX_VERSION_MINOR) || !defined(ORVIX_VERSION_PATCH)
#error "producer.h brings the version macros"
#endif

int ring_roundtrip(void); /* ring_roundtrip.cpp */

static PyObject *push(PyObject *module, PyObject *args) {
    PyObject *dispatcher;
    unsigned long long count, i, stored = 0;
    OrvixProducerTarget target;
    char message[8];
    (void)module;
    if (!PyArg_ParseTuple(args, "OK:push", &dispatcher, &count)) return NULL;
    if (orvix_producer_target(dispatcher, &target) < 0) return NULL;
    Py_INCREF(dispatcher); /* held across the pushes */
    Py_BEGIN_ALLOW_THREADS
    for (i = 0; i < count; ++i) {
        uint64_t seq = i;
        memcpy(message, &seq, sizeof seq);
        stored += orvix_producer_push(&target, message, sizeof message) > 0;
    }
    Py_END_ALLOW_THREADS
    Py_DECREF(dispatcher);
    return PyLong_FromUnsignedLongLong(stored);
}

static PyObject *roundtrip(PyObject *module, PyObject *unused) {
    (void)module;
    (void)unused;
    return PyBool_FromLong(ring_roundtrip());
}

static PyMethodDef methods[] = {
    {"push", push, METH_VARARGS, "push(dispatcher, count) -> int"},
    {"ring_roundtrip", roundtrip, METH_NOARGS, "ring_roundtrip() -> bool"},
    {NULL, NULL, 0, NULL},
};

static int exec_module(PyObject *module) {
    return PyModule_AddStringConstant(module, "VERSION", ORVIX_VERSION_STRING);
}

static PyModuleDef_Slot slots[] = {{Py_mod_exec, (void *)exec_module}, {0, NULL}};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "native_producer", NULL, 0, methods, slots, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit_native_producer(void) { return PyModuleDef_Init(&module_def); }
