// The producer entries of AsyncDispatcher and SyncDispatcher: push into `_q`
// and, when the ring stored the message, ring the doorbell (no Python object
// touched, no interpreter lock; one producer thread at a time).
//
//   push_and_wake            SPSCQueue.push, stored (both classes' `push`)
//   push_var_and_wake_on_one SPSCQueue.push_var, result exactly 1 (AsyncDispatcher)
//   push_var_and_wake        SPSCQueue.push_var, stored (SyncDispatcher)
//
// Each has a try_ twin that returns the ring's result, for `try_push_fn`.
#pragma once

#include <Python.h>

#include <cstddef>

#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/platform_socket.hpp"

namespace orvix::corvane {

void push_and_wake(PyObject* self, const char* data, std::size_t size);
void push_var_and_wake_on_one(PyObject* self, const char* data, std::size_t size);
void push_var_and_wake(PyObject* self, const char* data, std::size_t size);
int try_push_and_wake(PyObject* self, const char* data, std::size_t size);
int try_push_var_and_wake_on_one(PyObject* self, const char* data, std::size_t size);
int try_push_var_and_wake(PyObject* self, const char* data, std::size_t size);

// The wake-up datagram: one byte, value 1, through `handle` to `to`; its
// result is not looked at (a lost datagram is not retried).
void send_wakeup_datagram(net::SocketHandle handle, const OrvixSockAddrIn& to) noexcept;

}  // namespace orvix::corvane
