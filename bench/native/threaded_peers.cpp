// The peers of bench_threaded.py that dispatch_peers does not already offer.
//
//     threaded_peers.ceiling(callback, count, size) -> ns
//         one loop that holds the interpreter lock throughout and calls
//         callback(bytes) per message: what delivery costs with no thread
//         hand-over at all.
//     threaded_peers.ensure_per_message(callback, count, size) -> ns
//         a native thread that wraps every call in PyGILState_Ensure /
//         PyGILState_Release, which makes and destroys a thread state per
//         message: the common way foreign threads call into Python.
//
// Both return the loop's own time in nanoseconds. Message i holds i as a
// little-endian u64 in its first 8 bytes, then zeros.
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

namespace {

struct Loop {
    PyObject* callback;
    Py_ssize_t count;
    std::vector<char> message;
    bool failed = false;

    Loop(PyObject* callback, Py_ssize_t count, Py_ssize_t size)
        : callback(callback), count(count), message(static_cast<std::size_t>(std::max<Py_ssize_t>(size, 8))) {}

    // Lock held.
    bool deliver(Py_ssize_t i) {
        const auto seq = static_cast<std::uint64_t>(i);
        std::memcpy(message.data(), &seq, sizeof(seq));
        PyObject* bytes = PyBytes_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
        PyObject* result = bytes ? PyObject_CallOneArg(callback, bytes) : nullptr;
        Py_XDECREF(bytes);
        if (!result) return false;
        Py_DECREF(result);
        return true;
    }
};

long long since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
}

bool parse(PyObject* args, const char* format, PyObject** callback, Py_ssize_t* count, Py_ssize_t* size) {
    if (!PyArg_ParseTuple(args, format, callback, count, size)) return false;
    if (*count < 0 || *size < 0) {
        PyErr_SetString(PyExc_ValueError, "count and size must not be negative");
        return false;
    }
    return true;
}

PyObject* ceiling(PyObject*, PyObject* args) {
    PyObject* callback;
    Py_ssize_t count, size;
    if (!parse(args, "Onn:ceiling", &callback, &count, &size)) return nullptr;
    Loop loop(callback, count, size);
    const auto start = std::chrono::steady_clock::now();
    for (Py_ssize_t i = 0; i < count; ++i)
        if (!loop.deliver(i)) return nullptr;
    return PyLong_FromLongLong(since(start));
}

PyObject* ensure_per_message(PyObject*, PyObject* args) {
    PyObject* callback;
    Py_ssize_t count, size;
    if (!parse(args, "Onn:ensure_per_message", &callback, &count, &size)) return nullptr;
    Loop loop(callback, count, size);
    long long elapsed = 0;
    try {   // no C++ exception may reach the interpreter
        std::thread thread([&] {
            const auto start = std::chrono::steady_clock::now();
            for (Py_ssize_t i = 0; i < count && !loop.failed; ++i) {
                PyGILState_STATE gil = PyGILState_Ensure();
                if (!loop.deliver(i)) {
                    PyErr_WriteUnraisable(callback);
                    loop.failed = true;
                }
                PyGILState_Release(gil);
            }
            elapsed = since(start);
        });
        Py_BEGIN_ALLOW_THREADS
        thread.join();
        Py_END_ALLOW_THREADS
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    if (loop.failed) {
        PyErr_SetString(PyExc_RuntimeError, "the callback failed (see the unraisable report)");
        return nullptr;
    }
    return PyLong_FromLongLong(elapsed);
}

PyMethodDef methods[] = {
    {"ceiling", ceiling, METH_VARARGS, "ceiling(callback, count, size) -> ns: one loop holding the lock"},
    {"ensure_per_message", ensure_per_message, METH_VARARGS,
     "ensure_per_message(callback, count, size) -> ns: a native thread, PyGILState_Ensure per message"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "threaded_peers", "Peers of the ThreadedDispatcher benchmark.", 0,
                      methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_threaded_peers() { return PyModule_Create(&module); }
