// The wake-up datagram shared by AsyncDispatcher and SyncDispatcher.
//
// Both records keep `_q`, `_sock_fd` and `_addr` in the same places (see the
// static_asserts in wakeup.cpp), so one push entry serves both. A dispatcher
// object of either class is laid out as
//
//     [ public record, padded to kPublicRecordRoom ][ WakeupTail ][ class's own private fields ]
//
// which puts the private tail that the push entry needs at one offset too.
//
// One datagram per sleep. A reader that finds the ring empty arms the
// doorbell (arm_wakeup: it says it is about to wait) and polls once more;
// only if that poll is empty too does it wait for a datagram. A producer
// sends after an accepted push only when it finds the doorbell armed, and
// disarms it in the same step, so a burst of messages costs one send and one
// receive instead of one each per message. The pairing of the two sides is
// argued in wakeup.cpp (wake_reader).
//
// The handle's life:
//   - setup fills `_addr` completely, then publishes the handle with a
//     release store of `_sock_fd` (open_wakeup_socket);
//   - a producer that finds the doorbell armed loads `_sock_fd` and, when it
//     is valid, sends one byte to `_addr`;
//   - retire_wakeup_socket puts the invalid value back and waits until no
//     producer is still inside a send through the old handle, so the caller
//     may close the socket: a late push can neither hit a closed handle nor
//     one that the system has since given to another socket or file.
#pragma once

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/platform_socket.hpp"

namespace orvix::corvane {

// Private state of the wake-up path, the same offset in both classes.
struct WakeupTail {
    // Producers currently between their load of `_sock_fd` and the end of
    // their send. Only ever 0 or 1 (one producer at a time), but a counter
    // keeps the protocol obvious.
    std::atomic<std::uint32_t> sends_in_flight{0};
    // 1 while the reader is (about to be) waiting for a datagram: armed by
    // the reader, taken back to 0 by the producer that sends, or by the
    // reader when its last poll found a message after all.
    std::atomic<std::uint32_t> reader_waiting{0};
    // Set once setup() has stored a socket in `_socket`; a dispatcher is set
    // up once (interpreter lock held for every access).
    bool socket_opened = false;
};

inline constexpr std::size_t kPublicRecordRoom =
    std::max(sizeof(OrvixAsyncDispatcher), sizeof(OrvixSyncDispatcher));

// The public record with room up to kPublicRecordRoom, so what follows it
// starts at the same offset whichever record it holds.
template <class PublicRecord>
union PaddedRecord {
    PublicRecord rec;
    unsigned char room[kPublicRecordRoom];
};

// A socket dispatcher object: the public record, then the wake-up path's
// private tail at one offset for both classes, then the class's own fields.
template <class PublicRecord, class Private>
struct SocketDispatcherObject {
    PaddedRecord<PublicRecord> head;
    WakeupTail wakeup;
    Private own;

    PublicRecord& rec() noexcept { return head.rec; }
};

// ---- Producer side -------------------------------------------------------------

// The producer entries (no Python object touched, no interpreter lock; one
// producer thread at a time). Each pushes into `_q` and, when the ring's
// result calls for it, wakes the reader if it waits (wake_reader):
//   push_and_wake            SPSCQueue.push, result > 0 (both classes' `push`)
//   push_var_and_wake_on_one SPSCQueue.push_var, result == 1 (AsyncDispatcher)
//   push_var_and_wake        SPSCQueue.push_var, result > 0 (SyncDispatcher)
void push_and_wake(PyObject* self, const char* data, std::size_t size);
void push_var_and_wake_on_one(PyObject* self, const char* data, std::size_t size);
void push_var_and_wake(PyObject* self, const char* data, std::size_t size);

// After an accepted push: sends one wake-up datagram if the reader armed
// the doorbell and a handle is published; the result of the send is not
// looked at. Any thread, no interpreter lock needed.
void wake_reader(PyObject* self) noexcept;

// The datagram itself: one byte, value 1, through `handle` to `to`.
void send_wakeup_datagram(net::SocketHandle handle, const OrvixSockAddrIn& to) noexcept;

// ---- Setup (interpreter lock held) ---------------------------------------------

// The host of a setup entry call: the record's when it carries one, else
// "127.0.0.1" (borrowed).
PyObject* setup_host(const OrvixSetupOptArgs* opt) noexcept;

// setup's argument rule: exactly str, or None (which bind() then refuses).
// False with TypeError "Argument 'host' has incorrect type (...)".
bool check_setup_host(PyObject* host);

// `import <name>` as a statement inside a method: the loaded module from
// sys.modules, else a real import. New reference, or null with the error.
PyObject* import_module(PyObject* name);

// Setup's guard: raises RuntimeError "setup() was already called on this
// dispatcher" (returns -1) once a setup has opened a socket, else returns 0.
// A second reader on the single-consumer ring, or a reader task left behind
// on a replaced socket, is never what the caller wants.
int refuse_second_setup(PyObject* self);

// Setup's socket steps, from creating the socket up to publishing its
// handle, shared by both classes:
//   sock = socket_module.socket(AF_INET, SOCK_DGRAM); sock.setblocking(blocking)
//   sock.bind((host, 0)); self._socket = sock
//   _addr from sock.getsockname(); _sock_fd = sock.fileno()
// `socket_field` is the class's `_socket` field (an owned reference, never
// null), whose offset differs between the classes. Returns a new reference
// to the socket, or null with an exception set (state already changed
// stays changed).
PyObject* open_wakeup_socket(PyObject* self, PyObject** socket_field, PyObject* socket_module,
                             PyObject* host, bool blocking);

// ---- Consumer side and close (interpreter lock held) ---------------------------

// One non-blocking pop (SPSCQueue.try_pop or try_pop_var, chosen by `pop`):
// a new bytes copy of the message, None when the ring hands out nothing, or
// null with the exception (plus the traceback entry `traceback_name`) when
// the copy cannot be made.
using RingPop = orvix_ring_pop_fn OrvixSPSCQueueVTable::*;
PyObject* pop_message(PyObject* self, RingPop pop, const char* traceback_name);

// The reader's side of the doorbell. With the ring found empty: arm, then
// poll once more; wait for a datagram only if that poll is empty too. With a
// message found while armed: disarm (a producer that already took the flag
// has sent a datagram, which only causes one pass that finds nothing).
void arm_wakeup(PyObject* self) noexcept;
void disarm_wakeup(PyObject* self) noexcept;

// The handle a reader receives on.
net::SocketHandle wakeup_handle(PyObject* self) noexcept;

// True once a socket was set up and then retired by close() (or by the
// collector): the reader has nothing left to wait on.
bool wakeup_retired(PyObject* self) noexcept;

// Puts the invalid handle back and waits for sends through the old one to
// finish; returns the old handle. Call before the socket behind the handle
// may be closed.
net::SocketHandle retire_wakeup_socket(PyObject* self) noexcept;

}  // namespace orvix::corvane
