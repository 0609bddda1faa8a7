// ThreadedDispatcher: a native reader thread blocks inside the ring and calls
// the user's callback with each message as bytes, taking the interpreter
// lock per message.
//
// The object is the public record of corvane.h followed by a private tail
// that native producers never see.
#pragma once

#include <Python.h>

#include <cstddef>

#include "orvix/utils/corvane/corvane.h"
#include "orvix/utils/corvane/dispatchers/delivery_record.hpp"

namespace orvix::corvane {

class ReaderLink;

struct ThreadedDispatcherObject {
    OrvixThreadedDispatcher pub;   // first: the layout native producers rely on
    ReaderLink* link;              // shared with the reader threads; null until the first setup()
    bool closed;                   // close() has closed the ring: no reader is started any more
    DeliveryRecord delivery;       // what the reader delivered, and how it stands (zeroed: valid)
};

inline ThreadedDispatcherObject* threaded(PyObject* self) noexcept {
    return reinterpret_cast<ThreadedDispatcherObject*>(self);
}

extern PyTypeObject ThreadedDispatcherType;

// What ThreadedBatchDispatcher (orvix.batch), whose object starts as this
// class's, shares with it: the producer entries (push_fn and the table's
// push, push_var, push_burst), close() (the ring closed, never waiting for
// the reader), and letting the reader go before the fields are released.
int threaded_push(PyObject* self, const char* data, std::size_t size);
int threaded_push_var(PyObject* self, const char* data, std::size_t size);
std::size_t threaded_push_burst(PyObject* self, const OrvixRingMessage* messages, std::size_t n, int* results);
int threaded_close(PyObject* self);
void threaded_let_reader_go(PyObject* self);

}  // namespace orvix::corvane
