// AsyncDispatcher: native producers push into the ring and send the wake-up
// datagram; an asyncio task waiting on the dispatcher's socket drains the
// ring and awaits the callback once per message.
#pragma once

#include <Python.h>

#include <cstddef>

#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"

namespace orvix::corvane {

struct AsyncDispatcherPrivate {};

using AsyncDispatcherObject = SocketDispatcherObject<OrvixAsyncDispatcher, AsyncDispatcherPrivate>;

inline AsyncDispatcherObject& async_dispatcher(PyObject* self) noexcept {
    return *reinterpret_cast<AsyncDispatcherObject*>(self);
}

extern PyTypeObject AsyncDispatcherType;

// What AsyncBatchDispatcher (orvix.batch), whose object is laid out as this
// class's, shares with it besides the reader loop (async_reader_loop.hpp):
//
// * setup(): the socket, its handle published, the reader task (the
//   object's own `_reader(loop, sock)`);
// * close(): the ring closed, the task cancelled in its loop, the socket
//   closed once no producer can send through it.
using MessagesIn = std::size_t (*)(PyObject* result) noexcept;
int async_dispatcher_setup(PyObject* self, PyObject* host);
int async_dispatcher_close(PyObject* self);

}  // namespace orvix::corvane
