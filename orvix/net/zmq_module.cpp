// orvix.net._zmq: ZmqReceiver, a native thread that receives from ZeroMQ
// SUB or PULL sockets and pushes every message into a dispatcher (or an
// attached SharedProducer) as the ring's burst push, without the
// interpreter lock.
#include <Python.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "orvix/net/zmq_receiver_thread.hpp"

namespace {

using orvix::net::CurveKey;
using orvix::net::Multipart;
using orvix::net::OnFull;
using orvix::net::ZmqKind;
using orvix::net::ZmqOptions;
using orvix::net::ZmqReceiverThread;
using orvix::net::ZmqSetupError;
using orvix::net::ZmqSource;

constexpr std::size_t kDefaultBurst = 256;
constexpr std::size_t kMaxBurst = 4096;

struct ZmqReceiver {
    PyObject_HEAD
    PyObject* target;   // owned; hidden from the collector while the thread runs
    ZmqReceiverThread* thread;
    pid_t owner;        // the process that made it: a forked child never touches its ZeroMQ context
};

ZmqReceiver* as_receiver(PyObject* self) { return reinterpret_cast<ZmqReceiver*>(self); }

bool in_owner(const ZmqReceiver* r) { return r->owner == getpid(); }

bool running(const ZmqReceiver* r) {
    return r->thread && in_owner(r) && r->thread->started() && !r->thread->finished();
}

// bytes or str (UTF-8) into `out`; -1 with TypeError.
int text_or_bytes(PyObject* obj, const char* name, std::string& out) {
    if (PyBytes_Check(obj)) {
        out.assign(PyBytes_AS_STRING(obj), static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
        return 0;
    }
    if (PyUnicode_Check(obj)) {
        Py_ssize_t size;
        const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
        if (text == nullptr) return -1;
        out.assign(text, static_cast<std::size_t>(size));
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "%s must be str or bytes, not %.200s", name, Py_TYPE(obj)->tp_name);
    return -1;
}

// One str or bytes, or an iterable of them, into `out`. -1 with an exception.
int one_or_many(PyObject* obj, const char* name, std::vector<std::string>& out) {
    std::string one;
    if (PyBytes_Check(obj) || PyUnicode_Check(obj)) {
        if (text_or_bytes(obj, name, one) < 0) return -1;
        out.push_back(std::move(one));
        return 0;
    }
    PyObject* items = PySequence_Fast(obj, "");
    if (items == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s must be str, bytes or a sequence of them, not %.200s", name,
                     Py_TYPE(obj)->tp_name);
        return -1;
    }
    int result = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items) && result == 0; ++i) {
        result = text_or_bytes(PySequence_Fast_GET_ITEM(items, i), name, one);
        if (result == 0) out.push_back(std::move(one));
    }
    Py_DECREF(items);
    return result;
}

// A CURVE key: 32 bytes, or its 40-character Z85 text. -1 with ValueError.
int curve_key(PyObject* obj, const char* name, std::string& out) {
    std::string given;
    if (text_or_bytes(obj, name, given) < 0) return -1;
    if (PyBytes_Check(obj) && given.size() == 32) {
        out = given;
        return 0;
    }
    out.assign(32, '\0');
    if (given.size() == 40 &&
        zmq_z85_decode(reinterpret_cast<std::uint8_t*>(out.data()), given.c_str()) != nullptr)
        return 0;
    PyErr_Format(PyExc_ValueError, "%s must be a CURVE key: 32 bytes or 40 characters of Z85 text", name);
    return -1;
}

int parse_curve(PyObject* secret, PyObject* clients, ZmqOptions& options) {
    if (secret == Py_None && clients == Py_None) return 0;
    if (secret == Py_None || clients == Py_None) {
        PyErr_SetString(PyExc_ValueError, "CURVE needs both curve_secret_key and curve_clients");
        return -1;
    }
    if (!options.bind) {
        PyErr_SetString(PyExc_ValueError, "CURVE is for a bound receiver (bind=True): it is the server");
        return -1;
    }
    if (!zmq_has("curve")) {
        PyErr_SetString(PyExc_ValueError, "this libzmq was built without CURVE");
        return -1;
    }
    if (curve_key(secret, "curve_secret_key", options.curve_secret_key) < 0) return -1;
    PyObject* iterator = PyObject_GetIter(clients);
    if (iterator == nullptr) return -1;
    int result = 0;
    while (PyObject* item = PyIter_Next(iterator)) {
        std::string key;
        result = curve_key(item, "each of curve_clients", key);
        Py_DECREF(item);
        if (result < 0) break;
        CurveKey binary;
        std::memcpy(binary.data(), key.data(), binary.size());
        options.curve_clients.insert(binary);
    }
    Py_DECREF(iterator);
    if (result < 0 || PyErr_Occurred()) return -1;
    if (options.curve_clients.empty()) {
        PyErr_SetString(PyExc_ValueError, "curve_clients must allow at least one client public key");
        return -1;
    }
    return 0;
}

int parse_endpoints(PyObject* obj, ZmqOptions& options) {
    if (one_or_many(obj, "endpoints", options.endpoints) < 0) return -1;
    if (options.endpoints.empty()) {
        PyErr_SetString(PyExc_ValueError, "endpoints must name at least one endpoint");
        return -1;
    }
    for (const std::string& endpoint : options.endpoints) {
        if (endpoint.rfind("inproc://", 0) == 0) {
            PyErr_SetString(PyExc_ValueError,
                            "inproc:// endpoints reach only sockets of the same ZeroMQ context, and the "
                            "receiver's context is its own: use ipc:// or tcp://");
            return -1;
        }
        if (endpoint.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "an endpoint must not contain a NUL character");
            return -1;
        }
    }
    return 0;
}

PyObject* raise_setup_error(const ZmqSetupError& e) {
    if (e.kind == ZmqSetupError::Kind::value) return PyErr_Format(PyExc_ValueError, "%s", e.what());
    PyObject* args = Py_BuildValue("(is)", e.error, e.what());
    if (args != nullptr) {
        PyErr_SetObject(PyExc_OSError, args);
        Py_DECREF(args);
    }
    return nullptr;
}

PyObject* receiver_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"target", "endpoints", "kind", "subscribe", "bind", "hwm", "on_full",
                                     "multipart", "curve_secret_key", "curve_clients", "burst", nullptr};
    PyObject *target_obj, *endpoints, *subscribe = Py_None, *hwm = Py_None, *on_full_obj = Py_None;
    PyObject *secret = Py_None, *clients = Py_None;
    const char* kind = nullptr;
    const char* multipart = "drop";
    int bind = 0;
    Py_ssize_t burst = kDefaultBurst;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$sOpOOsOOn:ZmqReceiver", const_cast<char**>(keywords),
                                     &target_obj, &endpoints, &kind, &subscribe, &bind, &hwm, &on_full_obj,
                                     &multipart, &secret, &clients, &burst))
        return nullptr;
    ZmqOptions options;
    if (kind == nullptr) {
        PyErr_SetString(PyExc_TypeError, "ZmqReceiver() needs kind='SUB' or kind='PULL'");
        return nullptr;
    }
    if (std::strcmp(kind, "SUB") == 0) {
        options.kind = ZmqKind::sub;
    } else if (std::strcmp(kind, "PULL") == 0) {
        options.kind = ZmqKind::pull;
    } else {
        return PyErr_Format(PyExc_ValueError, "kind must be 'SUB' or 'PULL', got '%s'", kind);
    }
    options.bind = bind != 0;
    if (parse_endpoints(endpoints, options) < 0) return nullptr;
    if (options.kind == ZmqKind::sub) {
        if (subscribe == Py_None) options.subscriptions.emplace_back();   // every message
        else if (one_or_many(subscribe, "subscribe", options.subscriptions) < 0) return nullptr;
    } else if (subscribe != Py_None) {
        PyErr_SetString(PyExc_ValueError, "subscribe is for kind='SUB'; a PULL socket takes every message");
        return nullptr;
    }
    if (hwm != Py_None) {
        const long value = PyLong_AsLong(hwm);
        if (value == -1 && PyErr_Occurred()) return nullptr;
        if (value < 0 || value > INT32_MAX)
            return PyErr_Format(PyExc_ValueError, "hwm must be from 0 (no limit) to %d, got %ld", INT32_MAX, value);
        options.hwm = static_cast<int>(value);
    }
    // PULL pushes back on its senders, so waiting loses nothing; SUB drops at
    // its high-water mark whatever the receiver does, so it drops where it is counted.
    OnFull on_full = options.kind == ZmqKind::pull ? OnFull::wait : OnFull::drop;
    if (on_full_obj != Py_None) {
        std::string text;
        if (text_or_bytes(on_full_obj, "on_full", text) < 0) return nullptr;
        if (text == "drop") on_full = OnFull::drop;
        else if (text == "wait") on_full = OnFull::wait;
        else return PyErr_Format(PyExc_ValueError, "on_full must be 'drop' or 'wait', got %R", on_full_obj);
    }
    if (std::strcmp(multipart, "drop") == 0) {
        options.multipart = Multipart::drop;
    } else if (std::strcmp(multipart, "framed") == 0) {
        options.multipart = Multipart::framed;
    } else {
        return PyErr_Format(PyExc_ValueError, "multipart must be 'drop' or 'framed', got '%s'", multipart);
    }
    if (parse_curve(secret, clients, options) < 0) return nullptr;
    if (burst < 1 || static_cast<std::size_t>(burst) > kMaxBurst)
        return PyErr_Format(PyExc_ValueError, "burst must be from 1 to %zu, got %zd", kMaxBurst, burst);
    OrvixProducerTarget target;
    if (orvix_producer_target(target_obj, &target) < 0) return nullptr;

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ZmqReceiver* r = as_receiver(self);
    r->owner = getpid();
    try {
        std::unique_ptr<ZmqSource> source;
        std::exception_ptr failure;
        Py_BEGIN_ALLOW_THREADS   // binding and connecting may resolve names
        try {
            source = std::make_unique<ZmqSource>(options, static_cast<std::size_t>(burst));
        } catch (...) {
            failure = std::current_exception();
        }
        Py_END_ALLOW_THREADS
        if (failure) std::rethrow_exception(failure);
        r->thread = new ZmqReceiverThread(target, std::move(source), on_full, static_cast<std::size_t>(burst));
    } catch (const ZmqSetupError& e) {
        Py_DECREF(self);
        return raise_setup_error(e);
    } catch (const std::exception& e) {
        Py_DECREF(self);
        return PyErr_Format(PyExc_MemoryError, "cannot set up the receiver: %s", e.what());
    }
    r->target = Py_NewRef(target_obj);
    return self;
}

int receiver_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!running(as_receiver(self))) Py_VISIT(as_receiver(self)->target);
    return 0;
}

int receiver_clear(PyObject* self) {
    if (!running(as_receiver(self))) Py_CLEAR(as_receiver(self)->target);
    return 0;
}

void receiver_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ZmqReceiverThread* thread = std::exchange(as_receiver(self)->thread, nullptr);
    if (in_owner(as_receiver(self))) {
        // The stop ends the thread's receive and its wait in the ring at once;
        // the lock is let go because a reader freeing room may need it.
        Py_BEGIN_ALLOW_THREADS
        delete thread;
        Py_END_ALLOW_THREADS
    }
    // In a forked child the context belongs to the parent's libzmq threads,
    // which the child does not have: it is left alone.
    Py_CLEAR(as_receiver(self)->target);
    type->tp_free(self);
    Py_DECREF(type);
}

int check_owner(const ZmqReceiver* r) {
    if (in_owner(r)) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "this ZmqReceiver belongs to the parent process (a ZeroMQ context does not cross a fork): "
                    "make a new one in the child");
    return -1;
}

PyObject* receiver_start(PyObject* self, PyObject*) {
    ZmqReceiver* r = as_receiver(self);
    if (check_owner(r) < 0) return nullptr;
    if (r->thread->started()) {
        PyErr_SetString(PyExc_RuntimeError, "the receiver was already started");
        return nullptr;
    }
    if (r->target == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the receiver no longer has a target");
        return nullptr;
    }
    if (!r->thread->try_attach()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "another producer is already pushing into this target; a ring takes one producer thread "
                        "at a time");
        return nullptr;
    }
    try {
        r->thread->start();
    } catch (const std::system_error& e) {
        return PyErr_Format(PyExc_RuntimeError, "can't start the receiver's thread: %s", e.what());
    }
    Py_RETURN_NONE;
}

int wait_for_thread(ZmqReceiver* r, std::optional<double> timeout) {
    using namespace std::chrono;
    constexpr auto kSlice = milliseconds(50);
    const auto deadline = steady_clock::now() + duration_cast<nanoseconds>(duration<double>(timeout.value_or(0)));
    for (;;) {
        const auto left = timeout ? std::min<nanoseconds>(deadline - steady_clock::now(), kSlice) : kSlice;
        bool finished;
        Py_BEGIN_ALLOW_THREADS
        finished = r->thread->wait_finished(std::max(left, nanoseconds(0)));
        Py_END_ALLOW_THREADS
        if (finished) break;
        if (PyErr_CheckSignals() < 0) return -1;
        if (timeout && steady_clock::now() >= deadline) return 0;
    }
    r->thread->join();
    return 1;
}

PyObject* receiver_join(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"timeout", nullptr};
    PyObject* timeout_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:join", const_cast<char**>(keywords), &timeout_obj))
        return nullptr;
    std::optional<double> timeout;
    if (timeout_obj != Py_None) {
        const double seconds = PyFloat_AsDouble(timeout_obj);
        if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
        if (std::isnan(seconds)) {
            PyErr_SetString(PyExc_ValueError, "timeout must be a number of seconds or None, not NaN");
            return nullptr;
        }
        if (seconds <= 1e9) timeout = std::max(seconds, 0.0);
    }
    ZmqReceiver* r = as_receiver(self);
    if (check_owner(r) < 0) return nullptr;
    if (!r->thread->started()) {
        PyErr_SetString(PyExc_RuntimeError, "cannot join a receiver before it is started");
        return nullptr;
    }
    const int finished = wait_for_thread(r, timeout);
    return finished < 0 ? nullptr : PyBool_FromLong(finished);
}

PyObject* receiver_stop(PyObject* self, PyObject*) {
    if (in_owner(as_receiver(self))) as_receiver(self)->thread->request_stop();
    Py_RETURN_NONE;
}

PyObject* receiver_running(PyObject* self, void*) { return PyBool_FromLong(running(as_receiver(self))); }

PyObject* receiver_endpoints(PyObject* self, void*) {
    const auto& endpoints = as_receiver(self)->thread->source().endpoints();
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(endpoints.size()));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        PyObject* text = PyUnicode_FromStringAndSize(endpoints[i].data(), static_cast<Py_ssize_t>(endpoints[i].size()));
        if (text == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), text);
    }
    return tuple;
}

PyObject* receiver_stats(PyObject* self, PyObject*) {
    ZmqReceiverThread* thread = as_receiver(self)->thread;
    const auto& source = thread->source().counts();
    const auto pushed = thread->counts();
    auto load = [](const std::atomic<std::uint64_t>& c) { return static_cast<unsigned long long>(c.load(std::memory_order_acquire)); };
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:K,s:O}", "received", load(source.received), "bytes",
                         load(source.bytes), "stored", (unsigned long long)pushed.stored, "refused",
                         (unsigned long long)pushed.refused, "too_long",
                         (unsigned long long)pushed.too_long + load(source.unframable), "multipart",
                         load(source.multipart), "curve_accepted", load(source.curve_accepted), "curve_refused",
                         load(source.curve_refused), "target_closed", pushed.target_closed ? Py_True : Py_False);
}

PyObject* receiver_enter(PyObject* self, PyObject*) {
    PyObject* started = receiver_start(self, nullptr);
    if (started == nullptr) return nullptr;
    Py_DECREF(started);
    return Py_NewRef(self);
}

PyObject* receiver_exit(PyObject* self, PyObject*) {
    ZmqReceiver* r = as_receiver(self);
    if (!in_owner(r)) Py_RETURN_NONE;
    r->thread->request_stop();
    if (r->thread->started() && wait_for_thread(r, std::nullopt) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef receiver_methods[] = {
    {"start", receiver_start, METH_NOARGS,
     "start($self, /)\n--\n\nStarts the receiver thread (once), as the one producer of the target's ring."},
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(receiver_join)), METH_VARARGS | METH_KEYWORDS,
     "join($self, /, timeout=None)\n--\n\nWaits for the thread, with the interpreter lock released; True once it "
     "has finished."},
    {"stop", receiver_stop, METH_NOARGS,
     "stop($self, /)\n--\n\nAsks the thread to stop and returns at once; a blocked receive or a wait for room "
     "ends at once."},
    {"stats", receiver_stats, METH_NOARGS,
     "stats($self, /)\n--\n\nWhat was received and what became of it (see the guide)."},
    {"__enter__", receiver_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nStarts the receiver."},
    {"__exit__", receiver_exit, METH_VARARGS, "__exit__($self, *exc_info)\n--\n\nStops and joins the receiver."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef receiver_getset[] = {
    {"running", receiver_running, nullptr, "True from start() until the thread has finished.", nullptr},
    {"endpoints", receiver_endpoints, nullptr,
     "The endpoints as bound or connected (a bound 'tcp://host:*' names its port).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot receiver_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(receiver_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(receiver_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(receiver_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(receiver_clear)},
    {Py_tp_methods, receiver_methods},
    {Py_tp_getset, receiver_getset},
    {Py_tp_doc, const_cast<char*>(
         "ZmqReceiver(target, endpoints, *, kind, subscribe=None, bind=False, hwm=None, on_full=None, "
         "multipart='drop', curve_secret_key=None, curve_clients=None, burst=256)\n--\n\n"
         "A native thread receiving from ZeroMQ SUB or PULL sockets into a dispatcher without the interpreter "
         "lock.")},
    {0, nullptr},
};

PyType_Spec receiver_spec = {"orvix.net.ZmqReceiver", sizeof(ZmqReceiver), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, receiver_slots};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &receiver_spec, nullptr);
    if (type == nullptr) return -1;
    const int added = PyModule_AddObjectRef(module, "ZmqReceiver", type);
    Py_DECREF(type);
    if (added < 0) return -1;
    int major, minor, patch;
    zmq_version(&major, &minor, &patch);
    PyObject* version = Py_BuildValue("(iii)", major, minor, patch);
    if (version == nullptr) return -1;
    const int added_version = PyModule_AddObjectRef(module, "ZMQ_VERSION", version);
    Py_DECREF(version);
    return added_version;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orvix.net._zmq", "The ZeroMQ receiver behind orvix.net.", 0, nullptr, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__zmq() { return PyModuleDef_Init(&module_def); }
