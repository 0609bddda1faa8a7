// SharedRingBridge: wakes an AsyncBatchDispatcher's reader for a producer in
// another process, which cannot send the dispatcher's wake-up datagram itself
// at the right moment (it does not see the doorbell).
//
// A native thread of the consumer's process stands in for that producer. It
// sleeps on the doorbell until the reader arms it (the reader is about to
// sleep on its socket), then on the shared ring until a message is there (the
// producer's notify push wakes it through the futex in the mapping), then
// rings the doorbell as a push would: the datagram goes out only if the
// reader still sleeps. So the producer still makes a system call only when
// the consumer sleeps, and the reader sleeps on its socket as always. Both
// sleeps are bounded, so the thread notices stop() without a wake-up.
#pragma once

#include <Python.h>

#include <atomic>
#include <thread>

#include <sys/types.h>

namespace orvix::batch {

class SharedRingBridge {
public:
    // Starts the thread for `dispatcher` (an AsyncBatchDispatcher whose `_q`
    // is a SharedRing). Null when no thread could be started.
    static SharedRingBridge* start(PyObject* dispatcher) noexcept;

    // Stops and joins the thread, and frees the bridge. In a forked child,
    // where the thread does not exist, it only lets go of the object.
    static void stop(SharedRingBridge* bridge) noexcept;

private:
    explicit SharedRingBridge(PyObject* dispatcher) noexcept;
    void run() noexcept;

    PyObject* dispatcher_;   // borrowed: the dispatcher stops us before it goes
    std::atomic<bool> stopping_{false};
    pid_t owner_;
    std::thread thread_;
};

}  // namespace orvix::batch
