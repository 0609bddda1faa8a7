// The peers of bench_dispatchers.py: a native producer thread that takes the
// interpreter lock for every message and hands it to a Python callable, the
// way a native data source reaches Python without orvix. The callable is what
// varies between peers: loop.call_soon_threadsafe (bound with the callback),
// a janus / culsans queue's sync put, or queue.SimpleQueue.put.
//
//     feeder = dispatch_peers.start(put, count, size, rate=0)   # returns at once
//     feeder.join()                                     # GIL released while waiting
//     feeder.elapsed_ns                                 # the thread's total time in put calls
//
//     feeder = dispatch_peers.start_ring(queue, count, size)   # SPSCQueue.push, no lock
//
// start_ring is the floor every dispatcher is measured against: the same
// thread pushing straight into an SPSCQueue through its C-level table,
// without the interpreter lock (the ring must hold `count` messages).
//
// Message i holds i as a little-endian u64 in its first 8 bytes, then (from
// 16 bytes on) the send time in ns on CLOCK_MONOTONIC in bytes 8..15, taken
// before the lock: the layout of orvix.feed, so the latency benchmark reads
// both with one recorder. The rest is zeros. With rate > 0 message i is sent
// at start + i / rate, as the feed paces its own.
// The thread keeps one thread state for its whole life (the cheapest way for
// a foreign thread to take the lock per message), so the peers are measured
// at their best.
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "orvix/ringq/ringq.h"

namespace {

struct Feeder {
    PyObject_HEAD
    PyObject* put;            // owned: the callable, or the SPSCQueue of start_ring
    Py_ssize_t count;
    Py_ssize_t size;
    double rate;              // messages per second; 0: as fast as possible
    std::thread* thread;      // joined by join() or dealloc
    long long elapsed_ns;
    int failed;
};

void run_feeder(Feeder* f) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState* ts = PyEval_SaveThread();
    std::vector<char> msg(static_cast<size_t>(f->size), 0);
    using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC with libstdc++ on Linux
    const auto start = Clock::now();
    const double period_ns = f->rate > 0 ? 1e9 / f->rate : 0.0;
    for (Py_ssize_t i = 0; i < f->count; ++i) {
        const std::uint64_t seq = static_cast<std::uint64_t>(i);
        std::memcpy(msg.data(), &seq, std::min<size_t>(msg.size(), sizeof(seq)));
        if (period_ns > 0) {
            const auto due = start + std::chrono::nanoseconds(static_cast<long long>(period_ns * static_cast<double>(i)));
            // Sleep while the slot is far, spin the last stretch: the send time stays on schedule.
            constexpr auto kSpin = std::chrono::microseconds(100);
            if (due - Clock::now() > kSpin) std::this_thread::sleep_until(due - kSpin);
            while (Clock::now() < due) {}
        }
        if (msg.size() >= 16) {
            const auto sent = static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
            std::memcpy(msg.data() + 8, &sent, sizeof sent);
        }
        PyEval_RestoreThread(ts);
        PyObject* bytes = PyBytes_FromStringAndSize(msg.data(), f->size);
        PyObject* r = bytes ? PyObject_CallOneArg(f->put, bytes) : nullptr;
        Py_XDECREF(bytes);
        if (!r) {
            PyErr_WriteUnraisable(f->put);
            f->failed = 1;
            ts = PyEval_SaveThread();
            break;
        }
        Py_DECREF(r);
        ts = PyEval_SaveThread();
    }
    f->elapsed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - start).count();
    PyEval_RestoreThread(ts);
    PyGILState_Release(gil);
}

void run_ring_pusher(Feeder* f) {
    const OrvixSPSCQueueVTable* ring = orvix_spscqueue_vtable(f->put);
    std::vector<char> msg(static_cast<size_t>(f->size), 0);
    const auto start = std::chrono::steady_clock::now();
    for (Py_ssize_t i = 0; i < f->count; ++i) {
        const std::uint64_t seq = static_cast<std::uint64_t>(i);
        std::memcpy(msg.data(), &seq, std::min<size_t>(msg.size(), sizeof(seq)));
        if (ring->push(f->put, msg.data(), msg.size()) != ORVIX_RING_STORED) f->failed = 1;
    }
    f->elapsed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now() - start).count();
}

void join_thread(Feeder* f) {
    if (!f->thread) return;
    Py_BEGIN_ALLOW_THREADS
    f->thread->join();
    Py_END_ALLOW_THREADS
    delete f->thread;
    f->thread = nullptr;
}

PyObject* feeder_join(PyObject* self, PyObject*) {
    auto* f = reinterpret_cast<Feeder*>(self);
    join_thread(f);
    if (f->failed) {
        PyErr_SetString(PyExc_RuntimeError, "the feeder's put call failed (see the unraisable report)"
                                            " or the ring refused a message");
        return nullptr;
    }
    return PyLong_FromSsize_t(f->count);
}

PyObject* feeder_elapsed(PyObject* self, void*) {
    return PyLong_FromLongLong(reinterpret_cast<Feeder*>(self)->elapsed_ns);
}

void feeder_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<Feeder*>(self);
    join_thread(f);
    Py_XDECREF(f->put);
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef feeder_methods[] = {
    {"join", feeder_join, METH_NOARGS, "Waits for the feeder thread; returns the message count."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef feeder_getset[] = {
    {"elapsed_ns", feeder_elapsed, nullptr, "Total time of the feeder loop.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_feeder_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "dispatch_peers.Feeder";
    type.tp_basicsize = sizeof(Feeder);
    type.tp_dealloc = feeder_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_methods = feeder_methods;
    type.tp_getset = feeder_getset;
    return type;
}

PyTypeObject FeederType = make_feeder_type();

PyObject* start_thread(PyObject* args, void (*body)(Feeder*)) {
    PyObject* put;
    Py_ssize_t count, size;
    double rate = 0;
    if (!PyArg_ParseTuple(args, "Onn|d", &put, &count, &size, &rate)) return nullptr;
    auto* f = PyObject_New(Feeder, &FeederType);
    if (!f) return nullptr;
    Py_INCREF(put);
    f->put = put;
    f->count = count;
    f->size = size;
    f->rate = rate;
    f->elapsed_ns = 0;
    f->failed = 0;
    f->thread = new std::thread(body, f);
    return reinterpret_cast<PyObject*>(f);
}

PyObject* start(PyObject*, PyObject* args) { return start_thread(args, run_feeder); }
PyObject* start_ring(PyObject*, PyObject* args) { return start_thread(args, run_ring_pusher); }

PyMethodDef module_methods[] = {
    {"start", start, METH_VARARGS,
     "start(put, count, size, rate=0) -> Feeder: a native thread calls put(msg) per message under the GIL."},
    {"start_ring", start_ring, METH_VARARGS,
     "start_ring(queue, count, size) -> Feeder: a native thread pushes into an SPSCQueue without the GIL."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "dispatch_peers", nullptr, 0, module_methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_dispatch_peers() {
    if (PyType_Ready(&FeederType) < 0) return nullptr;
    return PyModule_Create(&module);
}
