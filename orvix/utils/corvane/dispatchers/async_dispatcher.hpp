// AsyncDispatcher: native producers push into the ring and send the wake-up
// datagram; an asyncio task waiting on the dispatcher's socket drains the
// ring and awaits the callback once per message.
#pragma once

#include <Python.h>

#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"

namespace orvix::corvane {

struct AsyncDispatcherPrivate {};

using AsyncDispatcherObject = SocketDispatcherObject<OrvixAsyncDispatcher, AsyncDispatcherPrivate>;

inline AsyncDispatcherObject& async_dispatcher(PyObject* self) noexcept {
    return *reinterpret_cast<AsyncDispatcherObject*>(self);
}

extern PyTypeObject AsyncDispatcherType;

}  // namespace orvix::corvane
