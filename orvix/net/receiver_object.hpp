// The Python side every orvix.net receiver type shares: the instance record,
// start/stop/join/running/stats and the context-manager protocol, deallocation
// and garbage collection. A receiver type's tp_new parses its own arguments,
// builds its MessageSource and calls receiver_init(); its spec takes the
// shared slots below (see receiver_thread.hpp).
#pragma once

#include <Python.h>

#include <memory>

#include "cpython_support/producer_thread_glue.hpp"
#include "orvix/net/receiver_thread.hpp"

namespace orvix::net {

// As cpython_support::ProducerThreadType takes it.
struct ReceiverObject {
    PyObject_HEAD
    PyObject* target;
    ReceiverThread* thread;
    bool starting;
    static constexpr const char* kNoun = "receiver";
    static constexpr const char* kTargetNoun = "target";
};

inline ReceiverObject* as_receiver(PyObject* self) { return reinterpret_cast<ReceiverObject*>(self); }

// OSError(error, message), as the socket module raises it: the subclass
// the errno maps to. Steals `message`.
void raise_os_error(int error, PyObject* message);

// "drop" or "wait"; -1 with ValueError.
int parse_on_full(const char* text, OnFull& on_full);

// Resolves `target` (TypeError when it is no dispatcher) and makes the
// receiver's thread around `source`. 0, or -1 with an exception.
int receiver_init(PyObject* self, PyObject* target, std::unique_ptr<MessageSource> source, OnFull on_full);

// tp_dealloc, tp_traverse and tp_clear.
using ReceiverSlots = cpython_support::ProducerThreadType<ReceiverObject>;
extern PyMethodDef receiver_methods[];
// receiver_getset (running, on_full) followed by a type's own attributes,
// in a table that lives as long as the process; nullptr when out of memory.
PyGetSetDef* receiver_getset_with(const PyGetSetDef* own) noexcept;

// A receiver type for `module`, named `name` (a literal: the type keeps
// it): the shared slots and methods, `tp_new`, `getset` (from
// receiver_getset_with) and the docstring `doc`. New reference, or nullptr
// with an exception.
PyObject* make_receiver_type(PyObject* module, const char* name, newfunc tp_new, PyGetSetDef* getset,
                             const char* doc);

}  // namespace orvix::net
