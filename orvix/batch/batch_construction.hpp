// The constructor of both batch dispatchers:
//
//     Class(callback, *, slot_size=2048, capacity=16384, max_batch=1024,
//           variable_size=False, overwrite=False, block_on_full=False, ring=None)
//
// (AsyncBatchDispatcher without block_on_full, and with a coroutine
// function for callback), bound into the shared
// dispatcher construction (dispatcher_construction.hpp), and the shape of
// the batches its reader copies out.
#pragma once

#include <Python.h>

#include "orvix/batch/batch_storage.hpp"
#include "orvix/utils/corvane/dispatchers/dispatcher_construction.hpp"

namespace orvix::batch {

inline constexpr std::size_t kDefaultMaxBatch = 1024;

// Parameter positions, as ConstructorArguments::flag() counts them.
inline constexpr int kVariableSize = 4;
inline constexpr int kOverwrite = 5;
inline constexpr int kBlockOnFull = 6;

int parse_threaded_arguments(PyObject* args, PyObject* kwargs, corvane::ConstructorArguments& out);
int parse_async_arguments(PyObject* args, PyObject* kwargs, corvane::ConstructorArguments& out);

// What one batch may hold: at most max_batch messages, and as many bytes as
// that many full slots (no more than the ring holds); a variable-size record
// larger than that grows the buffer when it comes.
BatchShape batch_shape(const corvane::ConstructorArguments& a, bool variable_size) noexcept;

}  // namespace orvix::batch
