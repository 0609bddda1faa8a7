#include "orvix/utils/corvane/dispatchers/reader_socket.hpp"

#include "cpython_support/arguments.hpp"
#include "cpython_support/conversions.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"
#include "orvix/utils/corvane/module/overridable.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {

namespace {

StringConstant kAF_INET{"AF_INET"};
StringConstant kSOCK_DGRAM{"SOCK_DGRAM"};
StringConstant kSocket{"socket"};
StringConstant kSetblocking{"setblocking"};
StringConstant kBind{"bind"};
StringConstant kGetsockname{"getsockname"};
StringConstant kEncode{"encode"};
StringConstant kFileno{"fileno"};
StringConstant kLocalhost{"127.0.0.1"};
StringConstant kSetup{"setup"};
StringConstant kClose{"close"};

using py::Ref;

// `a, b = obj`: a tuple or list directly, anything else by iteration, with
// the interpreter's messages for a wrong count.
int unpack_pair(PyObject* obj, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(obj) || PyList_CheckExact(obj)) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        if (n != 2) {
            if (n > 2)
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
            else
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n,
                             n == 1 ? "" : "s");
            return -1;
        }
        first = Ref::borrow(PySequence_Fast_GET_ITEM(obj, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(obj, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return -1;
    Ref* slots[] = {&first, &second};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i,
                             i == 1 ? "" : "s");
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The text of an `encode()` result, read up to its first NUL.
const char* encoded_text(PyObject* encoded) {
    if (PyBytes_Check(encoded)) return PyBytes_AS_STRING(encoded);
    if (PyByteArray_Check(encoded)) return PyByteArray_AS_STRING(encoded);
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(encoded)->tp_name);
    return nullptr;
}

// _addr from what getsockname() reports: family 2, the port through htons,
// the address text through inet_addr (its result is not checked, as the
// text comes from the system).
int fill_address(OrvixSockAddrIn& addr, PyObject* sockname) {
    Ref host_text, port_obj;
    if (unpack_pair(sockname, host_text, port_obj) < 0) return -1;
    addr.family = 2;  // AF_INET, host byte order
    std::uint16_t port;
    if (py::to_uint16(port_obj.get(), &port) < 0) return -1;
    addr.port = net::port_to_network(port);
    Ref encoded = Ref::steal(PyObject_CallMethodNoArgs(host_text.get(), kEncode.get()));
    if (!encoded) return -1;
    const char* text = encoded_text(encoded.get());
    if (!text) return -1;
    addr.addr = net::ipv4_address(text);
    return 0;
}

}  // namespace

// ---- Setup --------------------------------------------------------------------

PyObject* setup_host(const OrvixSetupOptArgs* opt) noexcept {
    return opt && opt->n >= 1 ? opt->host : kLocalhost.get();
}

bool check_setup_host(PyObject* host) {
    return py::check_argument_type(host, &PyUnicode_Type, "host", /*none_allowed=*/true, /*exact=*/true);
}

PyObject* import_module(PyObject* name) {
    if (PyObject* loaded = PyImport_GetModule(name)) return loaded;
    if (PyErr_Occurred()) return nullptr;
    return PyImport_Import(name);
}

void run_setup_entry(PyObject* self, int skip_override, const OrvixSetupOptArgs* opt, PyTypeObject* owner,
                     const py::FunctionSpec& method, SetupImpl setup) {
    PyObject* host = setup_host(opt);
    run_overridable(self, skip_override, owner, kSetup.get(), method, {host}, [&] { return setup(self, host); });
}

int close_socket(PyObject* sock, bool torn_down) {
    if (torn_down) {
        Ref native = Ref::steal(PyImport_ImportModule("_socket"));
        Ref type = native ? Ref::steal(PyObject_GetAttrString(native.get(), "socket")) : Ref();
        if (!type) return -1;
        if (PyObject_TypeCheck(sock, reinterpret_cast<PyTypeObject*>(type.get())))
            return Ref::steal(PyObject_CallMethod(type.get(), "close", "O", sock)) ? 0 : -1;
    }
    return Ref::steal(PyObject_CallMethodNoArgs(sock, kClose.get())) ? 0 : -1;
}

void close_socket_quietly(PyObject* sock) noexcept {
    if (sock == Py_None) return;
    PyObject* pending = PyErr_GetRaisedException();
    // Closing a closed socket does nothing; at interpreter exit the import
    // may fail, and then the process's end closes the descriptor.
    if (close_socket(sock, /*torn_down=*/true) < 0) PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

int refuse_second_setup(PyObject* self) {
    if (!socket_tail(self).socket_opened) return 0;
    PyErr_SetString(PyExc_RuntimeError, "setup() was already called on this dispatcher");
    return -1;
}

PyObject* open_reader_socket(PyObject* self, PyObject** socket_field, PyObject* socket_module, PyObject* host,
                             bool blocking) {
    Ref family = Ref::steal(PyObject_GetAttr(socket_module, kAF_INET.get()));
    if (!family) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttr(socket_module, kSOCK_DGRAM.get()));
    if (!kind) return nullptr;
    Ref socket_type = Ref::steal(PyObject_GetAttr(socket_module, kSocket.get()));
    if (!socket_type) return nullptr;
    Ref sock = Ref::steal(PyObject_CallFunctionObjArgs(socket_type.get(), family.get(), kind.get(), nullptr));
    if (!sock) return nullptr;
    // Until the field holds it, a failure closes the socket (a bind that
    // refuses the host, say) rather than leave it open to the collector.
    auto fail = [&]() -> PyObject* {
        close_socket_quietly(sock.get());
        return nullptr;
    };
    Ref done = Ref::steal(PyObject_CallMethodOneArg(sock.get(), kSetblocking.get(), blocking ? Py_True : Py_False));
    if (!done) return fail();
    Ref where = Ref::steal(Py_BuildValue("(Oi)", host, 0));
    if (!where) return fail();
    done = Ref::steal(PyObject_CallMethodOneArg(sock.get(), kBind.get(), where.get()));
    if (!done) return fail();
    py::replace_field(*socket_field, sock.new_ref());
    socket_tail(self).socket_opened = true;
    socket_tail(self).opened_in = ForkGeneration::current();

    Ref sockname = Ref::steal(PyObject_CallMethodNoArgs(sock.get(), kGetsockname.get()));
    if (!sockname || fill_address(socket_head(self)._addr, sockname.get()) < 0) return nullptr;

    Ref fileno = Ref::steal(PyObject_CallMethodNoArgs(sock.get(), kFileno.get()));
    if (!fileno) return nullptr;
    net::SocketHandle handle;
    if (py::to_platform_socket(fileno.get(), &handle) < 0) return nullptr;
    // `_addr`, filled above, comes with the handle (see PublishedHandle).
    socket_core(self).wake_handle.publish(handle);
    return sock.release();
}

}  // namespace orvix::corvane
