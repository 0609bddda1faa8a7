// The steps of a coroutine object (send, throw, close) as the type's slots
// call them. Internal to the coroutine type.
#pragma once

#include "cpython_support/coroutine_object.hpp"

#include <Python.h>

namespace orvix::py {

// One step: `arg` goes to the awaited iterator, or resumes the body.
PySendResult send_step(Coroutine* co, PyObject* arg, PyObject** presult) noexcept;

// tp_iternext: a step with None; a returned value other than None is raised
// in a StopIteration.
PyObject* next_step(Coroutine* co) noexcept;

// One step of an awaited iterator, with PyIter_Send's result. Whatever a body
// awaits is nearly always an interpreter coroutine, an asyncio future or one
// of these coroutine objects, all with am_send: that slot is called in line,
// which saves PyIter_Send's call and checks on every step of every await.
inline PySendResult send_to_iterator(PyObject* it, PyObject* arg, PyObject** presult) noexcept
{
    PyAsyncMethods* am = Py_TYPE(it)->tp_as_async;
    if (am && am->am_send) [[likely]]
        return am->am_send(it, arg, presult);
    return PyIter_Send(it, arg, presult);
}

// throw(typ[, val[, tb]]): delegated to the awaited iterator first, as
// `await` delegates it; otherwise raised inside the body.
PyObject* throw_coroutine(Coroutine* co, PyObject* typ, PyObject* val, PyObject* tb) noexcept;

// close(): as the interpreter closes a coroutine.
PyObject* close_coroutine(Coroutine* co) noexcept;

// Ends the coroutine for good: no body, nothing awaited.
void finish(Coroutine* co) noexcept;

// Raises StopIteration carrying `value` (a tuple or exception stays one
// value); takes over the reference. `spec`: the function whose coroutine
// returned it, which tells whether the StopIteration may be a reused one.
void raise_stop_iteration(PyObject* value, const FunctionSpec& spec) noexcept;

// The result of a step for callers of send(): the yielded value, or
// StopIteration with the returned one (null then).
PyObject* as_send_result(PySendResult r, PyObject* value, const FunctionSpec& spec) noexcept;

}  // namespace orvix::py
