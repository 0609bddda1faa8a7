// What one push costs the producer, on any of the rings a producer can reach.
//
//     push_cost.measure(target, count, size, entry) -> ns per push (float)
//
// `target` is an SPSCQueue or a dispatcher; `entry` picks what is pushed through:
//     "ring"        SPSCQueue table entry 1, push (the socket dispatchers' ring push)
//     "ring_notify" SPSCQueue table entry 0, push_notify (ThreadedDispatcher's)
//     "producer"    orvix_producer_push: the dispatcher's push with its result
//     "void"        AsyncDispatcher / SyncDispatcher push_fn, which returns nothing
//
// A native thread, without the interpreter lock, pushes `count` messages of
// `size` bytes in batches that fit the ring, timing the batches only; between
// two batches it takes the messages out again (the ring's consumer side,
// through the record's `_q`, on the same thread, untimed). No reader may run:
// the same thread is the ring's only consumer. Every push must store its
// message, or the run fails with RuntimeError.
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/producer.h"

namespace {

// Pushes between two drains: the ring must hold at least this many messages.
constexpr std::uint64_t kBatch = 1024;

enum class Entry { ring, ring_notify, producer, push_void };

struct Pusher {
    PyObject* target;
    PyObject* ring;     // the SPSCQueue pushed into, drained between batches
    Entry entry;
    OrvixProducerTarget producer{};

    int push(const char* data, std::size_t size) const {
        switch (entry) {
        case Entry::ring: return orvix_spscqueue_vtable(ring)->push(ring, data, size);
        case Entry::ring_notify: return orvix_spscqueue_vtable(ring)->push_notify(ring, data, size);
        case Entry::producer: return orvix_producer_push(&producer, data, size);
        case Entry::push_void: producer.push_void(producer.dispatcher, data, size); return 1;
        }
        return -1;
    }

    void drain() const {
        const char* data;
        std::size_t size;
        while (orvix_spscqueue_vtable(ring)->try_pop(ring, &data, &size) == 1) {
        }
    }

    // Nanoseconds spent in the pushes; -1 when one did not store its message.
    long long run(std::uint64_t count, std::size_t size, std::uint64_t batch) const {
        std::vector<char> message(std::max<std::size_t>(size, 8));
        long long spent = 0;
        for (std::uint64_t done = 0; done < count;) {
            const std::uint64_t n = std::min(batch, count - done);
            const auto begin = std::chrono::steady_clock::now();
            int failed = 0;
            for (std::uint64_t i = done; i < done + n; ++i) {
                std::memcpy(message.data(), &i, sizeof i);   // a different message each time
                failed |= push(message.data(), size) != 1;
            }
            spent += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - begin)
                         .count();
            if (failed) return -1;
            drain();
            done += n;
        }
        return spent;
    }
};

// The dispatcher records and SPSCQueue all keep their ring right after the table pointer.
struct RecordWithRing {
    PyObject_HEAD
    const void* vtab;
    PyObject* _q;
};

PyObject* measure(PyObject*, PyObject* args) {
    PyObject* target;
    unsigned long long count, size;
    const char* entry_name;
    if (!PyArg_ParseTuple(args, "OKKs:measure", &target, &count, &size, &entry_name)) return nullptr;
    Pusher p{target, nullptr, Entry::ring};
    const std::string entry = entry_name;
    if (entry == "ring" || entry == "ring_notify") {
        p.ring = target;
        p.entry = entry == "ring" ? Entry::ring : Entry::ring_notify;
    } else if (entry == "producer" || entry == "void") {
        if (orvix_producer_target(target, &p.producer) < 0) return nullptr;
        if (entry == "void" && !p.producer.push_void) {
            PyErr_SetString(PyExc_ValueError, "a ThreadedDispatcher has no push without a result");
            return nullptr;
        }
        p.ring = reinterpret_cast<RecordWithRing*>(target)->_q;
        p.entry = entry == "producer" ? Entry::producer : Entry::push_void;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown entry %s", entry_name);
        return nullptr;
    }
    long long spent = 0;
    Py_BEGIN_ALLOW_THREADS
    std::thread thread([&] { spent = p.run(count, size, kBatch); });
    thread.join();
    Py_END_ALLOW_THREADS
    if (spent < 0) {
        PyErr_SetString(PyExc_RuntimeError, "a push did not store its message: is the ring large enough?");
        return nullptr;
    }
    return PyFloat_FromDouble(count ? static_cast<double>(spent) / static_cast<double>(count) : 0.0);
}

PyMethodDef methods[] = {
    {"measure", measure, METH_VARARGS,
     "measure(target, count, size, entry) -> ns per push, on a native thread without the interpreter lock"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "push_cost", "The producer's cost of one push.", 0, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_push_cost() { return PyModule_Create(&module); }
