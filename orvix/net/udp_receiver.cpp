// orvix.net.UdpReceiver: argument parsing and the UDP-only attributes; the
// rest of the type is every receiver's (receiver_object.hpp).
#include "orvix/net/net_types.hpp"

#include <arpa/inet.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "orvix/net/receiver_object.hpp"
#include "orvix/net/udp_source.hpp"

namespace orvix::net {

namespace {

constexpr Py_ssize_t kMaxBurst = 1024;  // recvmmsg's UIO_MAXIOV

// OSError(error, message), as the socket module raises it: the subclass
// the errno maps to. Steals `message`.
void raise_os_error(int error, PyObject* message) {
    PyObject* exception = PyObject_CallFunction(PyExc_OSError, "iN", error, message);
    if (exception == nullptr) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
    Py_DECREF(exception);
}

// A numeric IPv4 or IPv6 address ("" is IPv4's any address) into `out`
// with `port`. -1 with ValueError naming `what`.
int parse_host(PyObject* host_obj, unsigned port, const char* what, sockaddr_storage& out, socklen_t* length) {
    if (!PyUnicode_Check(host_obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be a str, not %.200s", what, Py_TYPE(host_obj)->tp_name);
        return -1;
    }
    const char* host = PyUnicode_AsUTF8(host_obj);
    if (host == nullptr) return -1;
    out = {};
    auto& v4 = reinterpret_cast<sockaddr_in&>(out);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(out);
    if (*host == '\0' || inet_pton(AF_INET, host, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        if (length) *length = sizeof v4;
        return 0;
    }
    if (inet_pton(AF_INET6, host, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        if (length) *length = sizeof v6;
        return 0;
    }
    PyErr_Format(PyExc_ValueError, "%s must be a numeric IPv4 or IPv6 address, got %R", what, host_obj);
    return -1;
}

// (host, port) or, for IPv6, (host, port, flowinfo, scope_id) as the socket module takes them.
int parse_address(PyObject* address, UdpConfig& config) {
    PyObject *host, *port_obj;
    unsigned flowinfo = 0, scope_id = 0;
    if (!PyTuple_Check(address) || !PyArg_ParseTuple(address, "OO|II:address", &host, &port_obj, &flowinfo, &scope_id)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "address must be a (host, port) tuple, got %R", address);
        return -1;
    }
    const long port = PyLong_Check(port_obj) ? PyLong_AsLong(port_obj) : -2;
    if (port == -1 && PyErr_Occurred()) PyErr_Clear();
    if (port < 0 || port > 65535) {
        PyErr_Format(PyExc_ValueError, "port must be an int from 0 to 65535, got %R", port_obj);
        return -1;
    }
    if (parse_host(host, static_cast<unsigned>(port), "the host", config.bind, &config.bind_length) < 0) return -1;
    if (config.bind.ss_family == AF_INET6) {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(config.bind);
        v6.sin6_flowinfo = htonl(flowinfo);
        v6.sin6_scope_id = scope_id;
    } else if (PyTuple_GET_SIZE(address) > 2) {
        PyErr_SetString(PyExc_ValueError, "an IPv4 address is (host, port): flowinfo and scope_id are IPv6's");
        return -1;
    }
    return 0;
}

bool is_multicast(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET)
        return IN_MULTICAST(ntohl(reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr));
    return IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr);
}

const char* family_name(const sockaddr_storage& a) { return a.ss_family == AF_INET6 ? "IPv6" : "IPv4"; }

int parse_multicast(PyObject* group, PyObject* source, PyObject* interface, UdpConfig& config) {
    if (group == Py_None) {
        if (source != Py_None || interface != Py_None) {
            PyErr_SetString(PyExc_ValueError, "source and interface need a multicast group");
            return -1;
        }
        return 0;
    }
    config.has_group = true;
    if (parse_host(group, 0, "group", config.group, nullptr) < 0) return -1;
    if (!is_multicast(config.group)) {
        PyErr_Format(PyExc_ValueError, "group must be a multicast address, got %R", group);
        return -1;
    }
    if (config.group.ss_family != config.bind.ss_family) {
        PyErr_Format(PyExc_ValueError, "group %R is %s but the address is %s: a socket joins groups of its own family",
                     group, family_name(config.group), family_name(config.bind));
        return -1;
    }
    if (source != Py_None) {
        config.has_source = true;
        if (parse_host(source, 0, "source", config.source, nullptr) < 0) return -1;
        if (config.source.ss_family != config.group.ss_family || is_multicast(config.source)) {
            PyErr_Format(PyExc_ValueError, "source must be a unicast %s address, got %R", family_name(config.group),
                         source);
            return -1;
        }
    }
    if (interface != Py_None) {
        if (!PyUnicode_Check(interface)) {
            PyErr_Format(PyExc_TypeError, "interface must be a str (a name such as 'eth0'), not %.200s",
                         Py_TYPE(interface)->tp_name);
            return -1;
        }
        const char* name = PyUnicode_AsUTF8(interface);
        if (name == nullptr) return -1;
        config.interface_index = std::strlen(name) < IF_NAMESIZE ? if_nametoindex(name) : 0;
        if (config.interface_index == 0) {
            PyObject* message = PyUnicode_FromFormat("no network interface named %R", interface);
            if (message != nullptr) raise_os_error(ENODEV, message);
            return -1;
        }
    }
    return 0;
}

int parse_allow(PyObject* allow, UdpConfig& config) {
    if (allow == Py_None) return 0;
    if (PyUnicode_Check(allow)) {
        PyErr_SetString(PyExc_TypeError, "allow must be an iterable of addresses, not a str");
        return -1;
    }
    PyObject* iterator = PyObject_GetIter(allow);
    if (iterator == nullptr) return -1;
    int result = 0;
    while (PyObject* item = PyIter_Next(iterator)) {
        sockaddr_storage address;
        result = parse_host(item, 0, "an allowed source", address, nullptr);
        Py_DECREF(item);
        if (result < 0) break;
        config.allow.push_back(UdpSource::address16(address));
    }
    Py_DECREF(iterator);
    if (result == 0 && PyErr_Occurred()) result = -1;
    if (result == 0 && config.allow.empty()) {
        PyErr_SetString(PyExc_ValueError, "allow is empty, so nothing would ever be received: give None to allow all");
        result = -1;
    }
    return result;
}

PyObject* format_address(const sockaddr_storage& a) {
    char text[INET6_ADDRSTRLEN];
    if (a.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(a);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        return Py_BuildValue("(sHII)", text, ntohs(v6.sin6_port), ntohl(v6.sin6_flowinfo), v6.sin6_scope_id);
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(a);
    inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    return Py_BuildValue("(sH)", text, ntohs(v4.sin_port));
}

UdpSource& udp_source(PyObject* self) { return static_cast<UdpSource&>(as_receiver(self)->thread->source()); }

PyObject* udp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"target", "address", "group", "source", "interface", "on_full", "burst",
                                     "metadata", "allow", "receive_buffer", "reuse_port", nullptr};
    PyObject *target, *address, *group = Py_None, *source = Py_None, *interface = Py_None, *allow = Py_None;
    const char* on_full_text = "wait";
    Py_ssize_t burst = 64, receive_buffer = 0;
    int metadata = 0, reuse_port = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$OOOsnpOnp:UdpReceiver", const_cast<char**>(keywords), &target,
                                     &address, &group, &source, &interface, &on_full_text, &burst, &metadata, &allow,
                                     &receive_buffer, &reuse_port))
        return nullptr;
    UdpConfig config;
    OnFull on_full;
    if (parse_on_full(on_full_text, on_full) < 0 || parse_address(address, config) < 0 ||
        parse_multicast(group, source, interface, config) < 0 || parse_allow(allow, config) < 0)
        return nullptr;
    if (burst < 1 || burst > kMaxBurst) {
        PyErr_Format(PyExc_ValueError, "burst must be from 1 to %zd, got %zd", kMaxBurst, burst);
        return nullptr;
    }
    if (receive_buffer < 0 || receive_buffer > INT32_MAX / 2) {
        PyErr_Format(PyExc_ValueError, "receive_buffer must be from 0 (the system's default) to %d bytes, got %zd",
                     INT32_MAX / 2, receive_buffer);
        return nullptr;
    }
    config.burst = static_cast<std::size_t>(burst);
    config.receive_buffer = static_cast<int>(receive_buffer);
    config.metadata = metadata != 0;
    config.reuse_port = reuse_port != 0;

    std::unique_ptr<UdpSource> udp;
    try {
        udp = std::make_unique<UdpSource>(config);
    } catch (const SocketError& e) {
        PyObject* message = PyUnicode_FromFormat("%s: %s", e.doing.c_str(), std::strerror(e.error));
        if (message != nullptr) raise_os_error(e.error, message);
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    // The kernel keeps twice what it is asked for (half is its bookkeeping) and caps it at net.core.rmem_max.
    if (config.receive_buffer > 0 && udp->receive_buffer_size() / 2 < config.receive_buffer &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                         "the kernel capped the receive buffer at %d bytes (%d of payload) of the %d asked for; "
                         "raise net.core.rmem_max to allow more",
                         udp->receive_buffer_size(), udp->receive_buffer_size() / 2, config.receive_buffer) < 0)
        return nullptr;

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    if (receiver_init(self, target, std::move(udp), on_full) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

PyObject* udp_address(PyObject* self, void*) { return format_address(udp_source(self).local_address()); }
PyObject* udp_receive_buffer_size(PyObject* self, void*) { return PyLong_FromLong(udp_source(self).receive_buffer_size()); }
PyObject* udp_metadata(PyObject* self, void*) { return PyBool_FromLong(udp_source(self).metadata()); }

PyGetSetDef udp_getset[] = {
    {"address", udp_address, nullptr, "The local address the socket is bound to (the port the system chose for 0).",
     nullptr},
    {"receive_buffer_size", udp_receive_buffer_size, nullptr,
     "The socket's receive buffer as the kernel reports it (SO_RCVBUF: about twice the payload it holds).", nullptr},
    {"metadata", udp_metadata, nullptr, "Whether each message starts with the METADATA_SIZE-byte prefix.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* make_udp_receiver_type(PyObject* module) {
    static PyGetSetDef* getset = receiver_getset_with(udp_getset);
    if (getset == nullptr) return PyErr_NoMemory();
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(udp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(receiver_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(receiver_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(receiver_clear)},
        {Py_tp_methods, receiver_methods},
        {Py_tp_getset, getset},
        {Py_tp_doc, const_cast<char*>(
             "UdpReceiver(target, address, *, group=None, source=None, interface=None, on_full='wait', burst=64, "
             "metadata=False, allow=None, receive_buffer=0, reuse_port=False)\n--\n\n"
             "A native thread that receives UDP datagrams with recvmmsg and pushes each vector of them into "
             "target as one burst, without the interpreter lock.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"orvix.net.UdpReceiver", sizeof(ReceiverObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots};
    return PyType_FromModuleAndSpec(module, &spec, nullptr);
}

}  // namespace orvix::net
