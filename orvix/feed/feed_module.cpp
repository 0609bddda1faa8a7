// orvix.feed._feed: the Feed type, a native producer thread that anyone can
// start from Python.
//
// This is the reference example of a native producer. It uses nothing but
// Python.h and the installed headers: the dispatcher's push entry is taken
// once with the interpreter lock held (orvix_producer_target), start()
// attaches the feed as the ring's one producer, and the thread in
// feed_thread.cpp pushes through the entry without the lock and detaches
// when it ends.
//
// Nothing here waits for the thread while holding the interpreter lock: the
// thread never needs the lock, but the reader that would make room for a
// blocked push may.
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "cpython_support/producer_thread_glue.hpp"
#include "orvix/feed/feed_thread.hpp"

namespace {

using orvix::feed::FeedOptions;
using orvix::feed::FeedThread;
using orvix::feed::kHeaderSize;
using orvix::feed::kMaxBurst;
using orvix::feed::kMaxSize;
using orvix::feed::kNoLimit;
using orvix::feed::OnFull;

struct Feed {
    PyObject_HEAD
    // Owned until the thread is joined. While the thread runs the reference
    // is the thread's, so the collector is not shown it (see feed_traverse).
    PyObject* dispatcher;
    FeedThread* thread;
    bool starting;  // start() runs (it may let the lock go while it waits to attach)
};

Feed* as_feed(PyObject* self) { return reinterpret_cast<Feed*>(self); }

bool running(const Feed* f) { return f->thread && f->thread->started() && !f->thread->finished(); }

// None, or a non-negative real number (an int counts as one). -1 with an exception set.
int optional_real(PyObject* obj, const char* name, std::optional<double>& out) {
    if (obj == Py_None) return 0;
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Format(PyExc_TypeError, "%s must be a number or None, not %.200s", name, Py_TYPE(obj)->tp_name);
        return -1;
    }
    if (!(value >= 0)) {
        PyErr_Format(PyExc_ValueError, "%s must not be negative or NaN, got %R", name, obj);
        return -1;
    }
    out = value;
    return 0;
}

// An int (anything with __index__) from HEADER_SIZE to kMaxSize. -1 with an exception set.
int parse_size(PyObject* obj, std::size_t& out) {
    PyObject* size = PyNumber_Index(obj);
    if (size == nullptr) return -1;
    int beyond = 0;   // -1 or 1: beyond long long on that side
    const long long value = PyLong_AsLongLongAndOverflow(size, &beyond);
    int result = -1;
    if (value == -1 && PyErr_Occurred()) {
        // the conversion's own error
    } else if (beyond < 0 || (beyond == 0 && value < static_cast<long long>(kHeaderSize))) {
        PyErr_Format(PyExc_ValueError, "size must be at least HEADER_SIZE (%zu), got %R", kHeaderSize, size);
    } else if (beyond > 0 || static_cast<unsigned long long>(value) > kMaxSize) {
        PyErr_Format(PyExc_OverflowError, "size must be at most %zu, got %R", kMaxSize, size);
    } else {
        out = static_cast<std::size_t>(value);
        result = 0;
    }
    Py_DECREF(size);
    return result;
}

int parse_options(PyObject* count_obj, PyObject* duration_obj, PyObject* size_obj, PyObject* rate_obj,
                  const char* on_full, FeedOptions& options) {
    if (count_obj == Py_None && duration_obj == Py_None) {
        PyErr_SetString(PyExc_ValueError, "Feed() needs count, duration or both");
        return -1;
    }
    options.count = UINT64_MAX;
    if (count_obj != Py_None) {
        if (!PyLong_Check(count_obj)) {
            PyErr_Format(PyExc_TypeError, "count must be an int or None, not %.200s", Py_TYPE(count_obj)->tp_name);
            return -1;
        }
        const long long count = PyLong_AsLongLong(count_obj);
        if (count == -1 && PyErr_Occurred()) return -1;
        if (count < 0) {
            PyErr_Format(PyExc_ValueError, "count must not be negative, got %lld", count);
            return -1;
        }
        options.count = static_cast<std::uint64_t>(count);
    }
    std::optional<double> seconds, rate;
    if (optional_real(duration_obj, "duration", seconds) < 0 || optional_real(rate_obj, "rate", rate) < 0) return -1;
    options.duration = kNoLimit;
    if (seconds && *seconds * 1e9 < static_cast<double>(kNoLimit.count()))
        options.duration = std::chrono::nanoseconds(static_cast<std::int64_t>(*seconds * 1e9));
    if (rate && *rate == 0) {
        PyErr_SetString(PyExc_ValueError, "rate must be positive (None: as fast as possible)");
        return -1;
    }
    options.rate = rate && std::isfinite(*rate) ? *rate : 0.0;
    if (size_obj != nullptr) {
        if (parse_size(size_obj, options.size) < 0) return -1;
    } else {
        options.size = 64;
    }
    if (std::strcmp(on_full, "retry") == 0) {
        options.on_full = OnFull::retry;
    } else if (std::strcmp(on_full, "skip") == 0) {
        options.on_full = OnFull::skip;
    } else {
        PyErr_Format(PyExc_ValueError, "on_full must be 'retry' or 'skip', got '%s'", on_full);
        return -1;
    }
    return 0;
}

PyObject* feed_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"dispatcher", "count", "duration", "size", "rate", "on_full",
                                     "record_results", "burst", nullptr};
    PyObject *dispatcher, *count = Py_None, *duration = Py_None, *size = nullptr, *rate = Py_None;
    const char* on_full = "retry";
    int record_results = 0;
    Py_ssize_t burst = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$OOOOspn:Feed", const_cast<char**>(keywords), &dispatcher,
                                     &count, &duration, &size, &rate, &on_full, &record_results, &burst))
        return nullptr;
    FeedOptions options{};
    options.record_results = record_results != 0;
    if (parse_options(count, duration, size, rate, on_full, options) < 0) return nullptr;
    if (burst < 1 || static_cast<std::size_t>(burst) > kMaxBurst) {
        PyErr_Format(PyExc_ValueError, "burst must be from 1 to %zu, got %zd", kMaxBurst, burst);
        return nullptr;
    }
    options.burst = static_cast<std::size_t>(burst);
    OrvixProducerTarget target;
    if (orvix_producer_target(dispatcher, &target) < 0) return nullptr;

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
        as_feed(self)->thread = new FeedThread(target, options);
    } catch (const std::exception&) {   // bad_alloc, or length_error from a vector
        Py_DECREF(self);
        return PyErr_Format(PyExc_MemoryError, "cannot allocate a feed of %zu-byte messages%s", options.size,
                            options.record_results ? " that records a result per message" : "");
    }
    as_feed(self)->dispatcher = Py_NewRef(dispatcher);
    return self;
}

int feed_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!running(as_feed(self))) Py_VISIT(as_feed(self)->dispatcher);
    return 0;
}

int feed_clear(PyObject* self) {
    if (!running(as_feed(self))) Py_CLEAR(as_feed(self)->dispatcher);
    return 0;
}

void feed_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Stops and joins a running thread, with the lock released: the stop
    // ends the thread's waits at once, its wait in the ring included, but
    // the lock may be what the reader freeing that room needs next.
    FeedThread* thread = std::exchange(as_feed(self)->thread, nullptr);
    Py_BEGIN_ALLOW_THREADS
    delete thread;
    Py_END_ALLOW_THREADS
    Py_CLEAR(as_feed(self)->dispatcher);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* feed_start(PyObject* self, PyObject*) {
    Feed* f = as_feed(self);
    if (f->starting || f->thread->started()) {
        PyErr_SetString(PyExc_RuntimeError, "the feed was already started");
        return nullptr;
    }
    if (f->dispatcher == nullptr) {  // only after the collector cleared it
        PyErr_SetString(PyExc_RuntimeError, "the feed no longer has a dispatcher");
        return nullptr;
    }
    f->starting = true;
    const int attached = cpython_support::attach_producer_thread(f->thread->lifecycle());
    f->starting = false;
    if (attached < 0) return nullptr;
    try {
        f->thread->start();
    } catch (const std::system_error& e) {
        f->thread->lifecycle().detach();
        PyErr_Format(PyExc_RuntimeError, "can't start the feed's thread: %s", e.what());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Waits for the thread (cpython_support::wait_for_producer_thread); lets go
// of the dispatcher once it has finished. 1 finished, 0 timed out, -1 exception.
int wait_for_thread(Feed* f, std::optional<double> timeout) {
    const int finished = cpython_support::wait_for_producer_thread(f->thread->lifecycle(), timeout);
    if (finished == 1) Py_CLEAR(f->dispatcher);
    return finished;
}

PyObject* feed_join(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"timeout", nullptr};
    PyObject* timeout_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:join", const_cast<char**>(keywords), &timeout_obj))
        return nullptr;
    std::optional<double> timeout;
    if (cpython_support::parse_join_timeout(timeout_obj, timeout) < 0) return nullptr;
    if (!as_feed(self)->thread->started()) {
        PyErr_SetString(PyExc_RuntimeError, "cannot join a feed before it is started");
        return nullptr;
    }
    const int finished = wait_for_thread(as_feed(self), timeout);
    return finished < 0 ? nullptr : PyBool_FromLong(finished);
}

PyObject* feed_stop(PyObject* self, PyObject*) {
    as_feed(self)->thread->lifecycle().request_stop();
    Py_RETURN_NONE;
}

PyObject* feed_running(PyObject* self, void*) { return PyBool_FromLong(running(as_feed(self))); }

PyObject* feed_report(PyObject* self, PyObject*) {
    const orvix::feed::FeedReport r = as_feed(self)->thread->report();
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:L}", "messages", (unsigned long long)r.messages, "stored",
                         (unsigned long long)r.stored, "refused", (unsigned long long)r.refused, "failed",
                         (unsigned long long)r.failed, "elapsed_ns", (long long)r.elapsed_ns);
}

PyObject* feed_results(PyObject* self, PyObject*) {
    const FeedThread* thread = as_feed(self)->thread;
    if (!thread->options().record_results) {
        PyErr_SetString(PyExc_RuntimeError, "results() needs Feed(..., record_results=True)");
        return nullptr;
    }
    if (!thread->finished()) {
        PyErr_SetString(PyExc_RuntimeError, "results() is available once the feed has finished");
        return nullptr;
    }
    const auto& results = thread->results();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(results.data()),
                                     static_cast<Py_ssize_t>(results.size()));
}

PyObject* feed_enter(PyObject* self, PyObject*) {
    PyObject* started = feed_start(self, nullptr);
    if (started == nullptr) return nullptr;
    Py_DECREF(started);
    return Py_NewRef(self);
}

PyObject* feed_exit(PyObject* self, PyObject*) {
    Feed* f = as_feed(self);
    if (running(f)) f->thread->lifecycle().request_stop();
    if (f->thread->started() && wait_for_thread(f, std::nullopt) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef feed_methods[] = {
    {"start", feed_start, METH_NOARGS,
     "start($self, /)\n--\n\n"
     "Starts the producer thread (once), as the one producer of the dispatcher's ring: RuntimeError while "
     "another producer pushes into it."},
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(feed_join)), METH_VARARGS | METH_KEYWORDS,
     "join($self, /, timeout=None)\n--\n\n"
     "Waits for the thread, with the interpreter lock released; True when it has finished. A negative "
     "timeout looks without waiting; NaN raises ValueError."},
    {"stop", feed_stop, METH_NOARGS,
     "stop($self, /)\n--\n\n"
     "Asks the thread to stop early and returns at once; a push waiting for room ends at once too."},
    {"report", feed_report, METH_NOARGS,
     "report($self, /)\n--\n\n"
     "What the thread pushed: messages (sequence numbers used), stored, refused (each retry counted), "
     "failed, elapsed_ns."},
    {"results", feed_results, METH_NOARGS,
     "results($self, /)\n--\n\n"
     "With record_results=True, once finished: one signed byte per sequence number, its final push result."},
    {"__enter__", feed_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nStarts the feed."},
    {"__exit__", feed_exit, METH_VARARGS,
     "__exit__($self, *exc_info)\n--\n\nStops the feed unless it has finished, then joins it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef feed_getset[] = {
    {"running", feed_running, nullptr, "True from start() until the thread has finished.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot feed_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(feed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(feed_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(feed_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(feed_clear)},
    {Py_tp_methods, feed_methods},
    {Py_tp_getset, feed_getset},
    {Py_tp_doc, const_cast<char*>(
         "Feed(dispatcher, *, count=None, duration=None, size=64, rate=None, on_full='retry', "
         "record_results=False)\n--\n\n"
         "A native thread that pushes numbered, timestamped messages into a dispatcher without the "
         "interpreter lock.")},
    {0, nullptr},
};

PyType_Spec feed_spec = {"orvix.feed.Feed", sizeof(Feed), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, feed_slots};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &feed_spec, nullptr);
    if (type == nullptr) return -1;
    const int added = PyModule_AddObjectRef(module, "Feed", type);
    Py_DECREF(type);
    if (added < 0) return -1;
    return PyModule_AddIntConstant(module, "HEADER_SIZE", static_cast<long>(kHeaderSize));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orvix.feed._feed", "The native feed behind orvix.feed.", 0, nullptr, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__feed() { return PyModuleDef_Init(&module_def); }
