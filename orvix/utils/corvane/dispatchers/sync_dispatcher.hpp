// SyncDispatcher: native producers push into the ring and send the wake-up
// datagram; a threading.Thread sleeps in a blocking receive with the
// interpreter lock released and hands each message to the callback.
#pragma once

#include <Python.h>

#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"

namespace orvix::corvane {

// Everything the reader and close() share is in the socket dispatchers'
// common tail (socket_dispatcher_object.hpp).
struct SyncDispatcherPrivate {};

using SyncDispatcherObject = SocketDispatcherObject<OrvixSyncDispatcher, SyncDispatcherPrivate>;

inline SyncDispatcherObject& sync_dispatcher(PyObject* self) noexcept {
    return *reinterpret_cast<SyncDispatcherObject*>(self);
}

extern PyTypeObject SyncDispatcherType;

}  // namespace orvix::corvane
