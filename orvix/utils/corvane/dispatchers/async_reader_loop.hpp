// The reader task of AsyncDispatcher, and of orvix.batch's
// AsyncBatchDispatcher, whose object is laid out as AsyncDispatcher's. What
// one poll returns (a message, or a batch of them) is the record's pop_fn's;
// `messages_in(result)` says how many messages it counts as delivered.
//
// async def _reader(self, loop, sock):
//     while True:
//         data = self.pop_fn()
//         if data is None:
//             await loop.sock_recv(sock, 1)
//         else:
//             await self.callback(data)
//
// Any exception (the callback's, the receive's, a cancellation) ends it.
// Callbacks that finish without suspending never give the loop a turn, so
// after kMessagesPerTurn of them in a row the reader yields once
// (`await asyncio.sleep(0)`): a producer that never pauses cannot starve
// the loop's other tasks, nor keep close()'s cancellation from running.
// Before it waits, the reader arms the doorbell and polls once more (see
// reader_step.hpp), so producers send only when it actually sleeps. close()
// closes the socket at once but cancels the task only when the loop runs
// its callback; a reader that gets there first and finds the ring empty
// sees the dispatcher closed and returns instead of receiving on a closed
// socket.
#pragma once

#include <Python.h>

#include <cstddef>

#include "cpython_support/coroutine.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/async_dispatcher.hpp"
#include "orvix/utils/corvane/dispatchers/reader_step.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"

namespace orvix::corvane {

inline constexpr int kMessagesPerTurn = 1024;

// The steps the loop takes (async_dispatcher.cpp). Each returns a new
// reference or throws py::PyError.
py::Ref async_reader_poll(PyObject* self);                    // pop_fn(self): a result, or None
py::Ref async_reader_yield();                                 // asyncio.sleep(0)
py::Ref async_reader_receive(PyObject* loop, PyObject* sock);  // loop.sock_recv(sock, 1)

template <MessagesIn messages_in>
py::CoroutineBody async_reader_loop(py::Coroutine& co) {
    using py::Ref;
    PyObject* self = co.self();   // the coroutine holds self, loop and sock
    PyObject* loop = co.arg(0);
    PyObject* sock = co.arg(1);
    DoorbellReader doorbell{socket_core(self).doorbell};
    DeliveryRecord& delivery = socket_delivery(self);
    int since_turn = 0;
    try {
        for (;;) {
            Ref data = py::check(async_reader_poll(self));
            const bool found = data.get() != Py_None;
            if (!found && socket_tail(self).closed) co_return py::none();
            switch (doorbell.after_poll(found)) {
            case ReaderStep::message: {
                // Read afresh per message and held for the call.
                Ref callback = Ref::borrow(reinterpret_cast<OrvixAsyncDispatcher*>(self)->callback);
                delivery.count_delivery(messages_in(data.get()));
                co_await py::check(Ref::steal(PyObject_CallOneArg(callback.get(), data.get())));
                if (++since_turn == kMessagesPerTurn) {
                    since_turn = 0;
                    co_await async_reader_yield();
                }
                break;
            }
            case ReaderStep::armed: break;
            case ReaderStep::must_wait:
                co_await async_reader_receive(loop, sock);
                doorbell.woken();
                since_turn = 0;
                break;
            }
        }
    } catch (py::PyError& error) {
        delivery.reader_stopped(error.exception());
        throw;
    }
}

}  // namespace orvix::corvane
