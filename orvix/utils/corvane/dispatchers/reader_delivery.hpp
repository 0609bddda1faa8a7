// ReaderDelivery: what a native reader thread (threaded_reader.hpp) takes
// from the ring and hands to its dispatcher's callback. ThreadedDispatcher
// hands one message at a time as bytes; orvix.batch's ThreadedBatchDispatcher
// hands a batch of every message present. The reader's lifetime, its lock
// hand-overs, fork and interpreter exit are the reader's, whatever it hands.
//
// One delivery per reader session. In a forked child, a delivery that had
// taken something out of the ring and not yet handed it over moves to the
// dispatcher's link, and the child's next reader hands it over first.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>
#include <string>

namespace orvix::corvane {

class ReaderDelivery {
public:
    virtual ~ReaderDelivery() = default;

    // Without the interpreter lock: the next thing to hand over from the
    // ring, waiting for it (`wait`) or not. The ring's result: 1 when there
    // is one, anything else ends that phase of the reader (closed, empty).
    virtual int take(PyObject* ring, bool wait) noexcept = 0;

    // Whether what take() handed out stays in the ring until
    // leave_ring(): it is then removed only once the callback has it.
    virtual bool stays_in_ring() const noexcept { return false; }
    virtual void leave_ring(PyObject*) noexcept {}

    // Lock held: the callback's argument for what take() handed out, a new
    // reference, or null with an exception. `messages` is how many messages
    // it carries (the reader counts them delivered).
    virtual PyObject* argument(std::size_t& messages) = 0;

    // Lock held, once the callback has returned (or raised): the reader is
    // done with `argument` and lets it go here. False with an exception
    // when the delivery cannot go on (its next buffer cannot be had).
    virtual bool release(PyObject* argument) = 0;

    // The table entry under whose name a failing reader is reported.
    virtual std::string entry_name() const = 0;

    // The class whose reader this is, for its error messages.
    virtual const char* class_name() const noexcept { return "ThreadedDispatcher"; }
};

// Makes the delivery of a dispatcher's reader. Lock held; null with an
// exception.
using MakeDelivery = std::unique_ptr<ReaderDelivery> (*)(PyObject* dispatcher);

}  // namespace orvix::corvane
