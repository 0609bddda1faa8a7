// SocketDispatcherCore: the Python-free engine of AsyncDispatcher and
// SyncDispatcher. Both carry messages from one native producer thread
// through the ring to a reader that sleeps on a datagram socket; this is
// everything of that which touches no Python object.
//
//   producer:  push into the ring; when stored, after_stored_push(send):
//              the doorbell decides whether the reader sleeps, the published
//              handle whether there is a socket to send through; a send
//              that fails is retried, counted, and leaves the doorbell armed.
//   reader:    DoorbellReader{core.doorbell}.after_poll(found) after each
//              poll (reader_step.hpp), waiting on core.wake_handle.current().
//   close:     core.wake_handle.retire() before the socket may be closed.
//
// What the producer alone writes and what describes the reader's life
// belongs here too, beside the doorbell, so that the glue stays glue.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "orvix/utils/corvane/dispatchers/doorbell.hpp"
#include "orvix/utils/corvane/dispatchers/published_handle.hpp"
#include "orvix/utils/corvane/dispatchers/reader_step.hpp"

namespace orvix::corvane {

struct SocketDispatcherCore {
    // `handle_field` is the public record's socket field (see PublishedHandle).
    explicit SocketDispatcherCore(PublishedHandle::Value& handle_field) noexcept : wake_handle(handle_field) {}

    // Sends of one wake-up before the producer gives up on it for this push.
    // A one-byte datagram to the host itself fails only for want of buffer
    // memory (ENOBUFS) or send-buffer room, which passes at once in
    // practice; each attempt yields to let it pass.
    static constexpr int kWakeupAttempts = 4;

    // Producer, after a push the ring stored: wakes the reader when it
    // sleeps and a handle is published, through `send(handle)`, which
    // returns whether the wake-up left. No lock, any thread (one at a time).
    //
    // The doorbell was disarmed by ring(), so a wake-up that is not sent
    // would leave the reader asleep with this message in the ring, and no
    // later push would wake it either. So a failed send is tried again, and
    // if every attempt fails the doorbell is armed again: the next stored
    // push tries once more (a close() needs no wake-up at all).
    template <class Send>
    void after_stored_push(Send&& send) noexcept {
        if (!doorbell.ring()) return;
        wake_handle.use([&](PublishedHandle::Value handle) {
            for (int attempt = 0; attempt < kWakeupAttempts; ++attempt) {
                if (send(handle)) return;
                // Relaxed: a counter read alone, by stats().
                wakeups_failed.fetch_add(1, std::memory_order_relaxed);
                std::this_thread::yield();
            }
            doorbell.rearm();
        });
    }

    Doorbell doorbell;
    PublishedHandle wake_handle;
    // Wake-up sends that failed so far (each attempt counted); written by
    // the producer above, read (relaxed) by stats().
    std::atomic<std::uint64_t> wakeups_failed{0};
};

}  // namespace orvix::corvane
