#include "orvix/batch/shared_ring_bridge.hpp"

#include <new>
#include <system_error>

#include <unistd.h>

#include "orvix/ringq/ring_result.hpp"
#include "orvix/shm/shared_ring_object.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_push.hpp"
#include "orvix/utils/corvane/dispatchers/stats_method.hpp"

namespace orvix::batch {
namespace {

ringq::SpscRing& ring_of(PyObject* dispatcher) noexcept {
    PyObject* q = reinterpret_cast<corvane::RecordWithRing*>(dispatcher)->_q;
    return *reinterpret_cast<shm::SharedRingObject*>(q)->ring;
}

corvane::Doorbell& doorbell_of(PyObject* dispatcher) noexcept { return corvane::socket_core(dispatcher).doorbell; }

}  // namespace

SharedRingBridge::SharedRingBridge(PyObject* dispatcher) noexcept : dispatcher_(dispatcher), owner_(getpid()) {}

SharedRingBridge* SharedRingBridge::start(PyObject* dispatcher) noexcept {
    auto* bridge = new (std::nothrow) SharedRingBridge(dispatcher);
    if (!bridge) return nullptr;
    doorbell_of(dispatcher).set_arm_waiter(true);
    try {
        bridge->thread_ = std::thread([bridge] { bridge->run(); });
    } catch (const std::system_error&) {
        doorbell_of(dispatcher).set_arm_waiter(false);
        delete bridge;
        return nullptr;
    }
    return bridge;
}

void SharedRingBridge::stop(SharedRingBridge* bridge) noexcept {
    if (!bridge) return;
    if (bridge->owner_ != getpid()) {
        bridge->thread_.detach();   // not ours to join: the thread stayed in the parent
        return;                     // the object is left behind with it
    }
    // seq_cst, then the wake-ups: a thread about to sleep in either wait
    // either sees stopping_ or is woken (the ring's wait_ready_for argues
    // it for the ring; release_arm_waiter() for the doorbell, whose word it
    // changes). Both cut its bounded sleeps short.
    bridge->stopping_.store(true, std::memory_order_seq_cst);
    doorbell_of(bridge->dispatcher_).release_arm_waiter();
    ring_of(bridge->dispatcher_).wake_consumer();
    Py_BEGIN_ALLOW_THREADS
    bridge->thread_.join();
    Py_END_ALLOW_THREADS
    doorbell_of(bridge->dispatcher_).set_arm_waiter(false);
    delete bridge;
}

void SharedRingBridge::run() noexcept {
    corvane::Doorbell& doorbell = doorbell_of(dispatcher_);
    ringq::SpscRing& ring = ring_of(dispatcher_);
    // Acquire: pairs with stop().
    while (!stopping_.load(std::memory_order_acquire)) {
        if (!doorbell.armed()) {
            doorbell.wait_until_armed(shm::kLivenessPollMs);
            continue;
        }
        const int r = ring.wait_ready_for(shm::kLivenessPollMs,
                                          [this] { return stopping_.load(std::memory_order_acquire); });
        if (r == ringq::kHandedOut) {
            corvane::wake_reader_after_push(dispatcher_);
        } else if (r == ringq::kClosed) {
            return;   // closed or corrupt: nothing more will come, and stop() only joins
        }
    }
}

}  // namespace orvix::batch
