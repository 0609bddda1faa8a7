// Batch: the messages a reader took from the ring in one go, in memory the
// batch owns (never a view into the ring). len(), indexing and iteration
// give each message as bytes; the buffer protocol exports all payloads back
// to back (numpy.frombuffer(batch, dtype) reads fixed-size records without a
// copy); `offsets` gives the message boundaries.
//
// A reader hands a Batch to its callback and, when the callback has kept no
// reference to it, fills the same Batch again for the next call. A batch
// that its user keeps is never touched again by the reader.
#pragma once

#include <Python.h>

#include "orvix/batch/batch_storage.hpp"

namespace orvix::batch {

struct BatchObject {
    PyObject_HEAD
    BatchStorage storage;
    Py_ssize_t exports;   // buffer views handed out and not yet released
};

extern PyTypeObject BatchType;
extern PyTypeObject BatchIteratorType;

// A new Batch owning `storage`. Lock held; null with MemoryError.
PyObject* new_batch(BatchStorage&& storage);

inline BatchStorage& storage_of(PyObject* batch) noexcept { return reinterpret_cast<BatchObject*>(batch)->storage; }

// The reader's call after its callback returned, lock held: true when the
// reader may fill `batch` again (the reader's reference is the only one:
// every view and every kept reference counts). Otherwise the user keeps it,
// and it gives back the room it does not use unless a view points into it.
bool reusable_after_call(PyObject* batch) noexcept;

// Readies both types. 0, or -1 with an exception.
int ready_batch_types();

}  // namespace orvix::batch
