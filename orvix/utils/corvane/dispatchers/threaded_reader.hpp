// The reader of a ThreadedDispatcher: a native thread that waits inside the
// ring without the interpreter lock and, for each message, takes the lock,
// calls the dispatcher's callback with the message as bytes and lets the
// lock go again before it touches the ring. What it takes and hands over is
// its ReaderDelivery's (reader_delivery.hpp): orvix.batch's
// ThreadedBatchDispatcher, whose object starts as ThreadedDispatcher's does,
// runs the same reader with batches.
//
// Lifetime. The reader holds no reference to its dispatcher: dropping the
// user's last reference is what closes the ring and so ends the reader.
// Instead it owns a reference to the ring (which therefore outlives the
// dispatcher for as long as the reader waits on it) and shares a ReaderLink
// with the dispatcher, through which it finds the dispatcher, with the lock
// held, or learns that it is gone. Neither close() nor deallocation waits
// for the reader.
//
// Close. The ring's close ends the reader's wait; the reader then still
// delivers what the ring holds (a closed ring refuses new pushes, so that
// ends) and leaves. A dispatcher that is gone gets nothing more delivered.
//
// Fork. A forked child has none of the parent's threads: a hook that runs
// in the child lets go of every reader the parent had, so setup() there
// starts a new one on the ring as the parent's reader left it.
#pragma once

#include <Python.h>

#include <memory>

#include "orvix/utils/corvane/dispatchers/reader_delivery.hpp"
#include "orvix/utils/corvane/dispatchers/threaded_dispatcher.hpp"

namespace orvix::corvane {

// What a dispatcher shares with its reader. Touched only with the
// interpreter lock held; freed by whichever side lets go last.
class ReaderLink {
public:
    // The dispatcher's link, made on first use. Null with MemoryError.
    static ReaderLink* of(ThreadedDispatcherObject* dispatcher);

    // The dispatcher is being cleared or released: the reader must not use
    // it any more. May free the link; `dispatcher->link` is reset.
    static void dispatcher_gone(ThreadedDispatcherObject* dispatcher) noexcept;

    ThreadedDispatcherObject* dispatcher() const noexcept { return dispatcher_; }
    bool reader_running() const noexcept { return reader_running_; }

private:
    friend class ReaderSession;
    explicit ReaderLink(ThreadedDispatcherObject* dispatcher) noexcept : dispatcher_(dispatcher) {}

    ThreadedDispatcherObject* dispatcher_;   // null once the dispatcher is gone
    bool reader_running_ = false;            // a reader is attached and has not finished
    // In a forked child: the delivery of the parent's reader, which had
    // taken something off the ring and not yet handed it over; the child's
    // next reader hands it over first.
    std::unique_ptr<ReaderDelivery> carried_;
};

// Starts a detached reader thread for the dispatcher (setup()), delivering
// through `make(self)`. Interpreter lock held. Does nothing when the ring is
// closed or the dispatcher has been cleared (a reader would end at once).
// Returns 0, or -1 with RuntimeError when a reader is already running or the
// thread cannot be started.
int start_reader_thread(PyObject* self, MakeDelivery make);

// The table entries _reader / _reader_var: run the reader loop on the
// calling native thread, which must not hold the interpreter lock, until the
// ring is closed and emptied, or a callback fails. The caller keeps `self` alive until the
// entry returns. A refusal (a reader already runs) is reported as unraisable.
void run_reader_here(PyObject* self, MakeDelivery make);

}  // namespace orvix::corvane
