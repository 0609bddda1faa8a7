#include "orvix/batch/shared_ring_input.hpp"

#include <unistd.h>

#include "cpython_support/ref.hpp"
#include "orvix/batch/batch_construction.hpp"
#include "orvix/shm/shared_ring_object.hpp"
#include "orvix/shm/shared_ring_types.hpp"
#include "orvix/utils/corvane/dispatchers/stats_method.hpp"

namespace orvix::batch {
bool is_shared_ring(PyObject* q) noexcept {
#if ORVIX_SHARED_RING
    return shm::is_shared_ring(q);
#else
    (void)q;
    return false;   // no shared rings on this platform
#endif
}

int take_shared_ring(PyObject* ring, corvane::ConstructorArguments& a, const char* class_name) {
    if (!is_shared_ring(ring)) {
        PyErr_Format(PyExc_TypeError, "%s(): ring must be an orvix.shm.SharedRing, got %.200s", class_name,
                     Py_TYPE(ring)->tp_name);
        return -1;
    }
    shm::SharedRingObject& o = *reinterpret_cast<shm::SharedRingObject*>(ring);
    if (o.closed) {
        PyErr_Format(PyExc_ValueError, "%s(): the shared ring is closed", class_name);
        return -1;
    }
    if (o.consumed) {
        PyErr_Format(PyExc_ValueError, "%s(): the shared ring is consumed by another dispatcher already", class_name);
        return -1;
    }
    o.consumed = 1;
    const shm::SharedRingShape& shape = o.mapping->shape();
    a.ring = ring;
    a.slot_size = shape.slot_size;
    a.capacity = shape.capacity;
    a.flags[kVariableSize - 3] = shape.variable_size;
    a.flags[kOverwrite - 3] = shape.overwrite;
    a.flags[kBlockOnFull - 3] = false;
    return 0;
}

int refuse_forked_consumer(PyObject* self, const char* class_name) {
    PyObject* q = reinterpret_cast<corvane::RecordWithRing*>(self)->_q;
    if (!is_shared_ring(q)) return 0;
    const shm::SharedRingObject& o = *reinterpret_cast<shm::SharedRingObject*>(q);
    if (o.creator == getpid()) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "%s.setup(): the shared ring %s is consumed only by the process that created it (%ld), and this "
                 "process was forked from it; create a new SharedRing here instead",
                 class_name, o.mapping->name().c_str(), static_cast<long>(o.creator));
    return -1;
}

void set_corrupt_ring_error(PyObject* ring) {
    const std::string& name = reinterpret_cast<shm::SharedRingObject*>(ring)->mapping->name();
    PyErr_Format(PyExc_RuntimeError,
                 "the shared ring %s is corrupt: its producer wrote shared words that break the ring's layout, "
                 "and the ring is read no more",
                 name.c_str());
}

bool add_producer_stats(PyObject* self, PyObject* dict) {
    PyObject* q = reinterpret_cast<corvane::RecordWithRing*>(self)->_q;
    if (!is_shared_ring(q)) return true;
    py::Ref state = py::Ref::steal(PyObject_GetAttrString(q, "producer"));
    return state && PyDict_SetItemString(dict, "producer", state.get()) == 0;
}

}  // namespace orvix::batch
