#include "orvix/batch/batch_construction.hpp"

#include <algorithm>

#include "cpython_support/conversions.hpp"
#include "orvix/batch/shared_ring_input.hpp"
#include "orvix/ringq/ring_layout.hpp"

namespace orvix::batch {
namespace {

// Sizes are converted as the per-message classes convert theirs; only
// max_batch has a lower bound of its own.
int parse(PyObject* args, PyObject* kwargs, corvane::ConstructorArguments& out, bool blocking, const char* format,
          char** names) {
    PyObject* slot_size = nullptr;
    PyObject* capacity = nullptr;
    PyObject* max_batch = nullptr;
    PyObject* ring = Py_None;
    int variable_size = 0, overwrite = 0, block_on_full = 0;
    const int ok = blocking ? PyArg_ParseTupleAndKeywords(args, kwargs, format, names, &out.callback, &slot_size,
                                                          &capacity, &max_batch, &variable_size, &overwrite,
                                                          &block_on_full, &ring)
                            : PyArg_ParseTupleAndKeywords(args, kwargs, format, names, &out.callback, &slot_size,
                                                          &capacity, &max_batch, &variable_size, &overwrite, &ring);
    if (!ok) return -1;
    out.slot_size = 2048;
    out.capacity = 16384;
    out.max_batch = kDefaultMaxBatch;
    if ((slot_size && py::to_size(slot_size, &out.slot_size) < 0) ||
        (capacity && py::to_size(capacity, &out.capacity) < 0) ||
        (max_batch && py::to_size(max_batch, &out.max_batch) < 0))
        return -1;
    if (out.max_batch == 0) {
        PyErr_SetString(PyExc_ValueError, "max_batch must be at least 1");
        return -1;
    }
    out.flags[kVariableSize - 3] = variable_size != 0;
    out.flags[kOverwrite - 3] = overwrite != 0;
    out.flags[kBlockOnFull - 3] = block_on_full != 0;
    // A shared ring brings its own layout: the sizes and flags are its.
    return ring == Py_None ? 0 : take_shared_ring(ring, out);
}

}  // namespace

int parse_threaded_arguments(PyObject* args, PyObject* kwargs, corvane::ConstructorArguments& out) {
    static const char* names[] = {"callback",      "slot_size", "capacity",      "max_batch",
                                  "variable_size", "overwrite", "block_on_full", "ring",          nullptr};
    return parse(args, kwargs, out, true, "O|OO$OpppO:ThreadedBatchDispatcher", const_cast<char**>(names));
}

int parse_async_arguments(PyObject* args, PyObject* kwargs, corvane::ConstructorArguments& out) {
    static const char* names[] = {"callback", "slot_size", "capacity", "max_batch", "variable_size", "overwrite",
                                  "ring",     nullptr};
    return parse(args, kwargs, out, false, "O|OO$OppO:AsyncBatchDispatcher", const_cast<char**>(names));
}

BatchShape batch_shape(const corvane::ConstructorArguments& a, bool variable_size) noexcept {
    ringq::RingLayout layout;
    // The ring was built from these arguments, so they plan.
    ringq::plan_layout(a.slot_size, a.capacity, layout);
    BatchShape shape;
    shape.max_messages = std::min(a.max_batch, variable_size ? layout.ring_bytes / ringq::kRecordHeader : layout.slots);
    const std::size_t full = shape.max_messages > layout.total_bytes / a.slot_size ? layout.total_bytes
                                                                                  : shape.max_messages * a.slot_size;
    shape.bytes = variable_size ? std::min(full, layout.ring_bytes) : full;
    shape.largest = variable_size ? layout.max_record : a.slot_size;
    return shape;
}

}  // namespace orvix::batch
