// SocketDispatcherCore: the Python-free engine of AsyncDispatcher and
// SyncDispatcher. Both carry messages from one native producer thread
// through the ring to a reader that sleeps on a datagram socket; this is
// everything of that which touches no Python object.
//
//   producer:  push into the ring; when stored, after_stored_push(send):
//              the doorbell decides whether the reader sleeps, the published
//              handle whether there is a socket to send through.
//   reader:    DoorbellReader{core.doorbell}.after_poll(found) after each
//              poll (reader_step.hpp), waiting on core.wake_handle.current().
//   close:     core.wake_handle.retire() before the socket may be closed.
//
// What the producer alone writes and what describes the reader's life
// belongs here too, beside the doorbell, so that the glue stays glue.
#pragma once

#include "orvix/utils/corvane/dispatchers/doorbell.hpp"
#include "orvix/utils/corvane/dispatchers/published_handle.hpp"
#include "orvix/utils/corvane/dispatchers/reader_step.hpp"

namespace orvix::corvane {

struct SocketDispatcherCore {
    // `handle_field` is the public record's socket field (see PublishedHandle).
    explicit SocketDispatcherCore(PublishedHandle::Value& handle_field) noexcept : wake_handle(handle_field) {}

    // Producer, after a push the ring stored: `send(handle)` wakes the reader
    // when it sleeps and a handle is published. No lock, any thread (one at
    // a time).
    template <class Send>
    void after_stored_push(Send&& send) noexcept {
        if (doorbell.ring()) wake_handle.use(send);
    }

    Doorbell doorbell;
    PublishedHandle wake_handle;
};

}  // namespace orvix::corvane
