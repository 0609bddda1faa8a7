// The tight native producer of bench_batch.py: a thread that pushes `count`
// messages of `size` bytes into any dispatcher through the public producer
// header, `burst` at a time (orvix_producer_push_burst) or one at a time
// (orvix_producer_push, burst=1), with nothing else per message: the
// sequence number in bytes 0..7, zeros after it. A full ring is retried
// after a short spin, then a yield. orvix.feed stamps every message with the
// time and checks its schedule; this one measures the push path alone.
//
//     p = tight_producer.start(dispatcher, count, size, burst)   # returns at once
//     p.join()           # interpreter lock released while waiting; returns count
//     p.elapsed_ns       # the thread's own time
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "orvix/utils/corvane/producer.h"

namespace {

struct Producer {
    PyObject_HEAD
    PyObject* dispatcher;   // owned until joined
    OrvixProducerTarget target;
    Py_ssize_t count, size, burst;
    std::thread* thread;
    long long elapsed_ns;
    int failed;
};

void backoff(unsigned& attempts) {
    if (++attempts < 64) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    } else {
        std::this_thread::yield();
    }
}

void run(Producer* p) {
    const auto size = static_cast<std::size_t>(p->size);
    const auto burst = static_cast<std::size_t>(p->burst);
    std::vector<char> bytes(size * burst, 0);
    std::vector<OrvixRingMessage> messages(burst);
    std::vector<int> results(burst);
    for (std::size_t i = 0; i < burst; ++i) messages[i] = {bytes.data() + i * size, size};
    const auto start = std::chrono::steady_clock::now();
    if (!orvix_producer_attach(&p->target)) {
        p->failed = 1;
        return;
    }
    for (std::uint64_t seq = 0; seq < static_cast<std::uint64_t>(p->count) && !p->failed;) {
        const std::size_t n = std::min<std::uint64_t>(burst, p->count - seq);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t s = seq + i;
            std::memcpy(bytes.data() + i * size, &s, std::min<std::size_t>(size, sizeof s));
        }
        unsigned attempts = 0;
        for (std::size_t from = 0; from < n;) {
            if (burst == 1) {
                const int r = orvix_producer_push(&p->target, messages[0].data, size);
                if (r < 0) p->failed = 1;
                if (r != 0) break;
            } else {
                const std::size_t dealt =
                    orvix_producer_push_burst(&p->target, messages.data() + from, n - from, results.data());
                for (std::size_t i = 0; i < dealt; ++i)
                    if (results[i] < 0) p->failed = 1;
                from += dealt;
                if (from == n || p->failed) break;
            }
            backoff(attempts);
        }
        seq += n;
    }
    orvix_producer_detach(&p->target);
    p->elapsed_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
}

void join_thread(Producer* p) {
    if (!p->thread) return;
    Py_BEGIN_ALLOW_THREADS
    p->thread->join();
    Py_END_ALLOW_THREADS
    delete p->thread;
    p->thread = nullptr;
}

PyObject* producer_join(PyObject* self, PyObject*) {
    auto* p = reinterpret_cast<Producer*>(self);
    join_thread(p);
    if (p->failed) {
        PyErr_SetString(PyExc_RuntimeError, "a push was refused for good, or another producer was attached");
        return nullptr;
    }
    return PyLong_FromSsize_t(p->count);
}

PyObject* producer_elapsed(PyObject* self, void*) {
    return PyLong_FromLongLong(reinterpret_cast<Producer*>(self)->elapsed_ns);
}

void producer_dealloc(PyObject* self) {
    auto* p = reinterpret_cast<Producer*>(self);
    join_thread(p);
    Py_XDECREF(p->dispatcher);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef producer_methods[] = {
    {"join", producer_join, METH_NOARGS, "Waits for the thread; returns the message count."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef producer_getset[] = {
    {"elapsed_ns", producer_elapsed, nullptr, "The thread's own time.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "tight_producer.Producer";
    type.tp_basicsize = sizeof(Producer);
    type.tp_dealloc = producer_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_methods = producer_methods;
    type.tp_getset = producer_getset;
    return type;
}

PyTypeObject ProducerType = make_type();

PyObject* start(PyObject*, PyObject* args) {
    PyObject* dispatcher;
    Py_ssize_t count, size, burst = 1;
    if (!PyArg_ParseTuple(args, "Onn|n", &dispatcher, &count, &size, &burst)) return nullptr;
    if (size < 8 || burst < 1) {
        PyErr_SetString(PyExc_ValueError, "size must be at least 8 and burst at least 1");
        return nullptr;
    }
    auto* p = PyObject_New(Producer, &ProducerType);
    if (!p) return nullptr;
    p->dispatcher = nullptr;
    p->thread = nullptr;
    if (orvix_producer_target(dispatcher, &p->target) < 0) {
        Py_DECREF(p);
        return nullptr;
    }
    p->dispatcher = Py_NewRef(dispatcher);
    p->count = count;
    p->size = size;
    p->burst = burst;
    p->elapsed_ns = 0;
    p->failed = 0;
    p->thread = new std::thread(run, p);
    return reinterpret_cast<PyObject*>(p);
}

PyMethodDef module_methods[] = {
    {"start", start, METH_VARARGS,
     "start(dispatcher, count, size, burst=1) -> Producer: a native thread pushes through producer.h."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "tight_producer", nullptr, 0, module_methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tight_producer() {
    if (PyType_Ready(&ProducerType) < 0) return nullptr;
    return PyModule_Create(&module);
}
