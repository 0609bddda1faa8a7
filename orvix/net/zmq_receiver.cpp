// orvix.net._zmq: ZmqReceiver, a receiver (receiver_object.hpp) whose
// source is a ZeroMQ SUB or PULL socket: argument parsing and the
// ZeroMQ-only attributes. A module of its own, built where libzmq is.
#include <Python.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "orvix/net/receiver_object.hpp"
#include "orvix/net/zmq_source.hpp"

namespace orvix::net {

namespace {

constexpr Py_ssize_t kDefaultBurst = 256;
constexpr Py_ssize_t kMaxBurst = 4096;

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

int parse_kind(const char* kind, PyObject* subscribe, ZmqOptions& options) {
    if (kind == nullptr) {
        PyErr_SetString(PyExc_TypeError, "ZmqReceiver() needs kind='SUB' or kind='PULL'");
        return -1;
    }
    if (std::strcmp(kind, "SUB") == 0) {
        options.kind = ZmqKind::sub;
    } else if (std::strcmp(kind, "PULL") == 0) {
        options.kind = ZmqKind::pull;
    } else {
        PyErr_Format(PyExc_ValueError, "kind must be 'SUB' or 'PULL', got '%s'", kind);
        return -1;
    }
    if (options.kind == ZmqKind::pull) {
        if (subscribe == Py_None) return 0;
        PyErr_SetString(PyExc_ValueError, "subscribe is for kind='SUB'; a PULL socket takes every message");
        return -1;
    }
    if (subscribe != Py_None) return one_or_many(subscribe, "subscribe", options.subscriptions);
    options.subscriptions.emplace_back();   // every message
    return 0;
}

PyObject* zmq_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"target", "endpoints", "kind", "subscribe", "bind", "hwm", "on_full",
                                     "multipart", "curve_secret_key", "curve_clients", "burst", nullptr};
    PyObject *target, *endpoints, *subscribe = Py_None, *secret = Py_None, *clients = Py_None;
    const char* kind = nullptr;
    const char* on_full_text = nullptr;
    const char* multipart = "drop";
    int bind = 0;
    Py_ssize_t hwm = -1, burst = kDefaultBurst;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$sOpnzsOOn:ZmqReceiver", const_cast<char**>(keywords), &target,
                                     &endpoints, &kind, &subscribe, &bind, &hwm, &on_full_text, &multipart, &secret,
                                     &clients, &burst))
        return nullptr;
    ZmqOptions options;
    options.bind = bind != 0;
    if (parse_kind(kind, subscribe, options) < 0 || parse_endpoints(endpoints, options) < 0) return nullptr;
    if (hwm < -1 || hwm > INT32_MAX)
        return PyErr_Format(PyExc_ValueError, "hwm must be from 0 (no limit) to %d, or -1 for libzmq's default, got %zd",
                            INT32_MAX, hwm);
    options.hwm = static_cast<int>(hwm);
    // PULL pushes back on its senders, so waiting loses nothing; SUB drops
    // at its high-water mark whatever the receiver does, so by default it
    // drops where the loss is counted.
    OnFull on_full = options.kind == ZmqKind::pull ? OnFull::wait : OnFull::drop;
    if (on_full_text != nullptr && parse_on_full(on_full_text, on_full) < 0) return nullptr;
    if (std::strcmp(multipart, "drop") == 0) {
        options.multipart = Multipart::drop;
    } else if (std::strcmp(multipart, "framed") == 0) {
        options.multipart = Multipart::framed;
    } else {
        return PyErr_Format(PyExc_ValueError, "multipart must be 'drop' or 'framed', got '%s'", multipart);
    }
    if (parse_curve(secret, clients, options) < 0) return nullptr;
    if (burst < 1 || burst > kMaxBurst)
        return PyErr_Format(PyExc_ValueError, "burst must be from 1 to %zd, got %zd", kMaxBurst, burst);
    options.burst = static_cast<std::size_t>(burst);

    OrvixProducerTarget resolved;   // before any socket is made
    if (orvix_producer_target(target, &resolved) < 0) return nullptr;

    std::unique_ptr<ZmqSource> source;
    try {
        source = std::make_unique<ZmqSource>(options);
    } catch (const ZmqSetupError& e) {
        if (e.value) return PyErr_Format(PyExc_ValueError, "%s", e.what());
        PyObject* message = PyUnicode_FromString(e.what());
        if (message != nullptr) raise_os_error(e.error, message);
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    if (receiver_init(self, target, std::move(source), on_full) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

PyObject* zmq_endpoints(PyObject* self, void*) {
    const auto& endpoints = static_cast<ZmqSource&>(as_receiver(self)->thread->source()).endpoints();
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(endpoints.size()));
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        PyObject* text = PyUnicode_DecodeUTF8(endpoints[i].data(), static_cast<Py_ssize_t>(endpoints[i].size()),
                                              "replace");
        if (text == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), text);
    }
    return tuple;
}

PyGetSetDef zmq_getset[] = {
    {"endpoints", zmq_endpoints, nullptr,
     "The endpoints as bound or connected (a bound 'tcp://host:*' names the port it got).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kZmqReceiverDoc[] =
    "ZmqReceiver(target, endpoints, *, kind, subscribe=None, bind=False, hwm=-1, on_full=None, "
    "multipart='drop', curve_secret_key=None, curve_clients=None, burst=256)\n--\n\nA native thread that "
    "receives from a ZeroMQ SUB or PULL socket and pushes what libzmq has queued into target as one "
    "burst, without the interpreter lock.";

PyObject* make_zmq_receiver_type(PyObject* module) {
    static PyGetSetDef* getset = receiver_getset_with(zmq_getset);
    if (getset == nullptr) return PyErr_NoMemory();
    return make_receiver_type(module, "orvix.net.ZmqReceiver", zmq_new, getset, kZmqReceiverDoc);
}

int exec_module(PyObject* module) {
    PyObject* type = make_zmq_receiver_type(module);
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
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orvix.net._zmq", "The ZeroMQ receiver behind orvix.net.", 0, nullptr, module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace orvix::net

PyMODINIT_FUNC PyInit__zmq() { return PyModuleDef_Init(&orvix::net::module_def); }
