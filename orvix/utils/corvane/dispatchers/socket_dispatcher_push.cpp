#include "orvix/utils/corvane/dispatchers/socket_dispatcher_push.hpp"

#include "orvix/ringq/ring_result.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/dispatchers/burst_refusal.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"

namespace orvix::corvane {
namespace {

// Wakes the reader after pushes of which some may have been stored.
void wake_after_push(PyObject* self) noexcept {
    SocketDispatcherHead& head = socket_head(self);
    socket_core(self).after_stored_push(
        [&head](net::SocketHandle handle) { return send_wakeup_datagram(handle, head._addr); });
}

// Pushes into `_q` with the ring entry `push`, wakes the reader when the
// ring stored the message (the ring's only positive result) and returns the
// ring's result. A dispatcher whose fields the collector has cleared has no
// ring: the message is refused as a closed ring would refuse it, rather
// than written through None.
//
// `_q` and `_addr` are written before the object can reach a producer, or
// (the address) before the handle is published; see PublishedHandle.
template <orvix_ring_push_fn OrvixSPSCQueueVTable::*push>
int push_into_ring(PyObject* self, const char* data, std::size_t size) {
    SocketDispatcherHead& head = socket_head(self);
    PyObject* q = head._q;
    if (q == Py_None) return ringq::kClosed;
    const int result = (orvix_spscqueue_vtable(q)->*push)(q, data, size);
    if (result == ringq::kStored) wake_after_push(self);
    return result;
}

}  // namespace

void wake_reader_after_push(PyObject* self) noexcept { wake_after_push(self); }

bool send_wakeup_datagram(net::SocketHandle handle, const OrvixSockAddrIn& to) noexcept {
    static constexpr unsigned char kWakeupByte = 1;
    return net::send_datagram(handle, &kWakeupByte, 1, to);
}

int push_and_wake(PyObject* self, const char* data, std::size_t size) {
    return push_into_ring<&OrvixSPSCQueueVTable::push>(self, data, size);
}

int push_var_and_wake(PyObject* self, const char* data, std::size_t size) {
    return push_into_ring<&OrvixSPSCQueueVTable::push_var>(self, data, size);
}

std::size_t push_burst_and_wake(PyObject* self, const OrvixRingMessage* messages, std::size_t n, int* results,
                                bool variable) {
    PyObject* q = socket_head(self)._q;
    if (q == Py_None) return refuse_burst_without_ring(n, results);
    const std::size_t dealt =
        orvix_spscqueue_vtable(q)->push_burst(q, messages, n, results, variable ? ORVIX_BURST_VARIABLE : 0);
    // Woken whether or not anything was stored (the results may not be
    // ours to read): a wake-up for nothing costs the reader one empty pass.
    if (dealt > 0) wake_after_push(self);
    return dealt;
}

}  // namespace orvix::corvane
