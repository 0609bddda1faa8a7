#include "orvix/utils/corvane/dispatchers/wakeup.hpp"

#include <thread>

#include "cpython_support/arguments.hpp"
#include "cpython_support/conversions.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {

namespace {

// The fields both classes share, at the offsets both records give them.
struct SocketDispatcherHead {
    PyObject_HEAD
    const void* vtab;
    PyObject* _q;
    ORVIX_PLATFORM_SOCKET _sock_fd;
    OrvixSockAddrIn _addr;
};

#define ORVIX_SAME_FIELD(field)                                                   \
    static_assert(offsetof(SocketDispatcherHead, field) == offsetof(OrvixAsyncDispatcher, field) && \
                  offsetof(SocketDispatcherHead, field) == offsetof(OrvixSyncDispatcher, field), \
                  "AsyncDispatcher and SyncDispatcher must keep " #field " in one place")
ORVIX_SAME_FIELD(_q);
ORVIX_SAME_FIELD(_sock_fd);
ORVIX_SAME_FIELD(_addr);
#undef ORVIX_SAME_FIELD

static_assert(std::atomic_ref<ORVIX_PLATFORM_SOCKET>::required_alignment <=
                  alignof(ORVIX_PLATFORM_SOCKET),
              "_sock_fd is accessed atomically in place");

using AsyncLayout = SocketDispatcherObject<OrvixAsyncDispatcher, char>;
using SyncLayout = SocketDispatcherObject<OrvixSyncDispatcher, char>;
inline constexpr std::size_t kWakeupTailOffset = offsetof(AsyncLayout, wakeup);
static_assert(kWakeupTailOffset == offsetof(SyncLayout, wakeup),
              "the wake-up tail must sit at one offset in both classes");

SocketDispatcherHead* head(PyObject* self) noexcept {
    return reinterpret_cast<SocketDispatcherHead*>(self);
}

WakeupTail& tail(PyObject* self) noexcept {
    return *reinterpret_cast<WakeupTail*>(reinterpret_cast<char*>(self) + kWakeupTailOffset);
}

std::atomic_ref<ORVIX_PLATFORM_SOCKET> sock_fd(PyObject* self) noexcept {
    return std::atomic_ref<ORVIX_PLATFORM_SOCKET>(head(self)->_sock_fd);
}

StringConstant kAF_INET{"AF_INET"};
StringConstant kSOCK_DGRAM{"SOCK_DGRAM"};
StringConstant kSocket{"socket"};
StringConstant kSetblocking{"setblocking"};
StringConstant kBind{"bind"};
StringConstant kGetsockname{"getsockname"};
StringConstant kEncode{"encode"};
StringConstant kFileno{"fileno"};
StringConstant kLocalhost{"127.0.0.1"};

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

// ---- Producer side ------------------------------------------------------------

// Pushes into `_q` with the ring entry `push` and wakes the reader when
// `wakes(result)`. A dispatcher whose fields the collector has cleared has
// no ring: the message is dropped rather than written through None.
template <orvix_ring_push_fn OrvixSPSCQueueVTable::*push, bool (*wakes)(int)>
void push_into_ring(PyObject* self, const char* data, std::size_t size) {
    PyObject* q = head(self)->_q;
    if (q == Py_None) return;
    if (wakes((orvix_spscqueue_vtable(q)->*push)(q, data, size))) wake_reader(self);
}

bool stored(int result) { return result > 0; }
bool stored_exactly_one(int result) { return result == 1; }

}  // namespace

// The doorbell is a Dekker pair over two locations: the ring's write index
// (the producer's push stores it, the reader's poll loads it) and
// `reader_waiting` (the reader stores 1, the producer loads it).
//
//   reader:   reader_waiting = 1;  fence(seq_cst);  poll the ring
//   producer: push into the ring;  fence(seq_cst);  load reader_waiting
//
// The two seq_cst fences are ordered one way or the other. If the reader's
// comes first, the producer's load sees 1 and it sends; if the producer's
// comes first, the reader's poll sees the message and it does not wait. So
// a reader never sleeps on a message it has not seen. The exchange below
// lets exactly one push per sleep send.

void wake_reader(PyObject* self) noexcept {
    WakeupTail& t = tail(self);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    // Acquire: reading the reader's 1 (a release store) makes what preceded
    // its arming visible here, setup's `_sock_fd` and `_addr` included.
    if (t.reader_waiting.load(std::memory_order_acquire) == 0) return;
    if (t.reader_waiting.exchange(0, std::memory_order_acquire) == 0) return;   // the reader disarmed

    // A second Dekker handshake, with retire_wakeup_socket. Both sides use
    // seq_cst, so in the single total order either
    //   - our increment comes before retire's exchange: retire's later load
    //     of the counter sees it and waits for our decrement, so the handle
    //     is still open for the whole send; or
    //   - retire's exchange comes before our load: we read the invalid
    //     handle and send nothing.
    // The load also acquires setup's release store of the handle, so a
    // valid handle comes with a completely filled `_addr`.
    t.sends_in_flight.fetch_add(1, std::memory_order_seq_cst);
    const net::SocketHandle handle = sock_fd(self).load(std::memory_order_seq_cst);
    if (handle != net::kNoSocket) send_wakeup_datagram(handle, head(self)->_addr);
    // Release: the send is over before retire may see the count drop.
    t.sends_in_flight.fetch_sub(1, std::memory_order_release);
}

void send_wakeup_datagram(net::SocketHandle handle, const OrvixSockAddrIn& to) noexcept {
    static constexpr unsigned char kWakeupByte = 1;
    // Its result is not looked at: a lost datagram is not retried.
    net::send_datagram(handle, &kWakeupByte, 1, to);
}

void push_and_wake(PyObject* self, const char* data, std::size_t size) {
    push_into_ring<&OrvixSPSCQueueVTable::push, stored>(self, data, size);
}

void push_var_and_wake_on_one(PyObject* self, const char* data, std::size_t size) {
    push_into_ring<&OrvixSPSCQueueVTable::push_var, stored_exactly_one>(self, data, size);
}

void push_var_and_wake(PyObject* self, const char* data, std::size_t size) {
    push_into_ring<&OrvixSPSCQueueVTable::push_var, stored>(self, data, size);
}

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

int refuse_second_setup(PyObject* self) {
    if (!tail(self).socket_opened) return 0;
    PyErr_SetString(PyExc_RuntimeError, "setup() was already called on this dispatcher");
    return -1;
}

PyObject* open_wakeup_socket(PyObject* self, PyObject** socket_field, PyObject* socket_module,
                             PyObject* host, bool blocking) {
    Ref family = Ref::steal(PyObject_GetAttr(socket_module, kAF_INET.get()));
    if (!family) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttr(socket_module, kSOCK_DGRAM.get()));
    if (!kind) return nullptr;
    Ref socket_type = Ref::steal(PyObject_GetAttr(socket_module, kSocket.get()));
    if (!socket_type) return nullptr;
    Ref sock = Ref::steal(PyObject_CallFunctionObjArgs(socket_type.get(), family.get(), kind.get(), nullptr));
    if (!sock) return nullptr;
    Ref done = Ref::steal(PyObject_CallMethodOneArg(sock.get(), kSetblocking.get(), blocking ? Py_True : Py_False));
    if (!done) return nullptr;
    Ref where = Ref::steal(Py_BuildValue("(Oi)", host, 0));
    if (!where) return nullptr;
    done = Ref::steal(PyObject_CallMethodOneArg(sock.get(), kBind.get(), where.get()));
    if (!done) return nullptr;
    py::replace_field(*socket_field, sock.new_ref());
    tail(self).socket_opened = true;

    Ref sockname = Ref::steal(PyObject_CallMethodNoArgs(sock.get(), kGetsockname.get()));
    if (!sockname || fill_address(head(self)->_addr, sockname.get()) < 0) return nullptr;

    Ref fileno = Ref::steal(PyObject_CallMethodNoArgs(sock.get(), kFileno.get()));
    if (!fileno) return nullptr;
    net::SocketHandle handle;
    if (py::to_platform_socket(fileno.get(), &handle) < 0) return nullptr;
    // Release: `_addr`, filled above, is complete for any producer whose
    // load of `_sock_fd` sees this handle (wake_reader's seq_cst load
    // includes acquire).
    sock_fd(self).store(handle, std::memory_order_release);
    return sock.release();
}

// ---- Consumer side and close ----------------------------------------------------

PyObject* pop_message(PyObject* self, RingPop pop, const char* traceback_name) {
    PyObject* q = head(self)->_q;
    // A dispatcher cleared by the collector has no ring left to read.
    if (q == Py_None) Py_RETURN_NONE;
    const char* data;
    std::size_t size;
    if ((orvix_spscqueue_vtable(q)->*pop)(q, &data, &size) != 1) Py_RETURN_NONE;
    PyObject* msg = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
    if (!msg) py::add_traceback(traceback_name, 1);
    return msg;
}

net::SocketHandle wakeup_handle(PyObject* self) noexcept {
    // Same pairing as wake_reader's load; the reader runs under the
    // interpreter lock, which setup held too, so acquire is plenty.
    return sock_fd(self).load(std::memory_order_acquire);
}

void arm_wakeup(PyObject* self) noexcept {
    // Release: pairs with the producer's acquire load (see wake_reader).
    // The fence orders this store before the poll that follows.
    tail(self).reader_waiting.store(1, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void disarm_wakeup(PyObject* self) noexcept {
    // Relaxed: only saves producers a needless send; a send that happens
    // anyway costs one empty pass.
    tail(self).reader_waiting.store(0, std::memory_order_relaxed);
}

bool wakeup_retired(PyObject* self) noexcept {
    return tail(self).socket_opened && wakeup_handle(self) == net::kNoSocket;
}

net::SocketHandle retire_wakeup_socket(PyObject* self) noexcept {
    // seq_cst: the other half of wake_reader's handshake (see there).
    const net::SocketHandle old = sock_fd(self).exchange(net::kNoSocket, std::memory_order_seq_cst);
    // A producer inside its send finishes one non-blocking sendto; waiting
    // for it with the interpreter lock held is bounded and short.
    while (tail(self).sends_in_flight.load(std::memory_order_seq_cst) != 0)
        std::this_thread::yield();
    return old;
}

}  // namespace orvix::corvane
