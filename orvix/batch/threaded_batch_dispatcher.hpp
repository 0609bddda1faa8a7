// ThreadedBatchDispatcher: ThreadedDispatcher's reader, lifetime and producer
// entries, handing the callback a Batch of every message present instead of
// one message at a time.
//
// The object starts with ThreadedDispatcher's whole object (its public
// record first), so native producers take it as a ThreadedDispatcher, and
// the shared reader (threaded_reader.hpp) runs on it unchanged.
#pragma once

#include <Python.h>

#include "orvix/batch/batch_storage.hpp"
#include "orvix/utils/corvane/dispatchers/threaded_dispatcher.hpp"
#include "orvix/utils/corvane/module/class_entry.hpp"

namespace orvix::batch {

struct ThreadedBatchDispatcherObject {
    corvane::ThreadedDispatcherObject base;   // first: the layout producers and the reader rely on
    BatchShape shape;                         // what one batch holds
};

extern PyTypeObject ThreadedBatchDispatcherType;
extern const corvane::ClassEntry threaded_batch_dispatcher_class;
extern const char kThreadedBatchSignature[];

}  // namespace orvix::batch
