// The classes of corvane and its module-level functions, in registration
// order. Each entry is defined by the file of its class.
#pragma once

#include <span>

#include "orvix/utils/corvane/module/class_entry.hpp"

namespace orvix::corvane {

extern const ClassEntry async_dispatcher_class;    // dispatchers/
extern const ClassEntry sync_dispatcher_class;     // dispatchers/
extern const ClassEntry threaded_dispatcher_class; // dispatchers/
extern const ClassEntry async_queue_class;         // asyncqueue/

// "__qvx_unpickle_AsyncQueue" (asyncqueue/).
extern const ModuleFunctionEntry unpickle_async_queue_function;

// AsyncDispatcher, SyncDispatcher, ThreadedDispatcher, AsyncQueue.
std::span<const ClassEntry* const> registered_classes();

std::span<const ModuleFunctionEntry* const> registered_module_functions();

}  // namespace orvix::corvane
