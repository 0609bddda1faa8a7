// The native consumer loop of bench_net.py: a thread that empties a
// dispatcher's ring with burst pops, never taking the interpreter lock,
// reading each message's first 8 bytes. The dispatcher's own reader must
// not run (no setup()); close() on the dispatcher ends the loop.
//
//     c = ring_drain.start(dispatcher)    # returns at once
//     c.taken                             # messages taken so far
//     c.join()                            # after dispatcher.close(); lock released while waiting
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "orvix/utils/corvane/producer.h"

namespace {

struct Drain {
    PyObject_HEAD
    PyObject* dispatcher;  // owned
    std::thread* thread;
    std::atomic<std::uint64_t>* taken;
    std::uint64_t sum;
};

void run(Drain* c, PyObject* q) {
    std::vector<char> buffer(4 << 20);
    std::vector<std::size_t> ends(4096);
    OrvixRingBurst burst{buffer.data(), buffer.size(), ends.data(), ends.size(), 0, 0};
    const OrvixSPSCQueueVTable* ring = orvix_spscqueue_vtable(q);
    while (ring->pop_burst(q, &burst, ORVIX_BURST_WAIT) == 1) {
        std::size_t begin = 0;
        for (std::size_t i = 0; i < burst.count; ++i) {   // touch each message
            std::uint64_t seq = 0;
            std::memcpy(&seq, buffer.data() + begin, std::min<std::size_t>(8, ends[i] - begin));
            c->sum += seq;
            begin = ends[i];
        }
        c->taken->store(c->taken->load(std::memory_order_relaxed) + burst.count, std::memory_order_relaxed);
    }
}

PyObject* drain_taken(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<Drain*>(self)->taken->load(std::memory_order_relaxed));
}

PyObject* drain_join(PyObject* self, PyObject*) {
    Drain* c = reinterpret_cast<Drain*>(self);
    if (c->thread) {
        Py_BEGIN_ALLOW_THREADS
        c->thread->join();
        Py_END_ALLOW_THREADS
        delete c->thread;
        c->thread = nullptr;
    }
    Py_RETURN_NONE;
}

void drain_dealloc(PyObject* self) {
    Drain* c = reinterpret_cast<Drain*>(self);
    if (c->thread) c->thread->detach();   // a benchmark that forgot join(): let it go
    delete c->thread;
    Py_XDECREF(c->dispatcher);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef drain_methods[] = {{"join", drain_join, METH_NOARGS, "Waits for the loop (after the ring closed)."},
                               {nullptr, nullptr, 0, nullptr}};
PyGetSetDef drain_getset[] = {{"taken", drain_taken, nullptr, "Messages taken so far.", nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};
PyType_Slot drain_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(drain_dealloc)},
                             {Py_tp_methods, drain_methods},
                             {Py_tp_getset, drain_getset},
                             {0, nullptr}};
PyType_Spec drain_spec = {"ring_drain.Drain", sizeof(Drain), 0, Py_TPFLAGS_DEFAULT, drain_slots};

PyObject* start(PyObject* module, PyObject* dispatcher) {
    OrvixProducerTarget target;
    if (orvix_producer_target(dispatcher, &target) < 0) return nullptr;
    PyObject* q = orvix_producer_ring(&target);
    if (q == nullptr) return PyErr_Format(PyExc_ValueError, "the dispatcher has no ring");
    auto* type = *static_cast<PyTypeObject**>(PyModule_GetState(module));
    Drain* c = PyObject_New(Drain, type);
    if (c == nullptr) return nullptr;
    Py_INCREF(type);
    c->dispatcher = Py_NewRef(dispatcher);
    c->taken = new std::atomic<std::uint64_t>(0);
    c->sum = 0;
    c->thread = new std::thread(run, c, q);
    return reinterpret_cast<PyObject*>(c);
}

PyMethodDef module_methods[] = {{"start", start, METH_O, "start(dispatcher): a native loop emptying its ring."},
                                {nullptr, nullptr, 0, nullptr}};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &drain_spec, nullptr);
    if (type == nullptr) return -1;
    *static_cast<PyObject**>(PyModule_GetState(module)) = type;
    return 0;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ring_drain", "A native loop emptying a dispatcher's ring.",
                          sizeof(PyObject*), module_methods, module_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_ring_drain() { return PyModuleDef_Init(&module_def); }
