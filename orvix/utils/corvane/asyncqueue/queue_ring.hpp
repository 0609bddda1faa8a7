// The ring calls of AsyncQueue's coroutines.
//
// The producers and consumers all run on the event loop's thread, so the one
// ring sees a single producer and a single consumer as it requires. These
// helpers are for coroutine bodies: they report failures as py::PyError.
// Of the ring's table they use `push` and `try_pop`, the fixed-size pair, and
// `size`.
#pragma once

#include <Python.h>

#include <cstddef>

#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/corvane.h"

namespace orvix::corvane {

// Stores one message with the ring's plain push, which never blocks (its
// consumer may be this very thread). A message the ring does not take is
// reported, never dropped in silence: a full ring raises asyncio.QueueFull,
// a message larger than a slot ValueError, anything else RuntimeError.
void push_message(OrvixAsyncQueue* q, const char* data, std::size_t size);

// Takes the next message as a new bytes object without waiting; a null Ref
// when the ring is empty.
py::Ref take_message(OrvixAsyncQueue* q);

// Whether the ring holds a message not taken yet.
bool holds_message(OrvixAsyncQueue* q);

}  // namespace orvix::corvane
