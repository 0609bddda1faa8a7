// SyncDispatcher readers are threading.Thread objects, non-daemon unless
// asked otherwise, and nothing but close() (or a failing callback) ends
// one: a dispatcher set up and never closed would keep the interpreter
// waiting for its reader for ever at exit. So every dispatcher with a
// reader is listed here, and at interpreter exit, before the threading
// module joins its threads, each is stopped the way close() stops it: what
// is queued is delivered, then the reader leaves.
#pragma once

#include <Python.h>

namespace orvix::corvane {

using StopReader = int (*)(PyObject* dispatcher);

// Lists a dispatcher whose reader is about to start; `stop` is run on it at
// exit unless it has been forgotten by then. Registers the exit hook with
// the threading module on first use. Interpreter lock held. 0, or -1 with
// an exception.
int stop_reader_at_exit(PyObject* dispatcher, StopReader stop);

// Its reader has left, or it is being released. Interpreter lock held.
void forget_reader_at_exit(PyObject* dispatcher) noexcept;

}  // namespace orvix::corvane
