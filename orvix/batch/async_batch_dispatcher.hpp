// AsyncBatchDispatcher: AsyncDispatcher's socket wake-up, reader task, setup
// and close, awaiting the callback with a Batch of every message present
// instead of one message at a time.
//
// The object is laid out as AsyncDispatcher's (socket_dispatcher_object.hpp:
// the public record, the shared private tail, then this class's own
// fields), so native producers take it as an AsyncDispatcher and the shared
// push, setup and close run on it unchanged.
#pragma once

#include <Python.h>

#include "orvix/batch/batch_storage.hpp"
#include "orvix/utils/corvane/module/class_entry.hpp"

namespace orvix::batch {

extern PyTypeObject AsyncBatchDispatcherType;
extern const corvane::ClassEntry async_batch_dispatcher_class;
extern const char kAsyncBatchSignature[];

}  // namespace orvix::batch
