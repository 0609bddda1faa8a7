// SyncDispatcher: native producers push into the ring and send the wake-up
// datagram; a threading.Thread sleeps in a blocking receive with the
// interpreter lock released and hands each message to the callback.
#pragma once

#include <Python.h>

#include <cstddef>

#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"

namespace orvix::corvane {

struct SyncDispatcherPrivate {
    // close() asked the reader to leave its loop once it has delivered the
    // `left_after_stop` messages the ring held at that moment (or found the
    // ring empty), so a producer that keeps pushing cannot keep it alive.
    // Written by close() and read by the reader, both holding the
    // interpreter lock, which orders them.
    bool stop_requested;
    std::size_t left_after_stop;
};

using SyncDispatcherObject = SocketDispatcherObject<OrvixSyncDispatcher, SyncDispatcherPrivate>;

inline SyncDispatcherObject& sync_dispatcher(PyObject* self) noexcept {
    return *reinterpret_cast<SyncDispatcherObject*>(self);
}

extern PyTypeObject SyncDispatcherType;

}  // namespace orvix::corvane
