#include "orvix/batch/batch_object.hpp"

#include <cstddef>
#include <new>
#include <utility>

#include "cpython_support/ref.hpp"

namespace orvix::batch {
namespace {

BatchObject* as_batch(PyObject* self) noexcept { return reinterpret_cast<BatchObject*>(self); }

void batch_dealloc(PyObject* self) {
    as_batch(self)->storage.~BatchStorage();
    Py_TYPE(self)->tp_free(self);
}

Py_ssize_t batch_length(PyObject* self) { return static_cast<Py_ssize_t>(as_batch(self)->storage.count()); }

// Messages come out as bytes: measured against memoryview slices of the
// batch, bytes are made faster for the small messages batches carry, and a
// slice would hold the batch (and so its buffer) alive, keeping the reader
// from reusing it.
PyObject* message_at(const BatchStorage& s, std::size_t i) {
    return PyBytes_FromStringAndSize(s.data() + s.begin(i), static_cast<Py_ssize_t>(s.end(i) - s.begin(i)));
}

PyObject* batch_item(PyObject* self, Py_ssize_t i) {
    const BatchStorage& s = as_batch(self)->storage;
    if (i < 0 || static_cast<std::size_t>(i) >= s.count()) {
        PyErr_SetString(PyExc_IndexError, "batch index out of range");
        return nullptr;
    }
    return message_at(s, static_cast<std::size_t>(i));
}

// All payloads back to back, read-only, as unsigned bytes.
int batch_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    BatchObject* b = as_batch(self);
    if (PyBuffer_FillInfo(view, self, const_cast<char*>(b->storage.data()),
                          static_cast<Py_ssize_t>(b->storage.bytes()), /*readonly=*/1, flags) < 0)
        return -1;
    ++b->exports;
    return 0;
}

void batch_releasebuffer(PyObject* self, Py_buffer*) { --as_batch(self)->exports; }

// (0, end of message 0, end of message 1, ...): message i is
// batch_bytes[offsets[i]:offsets[i + 1]].
PyObject* batch_offsets(PyObject* self, void*) {
    const BatchStorage& s = as_batch(self)->storage;
    py::Ref offsets = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(s.count() + 1)));
    if (!offsets) return nullptr;
    for (std::size_t i = 0; i <= s.count(); ++i) {
        PyObject* value = PyLong_FromSize_t(i ? s.end(i - 1) : 0);
        if (!value) return nullptr;
        PyTuple_SET_ITEM(offsets.get(), static_cast<Py_ssize_t>(i), value);
    }
    return offsets.release();
}

PyObject* batch_nbytes(PyObject* self, void*) { return PyLong_FromSize_t(as_batch(self)->storage.bytes()); }

PyObject* batch_repr(PyObject* self) {
    const BatchStorage& s = as_batch(self)->storage;
    return PyUnicode_FromFormat("<Batch of %zu messages, %zu bytes>", s.count(), s.bytes());
}

PyObject* refuse_reduce(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

// ---- iteration ---------------------------------------------------------------

struct BatchIterator {
    PyObject_HEAD
    PyObject* batch;   // owned
    std::size_t next;
};

PyObject* batch_iter(PyObject* self) {
    auto* it = PyObject_New(BatchIterator, &BatchIteratorType);
    if (!it) return nullptr;
    it->batch = Py_NewRef(self);
    it->next = 0;
    return reinterpret_cast<PyObject*>(it);
}

PyObject* iterator_next(PyObject* self) {
    auto* it = reinterpret_cast<BatchIterator*>(self);
    const BatchStorage& s = storage_of(it->batch);
    if (it->next >= s.count()) return nullptr;   // StopIteration, without an exception object
    return message_at(s, it->next++);
}

void iterator_dealloc(PyObject* self) {
    Py_DECREF(reinterpret_cast<BatchIterator*>(self)->batch);
    PyObject_Free(self);
}

PySequenceMethods batch_as_sequence = {
    .sq_length = batch_length,
    .sq_item = batch_item,
};

PyBufferProcs batch_as_buffer = {
    .bf_getbuffer = batch_getbuffer,
    .bf_releasebuffer = batch_releasebuffer,
};

PyGetSetDef batch_getset[] = {
    {"offsets", batch_offsets, nullptr,
     "The message boundaries: (0, end of message 0, end of message 1, ...), so that message i is "
     "bytes(batch)[offsets[i]:offsets[i + 1]].",
     nullptr},
    {"nbytes", batch_nbytes, nullptr, "The payload bytes of all messages together.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef batch_methods[] = {
    {"__reduce__", refuse_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_batch_type() {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "orvix.batch.Batch";
    t.tp_basicsize = sizeof(BatchObject);
    t.tp_dealloc = batch_dealloc;
    t.tp_repr = batch_repr;
    t.tp_as_sequence = &batch_as_sequence;
    t.tp_as_buffer = &batch_as_buffer;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_doc =
        "The messages a reader took from the ring in one go, in memory of their own.\n\n"
        "len(batch), batch[i] and iteration give each message as bytes; the buffer protocol "
        "exports all payloads back to back (numpy.frombuffer(batch, dtype) for fixed-size "
        "records, bytes(batch) for a copy); offsets gives the message boundaries.";
    t.tp_iter = batch_iter;
    t.tp_methods = batch_methods;
    t.tp_getset = batch_getset;
    return t;
}

PyTypeObject make_iterator_type() {
    PyTypeObject t{};
    t.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    t.tp_name = "orvix.batch.BatchIterator";
    t.tp_basicsize = sizeof(BatchIterator);
    t.tp_dealloc = iterator_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_iter = PyObject_SelfIter;
    t.tp_iternext = iterator_next;
    return t;
}

}  // namespace

PyTypeObject BatchType = make_batch_type();
PyTypeObject BatchIteratorType = make_iterator_type();

PyObject* new_batch(BatchStorage&& storage) {
    PyObject* self = BatchType.tp_alloc(&BatchType, 0);
    if (!self) return nullptr;
    new (&as_batch(self)->storage) BatchStorage(std::move(storage));
    as_batch(self)->exports = 0;
    return self;
}

bool reusable_after_call(PyObject* batch) noexcept {
    if (Py_REFCNT(batch) == 1) return true;
    if (as_batch(batch)->exports == 0) as_batch(batch)->storage.shrink_to_fit();
    return false;
}

int ready_batch_types() { return PyType_Ready(&BatchType) < 0 || PyType_Ready(&BatchIteratorType) < 0 ? -1 : 0; }

}  // namespace orvix::batch
