// The producer entries of AsyncDispatcher and SyncDispatcher: push into `_q`
// and, when the ring stored the message, wake the reader (no Python object
// touched, no interpreter lock; one producer thread at a time).
//
//   push_and_wake        SPSCQueue.push      (fixed-size messages)
//   push_var_and_wake    SPSCQueue.push_var  (variable-size records)
//
// Each returns the ring's result and is the record's `try_push_fn`; the
// table's `push` / `push_var` entries, which return nothing, are the same
// functions through without_result.
#pragma once

#include <Python.h>

#include <cstddef>

#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/platform_socket.hpp"

namespace orvix::corvane {

int push_and_wake(PyObject* self, const char* data, std::size_t size);
int push_var_and_wake(PyObject* self, const char* data, std::size_t size);

// A burst into `_q` (fixed-size, or variable-size records), one wake-up for
// the lot: the table's push_burst entry of both classes.
std::size_t push_burst_and_wake(PyObject* self, const OrvixRingMessage* messages, std::size_t n, int* results,
                                bool variable);

// Wakes the reader if it sleeps, as a push that stored a message does (for
// a thread that rings on behalf of a producer elsewhere).
void wake_reader_after_push(PyObject* self) noexcept;

// A push entry as the table's entries have it, without the result.
template <orvix_try_push_fn push>
void without_result(PyObject* self, const char* data, std::size_t size) {
    push(self, data, size);
}

// The wake-up datagram: one byte, value 1, through `handle` to `to`. False
// when the send failed.
bool send_wakeup_datagram(net::SocketHandle handle, const OrvixSockAddrIn& to) noexcept;

}  // namespace orvix::corvane
