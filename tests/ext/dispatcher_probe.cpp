// Test-only module: reads the socket dispatchers' native records and pushes
// through their push_fn the way a native producer does, so tests can see
// what Python cannot (`_addr`, `_sock_fd`) and push from a chosen thread.
#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ios>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <typeinfo>
#include <utility>

#include "orvix/utils/corvane/corvane.h"

namespace {

enum class Kind { error, async_dispatcher, sync_dispatcher };

Kind kind_of(PyObject* obj) {
    PyObject* mod = PyImport_ImportModule("orvix.utils.corvane.corvane");
    if (!mod) return Kind::error;
    Kind kind = Kind::error;
    for (auto [name, k] : {std::pair{"AsyncDispatcher", Kind::async_dispatcher},
                           std::pair{"SyncDispatcher", Kind::sync_dispatcher}}) {
        PyObject* cls = PyObject_GetAttrString(mod, name);
        int r = cls ? PyObject_IsInstance(obj, cls) : -1;
        Py_XDECREF(cls);
        if (r != 0) {
            if (r == 1) kind = k;
            break;
        }
    }
    Py_DECREF(mod);
    if (kind == Kind::error && !PyErr_Occurred())
        PyErr_SetString(PyExc_TypeError, "expected an AsyncDispatcher or SyncDispatcher");
    return kind;
}

// Both socket dispatchers keep _q, _sock_fd and _addr in the same places, so
// the probe reads them through the AsyncDispatcher record.
const OrvixAsyncDispatcher* socket_record(PyObject* obj) {
    if (kind_of(obj) == Kind::error) return nullptr;
    return reinterpret_cast<const OrvixAsyncDispatcher*>(obj);
}

// push_fn sits at a different offset in the two records.
orvix_dispatch_push_fn push_fn_of(PyObject* obj) {
    switch (kind_of(obj)) {
    case Kind::async_dispatcher: return reinterpret_cast<OrvixAsyncDispatcher*>(obj)->push_fn;
    case Kind::sync_dispatcher: return reinterpret_cast<OrvixSyncDispatcher*>(obj)->push_fn;
    default: return nullptr;
    }
}

PyObject* probe_addr(PyObject*, PyObject* obj) {
    const OrvixAsyncDispatcher* rec = socket_record(obj);
    if (!rec) return nullptr;
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(&rec->_addr), sizeof(rec->_addr));
}

PyObject* probe_sock_fd(PyObject*, PyObject* obj) {
    const OrvixAsyncDispatcher* rec = socket_record(obj);
    if (!rec) return nullptr;
    return PyLong_FromUnsignedLongLong(rec->_sock_fd);
}

// push(dispatcher, data, count=1): pushes `data` `count` times through
// push_fn with the interpreter lock released.
PyObject* probe_push(PyObject*, PyObject* args) {
    PyObject* obj;
    Py_buffer view;
    Py_ssize_t count = 1;
    if (!PyArg_ParseTuple(args, "Oy*|n", &obj, &view, &count)) return nullptr;
    orvix_dispatch_push_fn push = push_fn_of(obj);
    if (!push) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t i = 0; i < count; ++i)
        push(obj, static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&view);
    Py_RETURN_NONE;
}

// push_bursts(dispatcher, bursts, max_burst, max_pause_us): `bursts` bursts
// of 1..max_burst messages with pauses of 0..max_pause_us between them, so
// the reader keeps falling asleep and being woken. Message n carries n as
// a little-endian u64. Runs in the calling thread with the interpreter lock
// released; returns the number of messages pushed.
PyObject* probe_push_bursts(PyObject*, PyObject* args) {
    PyObject* obj;
    unsigned long long bursts, max_burst, max_pause_us;
    if (!PyArg_ParseTuple(args, "OKKK", &obj, &bursts, &max_burst, &max_pause_us)) return nullptr;
    orvix_dispatch_push_fn push = push_fn_of(obj);
    if (!push) return nullptr;
    std::uint64_t n = 0;
    Py_BEGIN_ALLOW_THREADS
    for (std::uint64_t b = 0; b < bursts; ++b) {
        const std::uint64_t size = 1 + (b * 7919) % max_burst;   // a spread of burst sizes
        for (std::uint64_t i = 0; i < size; ++i, ++n) {
            char msg[8];
            std::memcpy(msg, &n, sizeof(msg));
            push(obj, msg, sizeof(msg));
        }
        const std::uint64_t pause = max_pause_us ? (b * 104729) % (max_pause_us + 1) : 0;
        if (pause) std::this_thread::sleep_for(std::chrono::microseconds(pause));
    }
    Py_END_ALLOW_THREADS
    return PyLong_FromUnsignedLongLong(n);
}

// start_pushing(dispatcher) -> handle: a native thread pushes 8-byte
// messages (n as a little-endian u64) through push_fn until
// stop_pushing(handle) stops and joins it (returning how many it pushed).
struct Pusher {
    PyObject* dispatcher = nullptr;   // owned: the thread pushes into it
    orvix_dispatch_push_fn push = nullptr;
    std::atomic<bool> stop{false};
    std::uint64_t pushed = 0;
    std::thread thread;

    void run() {
        std::uint64_t n = 0;
        for (; !stop.load(std::memory_order_relaxed); ++n) {
            char msg[8];
            std::memcpy(msg, &n, sizeof(msg));
            push(dispatcher, msg, sizeof(msg));
        }
        pushed = n;
    }

    void join() {
        stop.store(true, std::memory_order_relaxed);
        if (!thread.joinable()) return;
        Py_BEGIN_ALLOW_THREADS
        thread.join();
        Py_END_ALLOW_THREADS
    }
};

constexpr const char kPusherName[] = "dispatcher_probe.Pusher";

void pusher_destroy(PyObject* capsule) {
    auto* p = static_cast<Pusher*>(PyCapsule_GetPointer(capsule, kPusherName));
    p->join();
    Py_DECREF(p->dispatcher);
    delete p;
}

PyObject* probe_start_pushing(PyObject*, PyObject* obj) {
    orvix_dispatch_push_fn push = push_fn_of(obj);
    if (!push) return nullptr;
    auto* p = new Pusher;
    p->dispatcher = Py_NewRef(obj);
    p->push = push;
    PyObject* handle = PyCapsule_New(p, kPusherName, pusher_destroy);
    if (!handle) {
        Py_DECREF(p->dispatcher);
        delete p;
        return nullptr;
    }
    p->thread = std::thread([p] { p->run(); });
    return handle;
}

PyObject* probe_stop_pushing(PyObject*, PyObject* handle) {
    auto* p = static_cast<Pusher*>(PyCapsule_GetPointer(handle, kPusherName));
    if (!p) return nullptr;
    p->join();
    return PyLong_FromUnsignedLongLong(p->pushed);
}

PyObject* probe_queue(PyObject*, PyObject* obj) {
    const OrvixAsyncDispatcher* rec = socket_record(obj);
    if (!rec) return nullptr;
    return Py_NewRef(rec->_q);
}

// setup_entry(dispatcher, skip_override[, host]): the table's setup entry,
// as a native caller uses it (no host: the record is absent).
PyObject* probe_setup_entry(PyObject*, PyObject* args) {
    PyObject* obj;
    int skip_override;
    PyObject* host = nullptr;
    if (!PyArg_ParseTuple(args, "Oi|O", &obj, &skip_override, &host)) return nullptr;
    const OrvixAsyncDispatcher* rec = socket_record(obj);
    if (!rec) return nullptr;
    // Slot 0 of both classes' tables: setup with the same signature.
    OrvixSetupOptArgs opt{1, host};
    rec->vtab->setup(obj, skip_override, host ? &opt : nullptr);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// close_entry(sync_dispatcher, skip_override): SyncDispatcher's close entry.
PyObject* probe_close_entry(PyObject*, PyObject* args) {
    PyObject* obj;
    int skip_override;
    if (!PyArg_ParseTuple(args, "Oi", &obj, &skip_override)) return nullptr;
    if (kind_of(obj) != Kind::sync_dispatcher) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "expected a SyncDispatcher");
        return nullptr;
    }
    auto* rec = reinterpret_cast<OrvixSyncDispatcher*>(obj);
    rec->vtab->close(obj, skip_override);
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

// A pop_fn that throws the native exception named by `throw_kind`, to see
// the reader's translation table at work.
std::string throw_kind;

[[noreturn]] void throw_native() {
    const std::string& k = throw_kind;
    if (k == "bad_alloc") throw std::bad_alloc();
    if (k == "bad_cast") throw std::bad_cast();
    if (k == "invalid_argument") throw std::invalid_argument("bad argument");
    if (k == "domain_error") throw std::domain_error("bad domain");
    if (k == "ios_failure") throw std::ios_base::failure("stream broke");
    if (k == "out_of_range") throw std::out_of_range("too far");
    if (k == "overflow_error") throw std::overflow_error("too big");
    if (k == "underflow_error") throw std::underflow_error("too small");
    if (k == "range_error") throw std::range_error("out of range");
    if (k == "runtime_error") throw std::runtime_error("plain failure");
    throw 42;
}

PyObject* throwing_pop(PyObject*) { throw_native(); }

PyObject* probe_make_pop_throw(PyObject*, PyObject* args) {
    PyObject* obj;
    const char* kind;
    if (!PyArg_ParseTuple(args, "Os", &obj, &kind)) return nullptr;
    if (kind_of(obj) != Kind::async_dispatcher) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "expected an AsyncDispatcher");
        return nullptr;
    }
    throw_kind = kind;
    reinterpret_cast<OrvixAsyncDispatcher*>(obj)->pop_fn = throwing_pop;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"make_pop_throw", probe_make_pop_throw, METH_VARARGS,
     "make_pop_throw(async_dispatcher, kind): its pop_fn throws a native exception of that kind."},
    {"queue", probe_queue, METH_O, "A socket dispatcher's _q."},
    {"start_pushing", probe_start_pushing, METH_O,
     "start_pushing(dispatcher) -> handle: pushes from a native thread until stop_pushing(handle)"},
    {"stop_pushing", probe_stop_pushing, METH_O, "stop_pushing(handle) -> number of pushes"},
    {"push_bursts", probe_push_bursts, METH_VARARGS,
     "push_bursts(dispatcher, bursts, max_burst, max_pause_us) -> messages pushed"},
    {"setup_entry", probe_setup_entry, METH_VARARGS, "setup_entry(dispatcher, skip_override[, host])"},
    {"close_entry", probe_close_entry, METH_VARARGS, "close_entry(sync_dispatcher, skip_override)"},
    {"addr", probe_addr, METH_O, "The 16 bytes of a socket dispatcher's _addr."},
    {"sock_fd", probe_sock_fd, METH_O, "A socket dispatcher's _sock_fd."},
    {"push", probe_push, METH_VARARGS, "push(dispatcher, data, count=1) through push_fn, GIL released."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "dispatcher_probe", nullptr, 0, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_dispatcher_probe() { return PyModule_Create(&module); }
