// The object layout of AsyncDispatcher and SyncDispatcher, and the way from a
// dispatcher object to its Python-free core.
//
// Both records keep `_q`, `_sock_fd` and `_addr` in the same places (see the
// static_asserts below), so one push entry serves both. An object of either
// class is laid out as
//
//     [ public record, padded to kPublicRecordRoom ][ SocketDispatcherTail ][ class's own private fields ]
//
// which puts the private tail that the push entry needs at one offset too.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

#include "cpython_support/ref.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/delivery_record.hpp"
#include "orvix/utils/corvane/dispatchers/owned_fields.hpp"
#include "orvix/utils/corvane/dispatchers/platform_socket.hpp"
#include "orvix/utils/corvane/dispatchers/reader_socket.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_core.hpp"

namespace orvix::corvane {

static_assert(net::kNoSocket == PublishedHandle::kNone, "the core's \"no handle\" is the public header's");

// Private state that both classes keep at one offset.
struct SocketDispatcherTail {
    explicit SocketDispatcherTail(ORVIX_PLATFORM_SOCKET& sock_fd) noexcept : core(sock_fd) {}

    SocketDispatcherCore core;   // the doorbell and the published `_sock_fd`
    DeliveryRecord delivery;     // what the reader delivered, and how it stands
    // Interpreter lock held for every access to the fields below.
    // Set once setup() has stored a socket in `_socket`; a dispatcher is set
    // up once.
    bool socket_opened = false;
    // Set by close() (or the collector's clearing): the ring is closed, and
    // a reader that finds it empty leaves.
    bool closed = false;
    // The fork generation of the process whose setup() opened the socket. A
    // forked child shares the socket with its parent, so only that process
    // may shut it down.
    ForkGeneration::Value opened_in = 0;
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

template <class PublicRecord, class Private>
struct SocketDispatcherObject {
    PaddedRecord<PublicRecord> head;
    SocketDispatcherTail tail;
    Private own;

    PublicRecord& rec() noexcept { return head.rec; }
};

// The fields both classes share, at the offsets both records give them.
struct SocketDispatcherHead {
    PyObject_HEAD
    const void* vtab;
    PyObject* _q;
    ORVIX_PLATFORM_SOCKET _sock_fd;
    OrvixSockAddrIn _addr;
};

#define ORVIX_SAME_FIELD(field)                                                                     \
    static_assert(offsetof(SocketDispatcherHead, field) == offsetof(OrvixAsyncDispatcher, field) && \
                      offsetof(SocketDispatcherHead, field) == offsetof(OrvixSyncDispatcher, field), \
                  "AsyncDispatcher and SyncDispatcher must keep " #field " in one place")
ORVIX_SAME_FIELD(_q);
ORVIX_SAME_FIELD(_sock_fd);
ORVIX_SAME_FIELD(_addr);
#undef ORVIX_SAME_FIELD

namespace socket_layout {
struct Empty {};
using AsyncLayout = SocketDispatcherObject<OrvixAsyncDispatcher, Empty>;
using SyncLayout = SocketDispatcherObject<OrvixSyncDispatcher, Empty>;
inline constexpr std::size_t kTailOffset = offsetof(AsyncLayout, tail);
static_assert(kTailOffset == offsetof(SyncLayout, tail),
              "the private tail must sit at one offset in both classes");
}  // namespace socket_layout

inline SocketDispatcherHead& socket_head(PyObject* self) noexcept {
    return *reinterpret_cast<SocketDispatcherHead*>(self);
}

inline SocketDispatcherTail& socket_tail(PyObject* self) noexcept {
    return *reinterpret_cast<SocketDispatcherTail*>(reinterpret_cast<char*>(self) + socket_layout::kTailOffset);
}

inline SocketDispatcherCore& socket_core(PyObject* self) noexcept { return socket_tail(self).core; }
inline DeliveryRecord& socket_delivery(PyObject* self) noexcept { return socket_tail(self).delivery; }

// close()'s first steps, the same in both classes (interpreter lock held):
// the reader's state, the mark on which a reader that finds the ring empty
// leaves, and the ring closed, so that every later push is refused (-2) and
// counted while what the ring holds can still be taken. False, and nothing
// changed, before setup() has opened a socket: close() then leaves the
// dispatcher as it was (its reader "not started"), and a setup() may still
// follow and deliver what was pushed meanwhile.
inline bool close_socket_ring(PyObject* self) noexcept {
    SocketDispatcherTail& tail = socket_tail(self);
    if (!tail.socket_opened) return false;
    tail.delivery.closed();
    tail.closed = true;
    PyObject* q = socket_head(self)._q;
    if (q != Py_None) orvix_spscqueue_vtable(q)->close(q);
    return true;
}

// Whether this process opened the dispatcher's socket (and not a parent it
// was forked from).
inline bool socket_opened_here(PyObject* self) noexcept {
    const SocketDispatcherTail& tail = socket_tail(self);
    return tail.socket_opened && tail.opened_in == ForkGeneration::current();
}

// stats() of both classes adds the core's count of failed wake-up sends.
inline bool add_wakeup_stats(PyObject* self, PyObject* dict) {
    const std::uint64_t count = socket_core(self).wakeups_failed.load(std::memory_order_relaxed);
    py::Ref failed = py::Ref::steal(PyLong_FromUnsignedLongLong(count));
    return failed && PyDict_SetItemString(dict, "wakeups_failed", failed.get()) == 0;
}

// The socket dispatchers' share of a DispatcherSlots class (see
// dispatcher_slots.hpp): allocation state and what ends before the fields go.
template <class PublicRecord, class Private, PyObject* PublicRecord::*... Owned>
struct SocketDispatcherClass {
    using Record = PublicRecord;
    using Object = SocketDispatcherObject<PublicRecord, Private>;
    using Fields = OwnedFields<PublicRecord, Owned...>;

    // What every instance holds before its arguments are parsed: the table,
    // None in every object field, and no socket handle (the invalid value,
    // never 0, which a close() run while deallocating a half-built object
    // would take for a real descriptor).
    static void prepare_with(PyObject* self, const void* vtable) noexcept {
        Object& d = *reinterpret_cast<Object*>(self);
        PublicRecord& r = d.rec();
        new (&d.tail) SocketDispatcherTail{r._sock_fd};
        new (&d.own) Private{};
        r.vtab = static_cast<decltype(r.vtab)>(vtable);
        Fields::init_none(r);
    }

    // Before the fields go: no producer may use the handle, and a reader
    // still running must not wait on it. The socket object is closed, not
    // left to the collector: close() keeps SyncDispatcher's open while its
    // reader may still receive, and by now no reader runs (its thread or
    // task holds the dispatcher while it does). A forked child closes only
    // its own copy of the descriptor.
    static void let_go(PyObject* self) noexcept {
        socket_tail(self).closed = true;
        socket_core(self).wake_handle.retire();
        close_socket_quietly(reinterpret_cast<Object*>(self)->rec()._socket);
    }

    static DeliveryRecord& delivery(PyObject* self) noexcept { return socket_delivery(self); }
};

}  // namespace orvix::corvane
