// orvix.feed._feed: the Feed type, a native producer thread that anyone can
// start from Python.
//
// This is the reference example of a native producer: the dispatcher's
// push entry is taken once with the interpreter lock held
// (orvix_producer_target), start() attaches the feed as the ring's one
// producer, and the thread in feed_thread.cpp pushes through the installed
// header producer.h without the lock and detaches when it ends. The life of
// the thread (attach, start, stop, join, fork) is every native producer
// thread's of the package: orvix/common/producer_thread.hpp, with its Python
// side in cpython_support/producer_thread_glue.hpp.
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

// As cpython_support::ProducerThreadType takes it: start/join/stop, the
// context manager, deallocation and collection are every native producer
// thread's.
struct Feed {
    PyObject_HEAD
    PyObject* target;  // the dispatcher
    FeedThread* thread;
    bool starting;
    static constexpr const char* kNoun = "feed";
    static constexpr const char* kTargetNoun = "dispatcher";
};

using Type = cpython_support::ProducerThreadType<Feed>;

Feed* as_feed(PyObject* self) { return reinterpret_cast<Feed*>(self); }

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
    as_feed(self)->target = Py_NewRef(dispatcher);
    return self;
}

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

PyMethodDef feed_methods[] = {
    {"start", Type::start, METH_NOARGS,
     "start($self, /)\n--\n\n"
     "Starts the producer thread (once), as the one producer of the dispatcher's ring: RuntimeError while "
     "another producer pushes into it."},
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Type::join)), METH_VARARGS | METH_KEYWORDS,
     "join($self, /, timeout=None)\n--\n\n"
     "Waits for the thread, with the interpreter lock released; True when it has finished. A negative "
     "timeout looks without waiting; NaN raises ValueError."},
    {"stop", Type::stop, METH_NOARGS,
     "stop($self, /)\n--\n\n"
     "Asks the thread to stop early and returns at once; a push waiting for room ends at once too."},
    {"report", feed_report, METH_NOARGS,
     "report($self, /)\n--\n\n"
     "What the thread pushed: messages (sequence numbers used), stored, refused (each retry counted), "
     "failed, elapsed_ns."},
    {"results", feed_results, METH_NOARGS,
     "results($self, /)\n--\n\n"
     "With record_results=True, once finished: one signed byte per sequence number, its final push result."},
    {"__enter__", Type::enter, METH_NOARGS, "__enter__($self, /)\n--\n\nStarts the feed."},
    {"__exit__", Type::exit, METH_VARARGS,
     "__exit__($self, *exc_info)\n--\n\nStops the feed unless it has finished, then joins it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef feed_getset[] = {
    {"running", Type::is_running, nullptr, "True from start() until the thread has finished.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot feed_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(feed_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Type::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Type::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Type::clear)},
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
