// Doorbell: how a reader that found the ring empty tells the producer that it
// is about to sleep, so that the producer sends a wake-up only then. No Python
// in it.
//
// One wake-up per sleep. A reader that finds the ring empty arms the doorbell
// and polls once more; only if that poll is empty too does it wait. A producer
// rings after a push the ring stored, and the ring answers "wake the reader"
// only when it finds the doorbell armed, disarming it in the same step: a
// burst of messages costs one wake-up instead of one per message.
//
// The pairing is a Dekker pair over two locations: the ring's write index
// (the producer's push stores it, the reader's poll loads it) and the armed
// flag (the reader stores it, the producer loads it):
//
//   reader:    armed = 1;     heavy_fence();   poll the ring
//   producer:  push;          light_fence();   load armed
//
// This is the ring's own sleep protocol (light producer, heavy sleeper; see
// orvix/ringq/futex.hpp): the producer, which rings on every push, pays a
// compiler fence; the reader, about to sleep anyway, makes every running
// thread of the process execute a full fence. Either the reader's fence comes
// first, and the producer's load sees 1; or the producer's does, and the
// reader's poll sees the message. A reader never sleeps on a message it has
// not seen.
#pragma once

#include <atomic>
#include <cstdint>

#include "orvix/ringq/futex.hpp"

namespace orvix::corvane {

class Doorbell {
public:
    // Both halves of the fence pair are taken in this module, so it decides
    // for itself (before the dispatcher reaches any producer) which fences
    // they are.
    Doorbell() noexcept { ringq::enable_asymmetric_fences(); }
    Doorbell(const Doorbell&) = delete;
    Doorbell& operator=(const Doorbell&) = delete;

    // Producer, after a push the ring stored: true when the reader had armed
    // the doorbell and this call disarmed it, so the caller must wake it.
    // Relaxed: the fence pair orders the load (see above); the flag carries
    // no data (the wake-up handle brings its own acquire). The load first
    // keeps the common case, a reader that is busy, free of a locked
    // instruction; the exchange lets exactly one push per sleep wake.
    [[nodiscard]] bool ring() noexcept {
        ringq::light_fence();
        if (armed_.load(std::memory_order_relaxed) == 0) return false;
        return armed_.exchange(0, std::memory_order_relaxed) != 0;
    }

    // Producer: the wake-up that ring() asked for could not be sent, and the
    // reader still sleeps. Armed again, the doorbell makes the next stored
    // push try once more. Relaxed: only this producer reads the flag next;
    // should the reader wake meanwhile (and arm or not), the worst left is
    // one surplus wake-up.
    void rearm() noexcept { armed_.store(1, std::memory_order_relaxed); }

    // Reader: about to poll a last time before waiting.
    void arm() noexcept {
        // Relaxed store: the heavy fence orders it before the poll.
        armed_.store(1, std::memory_order_relaxed);
        ringq::heavy_fence();
        // Relaxed: set before the reader starts, by the thread that starts it.
        if (arm_waiter_.load(std::memory_order_relaxed)) ringq::wake_word(armed_);
    }

    // A thread of this process rings for a producer that cannot (one in
    // another process): it sleeps on the flag until the reader arms it
    // (wait_until_armed), and arm() wakes it.
    void set_arm_waiter(bool present) noexcept { arm_waiter_.store(present, std::memory_order_relaxed); }
    void wait_until_armed(std::uint32_t timeout_ms) noexcept { ringq::wait_on_word(armed_, 0, false, timeout_ms); }
    // Ends a wait_until_armed() for good (its thread is told to stop). A
    // wake-up alone would be lost when it comes between the waiter's last
    // look at its stop flag and its sleep: the kernel compares the word it
    // sleeps on, so the word changes first. Release: the stop flag stored
    // before is seen by a waiter that sees the doorbell armed. Called while
    // no reader polls (the reader runs under the interpreter lock, as the
    // caller does); armed without a sleeping reader costs at most one
    // surplus wake-up. See tests/model (BRIDGE_STOP).
    void release_arm_waiter() noexcept {
        armed_.store(1, std::memory_order_release);
        ringq::wake_word(armed_);
    }

    // Reader: its last poll found a message after all. Relaxed: it only
    // saves the producer a needless wake-up; one sent anyway costs the reader
    // one pass that finds nothing.
    void disarm() noexcept { armed_.store(0, std::memory_order_relaxed); }

    // Whether the reader armed it (a snapshot, for the thread that rings).
    bool armed() const noexcept { return armed_.load(std::memory_order_relaxed) != 0; }

private:
    ringq::WaitWord armed_{0};
    std::atomic<bool> arm_waiter_{false};
};

}  // namespace orvix::corvane
