#include "orvix/utils/corvane/dispatchers/socket_dispatcher_push.hpp"

#include "orvix/ringq/ring_result.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"

namespace orvix::corvane {
namespace {

// Pushes into `_q` with the ring entry `push`, rings the doorbell when
// `wakes(result)` and returns the ring's result. A dispatcher whose fields
// the collector has cleared has no ring: the message is refused as a closed
// ring would refuse it, rather than written through None.
//
// `_q` and `_addr` are written before the object can reach a producer, or
// (the address) before the handle is published; see PublishedHandle.
template <orvix_ring_push_fn OrvixSPSCQueueVTable::*push, bool (*wakes)(int)>
int push_into_ring(PyObject* self, const char* data, std::size_t size) {
    SocketDispatcherHead& head = socket_head(self);
    PyObject* q = head._q;
    if (q == Py_None) return ringq::kClosed;
    const int result = (orvix_spscqueue_vtable(q)->*push)(q, data, size);
    if (wakes(result)) {
        socket_core(self).after_stored_push(
            [&head](net::SocketHandle handle) { send_wakeup_datagram(handle, head._addr); });
    }
    return result;
}

// Any positive result means stored (the ring reports no other one today).
bool stored(int result) { return result >= ringq::kStored; }
bool stored_exactly_one(int result) { return result == ringq::kStored; }

template <auto try_push>
void push_without_result(PyObject* self, const char* data, std::size_t size) {
    try_push(self, data, size);
}

}  // namespace

void send_wakeup_datagram(net::SocketHandle handle, const OrvixSockAddrIn& to) noexcept {
    static constexpr unsigned char kWakeupByte = 1;
    net::send_datagram(handle, &kWakeupByte, 1, to);
}

int try_push_and_wake(PyObject* self, const char* data, std::size_t size) {
    return push_into_ring<&OrvixSPSCQueueVTable::push, stored>(self, data, size);
}

int try_push_var_and_wake_on_one(PyObject* self, const char* data, std::size_t size) {
    return push_into_ring<&OrvixSPSCQueueVTable::push_var, stored_exactly_one>(self, data, size);
}

int try_push_var_and_wake(PyObject* self, const char* data, std::size_t size) {
    return push_into_ring<&OrvixSPSCQueueVTable::push_var, stored>(self, data, size);
}

void push_and_wake(PyObject* self, const char* data, std::size_t size) {
    push_without_result<try_push_and_wake>(self, data, size);
}

void push_var_and_wake_on_one(PyObject* self, const char* data, std::size_t size) {
    push_without_result<try_push_var_and_wake_on_one>(self, data, size);
}

void push_var_and_wake(PyObject* self, const char* data, std::size_t size) {
    push_without_result<try_push_var_and_wake>(self, data, size);
}

}  // namespace orvix::corvane
