#include "orvix/batch/batch_construction.hpp"

#include <algorithm>

#include "cpython_support/conversions.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/batch/shared_ring_input.hpp"
#include "orvix/ringq/ring_layout.hpp"

namespace orvix::batch {
namespace {

// The keyword-only arguments, in the order of the names below; block_on_full
// is ThreadedBatchDispatcher's only.
enum Keyword { kArgSlotSize, kArgCapacity, kArgMaxBatch, kArgVariable, kArgOverwrite, kArgBlocking, kArgRing, kArgCount };

// What ring= brings itself: none of these may be given beside it.
constexpr Keyword kRingBrings[] = {kArgSlotSize, kArgCapacity, kArgVariable, kArgOverwrite, kArgBlocking};

// Whether `callback` is a coroutine function (async def, a callable object
// whose __call__ is one, or one marked with inspect.markcoroutinefunction):
// 1, 0, or -1 with an exception.
int is_coroutine_function(PyObject* callback) {
    py::Ref inspect = py::Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return -1;
    py::Ref call = py::Ref::steal(PyObject_GetAttrString(callback, "__call__"));
    if (!call) return -1;
    for (PyObject* candidate : {callback, call.get()}) {
        py::Ref yes = py::Ref::steal(PyObject_CallMethod(inspect.get(), "iscoroutinefunction", "O", candidate));
        if (!yes) return -1;
        if (yes.get() == Py_True) return 1;
    }
    return 0;
}

// The pending exception, its message led by "class_name(): " so that it
// names the class it comes from (the conversions and the ring's planning
// speak of their argument only). Always -1.
int from_class(const char* class_name) {
    PyObject* error = PyErr_GetRaisedException();
    py::Ref message = py::Ref::steal(PyObject_Str(error));
    if (message) PyErr_Format(reinterpret_cast<PyObject*>(Py_TYPE(error)), "%s(): %U", class_name, message.get());
    if (!message || !PyErr_Occurred()) PyErr_SetRaisedException(error);
    else Py_DECREF(error);
    return -1;
}

// The sizes are keyword-only: the batch classes once took (slot_size,
// capacity) where corvane's dispatchers take (capacity, slot_size), and a
// call in either order must fail rather than build the other ring. They are
// converted as the per-message classes convert theirs; only max_batch has a
// lower bound of its own.
int parse(PyObject* args, PyObject* kwargs, corvane::ConstructorArguments& out, bool blocking, const char* format,
          char** names, const char* class_name) {
    PyObject* given[kArgCount] = {};
    const int ok = blocking ? PyArg_ParseTupleAndKeywords(args, kwargs, format, names, &out.callback,
                                                          &given[kArgSlotSize], &given[kArgCapacity], &given[kArgMaxBatch],
                                                          &given[kArgVariable], &given[kArgOverwrite], &given[kArgBlocking],
                                                          &given[kArgRing])
                            : PyArg_ParseTupleAndKeywords(args, kwargs, format, names, &out.callback,
                                                          &given[kArgSlotSize], &given[kArgCapacity], &given[kArgMaxBatch],
                                                          &given[kArgVariable], &given[kArgOverwrite], &given[kArgRing]);
    if (!ok) return -1;
    if (!PyCallable_Check(out.callback)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'callback' must be callable, not %.200s", class_name,
                     Py_TYPE(out.callback)->tp_name);
        return -1;
    }
    if (!blocking) {   // the reader awaits what the callback returns
        const int coroutine = is_coroutine_function(out.callback);
        if (coroutine < 0) return -1;
        if (!coroutine) {
            PyErr_Format(PyExc_TypeError,
                         "%s() argument 'callback' must be a coroutine function (async def), not %.200s; a function "
                         "that returns an awaitable can be marked with inspect.markcoroutinefunction()",
                         class_name, Py_TYPE(out.callback)->tp_name);
            return -1;
        }
    }
    PyObject* ring = given[kArgRing] ? given[kArgRing] : Py_None;
    if (ring != Py_None) {
        for (Keyword k : kRingBrings) {
            if (!given[k]) continue;
            PyErr_Format(PyExc_ValueError, "%s(): ring= brings its own sizes and flags, so %s cannot be given beside it",
                         class_name, names[k + 1]);
            return -1;
        }
    }
    out.slot_size = 2048;
    out.capacity = 16384;
    out.max_batch = kDefaultMaxBatch;
    if ((given[kArgSlotSize] && py::to_size(given[kArgSlotSize], &out.slot_size) < 0) ||
        (given[kArgCapacity] && py::to_size(given[kArgCapacity], &out.capacity) < 0) ||
        (given[kArgMaxBatch] && py::to_size(given[kArgMaxBatch], &out.max_batch) < 0))
        return from_class(class_name);
    // Planned here as the ring will plan it, so that a bad size names this
    // class (the ring's own errors, with its exception types).
    ringq::RingLayout layout;
    if (const ringq::RingError e = ringq::plan_layout(out.slot_size, out.capacity, layout);
        ring == Py_None && e != ringq::RingError::kNone) {
        PyErr_SetString(e == ringq::RingError::kTooLarge ? PyExc_OverflowError : PyExc_ValueError, ringq::describe(e));
        return from_class(class_name);
    }
    if (out.max_batch == 0) {
        PyErr_Format(PyExc_ValueError, "%s(): max_batch must be at least 1", class_name);
        return -1;
    }
    const Keyword flags[] = {kArgVariable, kArgOverwrite, kArgBlocking};
    const int positions[] = {kVariableSize, kOverwrite, kBlockOnFull};
    for (int i = 0; i < 3; ++i) {
        const int on = given[flags[i]] ? PyObject_IsTrue(given[flags[i]]) : 0;
        if (on < 0) return -1;
        out.flags[positions[i] - 3] = on != 0;
    }
    // A shared ring brings its own layout: the sizes and flags are its.
    return ring == Py_None ? 0 : take_shared_ring(ring, out, class_name);
}

}  // namespace

int parse_threaded_arguments(PyObject* args, PyObject* kwargs, corvane::ConstructorArguments& out) {
    static const char* names[] = {"callback",      "slot_size", "capacity",      "max_batch",
                                  "variable_size", "overwrite", "block_on_full", "ring",      nullptr};
    return parse(args, kwargs, out, true, "O|$OOOOOOO:ThreadedBatchDispatcher", const_cast<char**>(names),
                 "ThreadedBatchDispatcher");
}

int parse_async_arguments(PyObject* args, PyObject* kwargs, corvane::ConstructorArguments& out) {
    // No block_on_full: its slot in `names` (as in Keyword) is ring's.
    static const char* names[] = {"callback", "slot_size", "capacity", "max_batch", "variable_size", "overwrite",
                                  "ring",     nullptr};
    return parse(args, kwargs, out, false, "O|$OOOOOO:AsyncBatchDispatcher", const_cast<char**>(names),
                 "AsyncBatchDispatcher");
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
