// producer_cpp: a native producer written in C++.
//
//     import producer_cpp
//     p = producer_cpp.start(dispatcher, count, size, patience=1.0)  # returns at once
//     stored = p.join()               // waits, lock released
//     p.elapsed_ns                    // the thread's push time
//     p.refused, p.given_up           // refusals met (retries included), messages dropped
//
// The thread pushes `count` messages of `size` bytes through the dispatcher's
// push_fn without ever taking the interpreter lock. Message i carries i as a
// little-endian 64-bit number in its first min(size, 8) bytes, and byte k
// (k >= 8) is (i + k) & 0xFF, so a consumer can check order and content.
//
// A message the ring refuses because it is full is retried after a pause
// that grows, for up to `patience` seconds; then it is given up and counted.
// A message that can never be stored (ring closed, message too large) ends
// the run: it and every message after it are given up.
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

#include "orvix/utils/corvane/producer.h"

namespace {

// The bytes of message i depend only on i (its first 8 bytes) and i mod 256
// (the rest), so 256 prepared messages cover every i and the push loop does
// no more than stamp the number in.
class MessagePattern {
public:
    // Slots of at least one byte: even an empty message gets a real pointer.
    explicit MessagePattern(std::size_t size)
        : size_(size), stride_(size ? size : 1), bytes_(256 * stride_) {
        for (std::size_t i = 0; i < 256; ++i)
            for (std::size_t k = 8; k < size; ++k) bytes_[i * stride_ + k] = static_cast<char>((i + k) & 0xFF);
    }

    const char* message(std::uint64_t i) {
        char* m = bytes_.data() + (i & 0xFF) * stride_;
        for (std::size_t b = 0; b < size_ && b < 8; ++b) m[b] = static_cast<char>(i >> (8 * b));
        return m;
    }

private:
    std::size_t size_;
    std::size_t stride_;
    std::vector<char> bytes_;
};

void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
    _mm_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

using Clock = std::chrono::steady_clock;

// Everything the producer thread touches; the Python object only owns it.
struct Run {
    Run(const OrvixProducerTarget& target, std::uint64_t count, std::size_t size, Clock::duration patience)
        : target(target), count(count), size(size), patience(patience), pattern(size) {}

    void push_all() {
        auto begin = Clock::now();
        Clock::duration wait = patience;
        for (std::uint64_t i = 0; i < count; ++i) {
            const int result = push_patiently(pattern.message(i), wait);
            if (result > 0) {
                ++stored;
                wait = patience;
            } else if (result == 0) {
                // The consumer freed no room for a whole patience: until a
                // push is stored again, each message gets one try, so a
                // stalled consumer does not stall the producer once per message.
                ++given_up;
                wait = Clock::duration::zero();
            } else {
                given_up += count - i;  // closed or too large: the rest would fare no better
                break;
            }
        }
        elapsed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - begin).count();
    }

    // Pushes one message, retrying while the ring answers 0 (full) and less
    // than `wait` has passed since the first refusal, after a pause that
    // grows: a few dozen CPU pauses, a few yields, then sleeps doubling from
    // 1 us up to 1 ms, so that a waiting producer leaves the consumer its
    // core. Returns the last answer: 1 stored, 0 still full, negative never
    // storable.
    int push_patiently(const char* message, Clock::duration wait) {
        constexpr unsigned kSpins = 32, kYields = 8;
        constexpr std::chrono::nanoseconds kFirstSleep{1000}, kLongestSleep{1000000};
        Clock::time_point deadline;
        std::chrono::nanoseconds pause = kFirstSleep;
        for (unsigned retries = 0;; ++retries) {
            const int result = orvix_producer_push(&target, message, size);
            if (result != 0) return result;
            ++refused;
            if (retries == 0) deadline = Clock::now() + wait;
            if (Clock::now() >= deadline) return 0;
            if (retries < kSpins) {
                cpu_pause();
            } else if (retries < kSpins + kYields) {
                std::this_thread::yield();
            } else {
                std::this_thread::sleep_for(pause);
                pause = std::min(pause * 2, kLongestSleep);
            }
        }
    }

    const OrvixProducerTarget target;
    const std::uint64_t count;
    const std::size_t size;
    const Clock::duration patience;  // how long one refused message is retried
    MessagePattern pattern;
    std::uint64_t stored = 0;
    std::uint64_t refused = 0;   // pushes answered 0 (full), each retry included
    std::uint64_t given_up = 0;  // messages not stored
    std::int64_t elapsed_ns = 0;
    std::thread thread;
};

struct Producer {
    PyObject_HEAD
    PyObject* dispatcher;   // kept until the thread has been joined
    Run* run;
};

// Waits for the thread with the interpreter lock released (a dispatcher's
// reader may need the lock before the producer can finish), then lets the
// dispatcher go.
void join_thread(Producer* self) {
    if (!self->run || !self->run->thread.joinable()) return;
    Py_BEGIN_ALLOW_THREADS
    self->run->thread.join();
    Py_END_ALLOW_THREADS
    Py_CLEAR(self->dispatcher);
}

PyObject* producer_join(PyObject* self, PyObject*) {
    auto* p = reinterpret_cast<Producer*>(self);
    join_thread(p);
    return PyLong_FromUnsignedLongLong(p->run->stored);
}

// The thread's figures, read once it has been joined (None before).
PyObject* producer_elapsed_ns(PyObject* self, void*) {
    auto* p = reinterpret_cast<Producer*>(self);
    if (p->run->thread.joinable()) Py_RETURN_NONE;
    return PyLong_FromLongLong(p->run->elapsed_ns);
}

PyObject* producer_refused(PyObject* self, void*) {
    auto* p = reinterpret_cast<Producer*>(self);
    if (p->run->thread.joinable()) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(p->run->refused);
}

PyObject* producer_given_up(PyObject* self, void*) {
    auto* p = reinterpret_cast<Producer*>(self);
    if (p->run->thread.joinable()) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(p->run->given_up);
}

void producer_dealloc(PyObject* self) {
    auto* p = reinterpret_cast<Producer*>(self);
    PyTypeObject* type = Py_TYPE(self);
    join_thread(p);
    Py_CLEAR(p->dispatcher);
    delete p->run;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef producer_methods[] = {
    {"join", producer_join, METH_NOARGS,
     "join() -> int: wait for the thread; the number of messages the dispatcher reported stored"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef producer_getset[] = {
    {"elapsed_ns", producer_elapsed_ns, nullptr, "nanoseconds the thread spent pushing (None until joined)", nullptr},
    {"refused", producer_refused, nullptr, "pushes the ring refused as full, retries included (None until joined)",
     nullptr},
    {"given_up", producer_given_up, nullptr, "messages not stored (None until joined)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot producer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(producer_dealloc)},
    {Py_tp_methods, producer_methods},
    {Py_tp_getset, producer_getset},
    {Py_tp_doc, const_cast<char*>("A native thread pushing numbered messages into a dispatcher.")},
    {0, nullptr},
};

PyType_Spec producer_spec = {"producer_cpp.Producer", sizeof(Producer), 0, Py_TPFLAGS_DEFAULT, producer_slots};

PyObject* start(PyObject* module, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"dispatcher", "count", "size", "patience", nullptr};
    PyObject* dispatcher;
    long long count, size;
    double patience = 1.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OLL|d:start", const_cast<char**>(keywords), &dispatcher, &count,
                                     &size, &patience))
        return nullptr;
    if (count < 0 || size < 0) {
        PyErr_SetString(PyExc_ValueError, "count and size must not be negative");
        return nullptr;
    }
    if (!(patience >= 0 && patience <= 3600)) {  // NaN fails both
        PyErr_SetString(PyExc_ValueError, "patience must be between 0 and 3600 seconds");
        return nullptr;
    }
    OrvixProducerTarget target;
    if (orvix_producer_target(dispatcher, &target) < 0) return nullptr;

    auto* type = reinterpret_cast<PyTypeObject*>(PyObject_GetAttrString(module, "Producer"));
    if (!type) return nullptr;
    auto* self = PyObject_New(Producer, type);
    Py_DECREF(type);
    if (!self) return nullptr;
    self->dispatcher = Py_NewRef(dispatcher);
    self->run = nullptr;
    try {   // no C++ exception may reach the interpreter
        const auto wait = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(patience));
        self->run = new Run(target, static_cast<std::uint64_t>(count), static_cast<std::size_t>(size), wait);
        Run* run = self->run;
        run->thread = std::thread([run] { run->push_all(); });
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        Py_DECREF(self);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(self);
}

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &producer_spec, nullptr);
    if (!type) return -1;
    int rc = PyModule_AddObjectRef(module, "Producer", type);
    Py_DECREF(type);
    return rc;
}

PyMethodDef module_methods[] = {
    {"start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start)), METH_VARARGS | METH_KEYWORDS,
     "start(dispatcher, count, size, patience=1.0) -> Producer: push `count` messages of `size` bytes from a new "
     "native thread, retrying a refused message for up to `patience` seconds"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "producer_cpp", "A native producer thread written in C++.", 0, module_methods,
    module_slots,          nullptr,        nullptr,                                     nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_producer_cpp() { return PyModuleDef_Init(&module_def); }
