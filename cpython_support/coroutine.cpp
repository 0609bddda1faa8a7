// The coroutine object: a native-coroutine look-alike that drives a C++20
// coroutine body. The driving rules (send, throw, close, finalisation) follow
// the interpreter's own coroutines step by step; see the comment at each.
#include "cpython_support/coroutine.hpp"

#include "cpython_support/errors.hpp"
#include "cpython_support/interned.hpp"
#include "cpython_support/name_attributes.hpp"

#include <structmember.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace orvix::py {
namespace {

PyTypeObject* g_coroutine_type = nullptr;

Coroutine* as_coroutine(PyObject* obj) noexcept { return reinterpret_cast<Coroutine*>(obj); }

bool is_coroutine_object(PyObject* obj) noexcept
{
    return g_coroutine_type && Py_IS_TYPE(obj, g_coroutine_type);
}

CoroutineBody::Handle body_handle(Coroutine* co) noexcept
{
    return CoroutineBody::Handle::from_address(co->frame.address());
}

// The exception pending now, taken over as an outcome.
Outcome pending_error() noexcept
{
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        exc = PyErr_GetRaisedException();
    }
    return Outcome{Ref::steal(exc), true};
}

// Puts the coroutine's handled exception on the thread's exception stack for
// the life of the guard, as the interpreter does while a native coroutine's
// frame runs. Guards never nest for one coroutine: a running coroutine takes
// no other step.
class ExceptionStackEntry {
public:
    explicit ExceptionStackEntry(Coroutine* co) noexcept : co_(co), tstate_(PyThreadState_Get())
    {
        co_->exc_state.previous_item = tstate_->exc_info;
        tstate_->exc_info = &co_->exc_state;
    }
    ~ExceptionStackEntry()
    {
        tstate_->exc_info = co_->exc_state.previous_item;
        co_->exc_state.previous_item = nullptr;
    }
    ExceptionStackEntry(const ExceptionStackEntry&) = delete;
    ExceptionStackEntry& operator=(const ExceptionStackEntry&) = delete;

private:
    Coroutine* co_;
    PyThreadState* tstate_;
};

// Ends the coroutine for good: no body, nothing awaited. The frame is
// destroyed after the state says "finished", so code run by destructors
// cannot resume it.
void finish(Coroutine* co) noexcept
{
    co->state = CoroutineState::finished;
    if (co->frame) {
        std::coroutine_handle<> frame = std::exchange(co->frame, {});
        frame.destroy();
    }
    Py_CLEAR(co->awaiting);
    Py_CLEAR(co->exc_state.exc_value);
}

// The pending exception is ending the coroutine: StopIteration may not
// escape a coroutine, and the coroutine's own entry joins the traceback.
void leave_with_error(Coroutine* co) noexcept
{
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* stop = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetCause(error, Py_NewRef(stop));
        PyException_SetContext(error, stop);
        PyErr_SetRaisedException(error);
    }
    const char* qualname = co->spec().qualname;
    const char* dot = std::strrchr(qualname, '.');
    add_traceback(dot ? dot + 1 : qualname, co->spec().firstlineno, co->spec().filename);
}

// Resumes the body, handing `in` to the await it is suspended in, and runs
// it to its next suspension or its end. The state is `running` on entry.
PySendResult resume_body(Coroutine* co, Outcome in, PyObject** presult) noexcept
{
    *presult = nullptr;
    CoroutineBody::Handle h = body_handle(co);
    CoroutinePromise& promise = h.promise();
    if (promise.current) {
        promise.current->deliver(std::move(in));
        promise.current = nullptr;
    } else if (in.failed) {
        // Not suspended in an await (not started yet): the error ends it
        // before any of the body runs, as a thrown-in error does natively.
        finish(co);
        PyErr_SetRaisedException(in.value.release());
        leave_with_error(co);
        return PYGEN_ERROR;
    }
    {
        ExceptionStackEntry entry(co);
        h.resume();
    }
    if (!h.done()) {
        co->state = CoroutineState::suspended;
        *presult = promise.yielded.release();
        return PYGEN_NEXT;
    }
    Outcome result = std::move(promise.result);
    finish(co);
    if (!result.failed) {
        *presult = result.value.release();
        return PYGEN_RETURN;
    }
    PyErr_SetRaisedException(result.value.release());
    leave_with_error(co);
    return PYGEN_ERROR;
}

// A coroutine that is running or finished takes no further step.
bool refuses_step(const Coroutine* co) noexcept
{
    if (co->state == CoroutineState::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return true;
    }
    if (co->state == CoroutineState::finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return true;
    }
    return false;
}

// The error pending now goes into the body (a thrown-in or closing error).
PySendResult throw_into_body(Coroutine* co, PyObject** presult) noexcept
{
    *presult = nullptr;
    if (refuses_step(co))
        return PYGEN_ERROR;
    co->state = CoroutineState::running;
    return resume_body(co, pending_error(), presult);
}

// One step: `arg` goes to the awaited iterator, or resumes the body.
PySendResult send_step(Coroutine* co, PyObject* arg, PyObject** presult) noexcept
{
    *presult = nullptr;
    if (co->state == CoroutineState::created && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    if (refuses_step(co))
        return PYGEN_ERROR;
    co->state = CoroutineState::running;
    if (!co->awaiting)
        return resume_body(co, Outcome{none(), false}, presult);
    PyObject* value;
    PySendResult r;
    {
        // The awaited iterator runs inside the body's await.
        ExceptionStackEntry entry(co);
        r = PyIter_Send(co->awaiting, arg, &value);
    }
    if (r == PYGEN_NEXT) {
        co->state = CoroutineState::suspended;
        *presult = value;
        return r;
    }
    Outcome in = r == PYGEN_RETURN ? Outcome{Ref::steal(value), false} : pending_error();
    Py_CLEAR(co->awaiting);
    return resume_body(co, std::move(in), presult);
}

// Sets StopIteration carrying `value` (a tuple or exception stays one value).
//
// Every value a coroutine returns to an `await` in Python code travels in a
// StopIteration that the awaiting frame takes apart at once. So one instance
// is kept and refilled whenever nothing but this cache refers to it (its
// reference count is exact, so no one can observe the change); it then
// keeps the last value alive until the next refill.
void set_stop_iteration(PyObject* value) noexcept
{
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    static PyObject* cached = nullptr;
    auto* stop = reinterpret_cast<PyStopIterationObject*>(cached);
    if (stop && Py_REFCNT(cached) == 1 && stop->args && Py_REFCNT(stop->args) == 1 &&
        PyTuple_CheckExact(stop->args) && PyTuple_GET_SIZE(stop->args) == 1) {
        // Swap the new state in first and drop the old one after the raise:
        // the old objects' destructors may run code that raises again.
        PyObject* old[] = {PyTuple_GET_ITEM(stop->args, 0), stop->value, stop->dict, stop->notes,
                           stop->traceback, stop->context, stop->cause};
        PyTuple_SET_ITEM(stop->args, 0, Py_NewRef(value));
        stop->value = Py_NewRef(value);
        stop->dict = stop->notes = stop->traceback = stop->context = stop->cause = nullptr;
        stop->suppress_context = 0;
        PyErr_SetRaisedException(Py_NewRef(cached));
        for (PyObject* o : old)
            Py_XDECREF(o);
        return;
    }
    PyObject* fresh = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!fresh)
        return;
    PyObject* previous = std::exchange(cached, Py_NewRef(fresh));
    PyErr_SetRaisedException(fresh);
    Py_XDECREF(previous);
}

// The result of a step for callers of send(): the yielded value, or
// StopIteration with the returned one.
PyObject* as_send_result(PySendResult r, PyObject* value) noexcept
{
    if (r != PYGEN_RETURN)
        return value;
    set_stop_iteration(value);
    Py_DECREF(value);
    return nullptr;
}

PyObject* close_coroutine(Coroutine* co) noexcept;

// Closes an awaited iterator as `await` does when its awaiter is closed:
// its close() when it has one (a failing lookup is only reported).
int close_iterator(PyObject* it) noexcept
{
    Ref result;
    if (is_coroutine_object(it)) {
        result = Ref::steal(close_coroutine(as_coroutine(it)));
    } else {
        static PyObject* name_close;
        PyObject* method;
        if (_PyObject_LookupAttr(it, interned("close", name_close), &method) < 0)
            PyErr_WriteUnraisable(it);
        if (!method)
            return 0;
        result = Ref::steal(PyObject_CallNoArgs(method));
        Py_DECREF(method);
    }
    return result ? 0 : -1;
}

// Raises the exception described by throw()'s arguments, checked the way
// the interpreter checks them. Returns false when the arguments are invalid
// (a TypeError is pending then).
bool raise_thrown(PyObject* typ, PyObject* val, PyObject* tb) noexcept
{
    if (tb == Py_None) {
        tb = nullptr;
    } else if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        PyErr_NormalizeException(&typ, &val, &tb);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            goto invalid;
        }
        Py_XSETREF(val, typ);
        typ = Py_NewRef(PyExceptionInstance_Class(typ));
        if (!tb)
            tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        goto invalid;
    }
    PyErr_Restore(typ, val, tb);
    return true;
invalid:
    Py_DECREF(typ);
    Py_XDECREF(val);
    Py_XDECREF(tb);
    return false;
}

// The outcome of the body's next run, for callers of throw().
PyObject* resume_for_throw(Coroutine* co, Outcome in) noexcept
{
    PyObject* value;
    const PySendResult r = resume_body(co, std::move(in), &value);
    return as_send_result(r, value);
}
PyObject* throw_pending_for_throw(Coroutine* co) noexcept
{
    PyObject* value;
    const PySendResult r = throw_into_body(co, &value);
    return as_send_result(r, value);
}

// throw(typ[, val[, tb]]): delegated to the awaited iterator first, as
// `await` delegates it; otherwise raised inside the body.
PyObject* throw_coroutine(Coroutine* co, PyObject* typ, PyObject* val, PyObject* tb) noexcept
{
    if (co->state == CoroutineState::suspended && co->awaiting) {
        Ref it = Ref::borrow(co->awaiting);
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            // GeneratorExit closes the awaited iterator, then ends the body.
            co->state = CoroutineState::running;
            const int closed = close_iterator(it.get());
            co->state = CoroutineState::suspended;
            Py_CLEAR(co->awaiting);
            if (closed < 0)
                return throw_pending_for_throw(co);
        } else {
            static PyObject* name_throw;
            PyObject* method;
            if (_PyObject_LookupAttr(it.get(), interned("throw", name_throw), &method) < 0)
                return nullptr;
            if (method) {
                co->state = CoroutineState::running;
                Ref ret = Ref::steal(PyObject_CallFunctionObjArgs(method, typ, val, tb, nullptr));
                co->state = CoroutineState::suspended;
                Py_DECREF(method);
                if (ret)
                    return ret.release();  // the iterator yielded: still awaiting it
                Py_CLEAR(co->awaiting);
                co->state = CoroutineState::running;
                // The iterator finished: its StopIteration value is the
                // await's result; any other error goes into the body.
                if (!PyErr_ExceptionMatches(PyExc_StopIteration))
                    return resume_for_throw(co, pending_error());
                Ref stop = Ref::steal(PyErr_GetRaisedException());
                PyObject* value = reinterpret_cast<PyStopIterationObject*>(stop.get())->value;
                return resume_for_throw(co, Outcome{Ref::borrow(value), false});
            }
            Py_CLEAR(co->awaiting);
        }
    }
    if (!raise_thrown(typ, val, tb))
        return nullptr;
    return throw_pending_for_throw(co);
}

// close(): as the interpreter closes a coroutine.
PyObject* close_coroutine(Coroutine* co) noexcept
{
    switch (co->state) {
    case CoroutineState::created:
    case CoroutineState::finished:
        finish(co);
        Py_RETURN_NONE;
    case CoroutineState::running:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    case CoroutineState::suspended:
        break;
    }
    int closed = 0;
    if (co->awaiting) {
        Ref it = Ref::borrow(co->awaiting);
        co->state = CoroutineState::running;
        closed = close_iterator(it.get());
        co->state = CoroutineState::suspended;
        Py_CLEAR(co->awaiting);
    }
    if (closed == 0)
        PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* value;
    switch (throw_into_body(co, &value)) {
    case PYGEN_NEXT:
        Py_DECREF(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    case PYGEN_RETURN:
        Py_DECREF(value);
        Py_RETURN_NONE;
    case PYGEN_ERROR:
        break;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// ---- the Python type ------------------------------------------------------

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** presult)
{
    return send_step(as_coroutine(self), arg, presult);
}

PyObject* coroutine_iternext(PyObject* self)
{
    PyObject* value;
    const PySendResult r = send_step(as_coroutine(self), Py_None, &value);
    if (r != PYGEN_RETURN)
        return value;
    // Returning None ends the iteration without an exception object.
    if (value != Py_None)
        set_stop_iteration(value);
    Py_DECREF(value);
    return nullptr;
}

PyObject* coroutine_send(PyObject* self, PyObject* arg)
{
    PyObject* value;
    const PySendResult r = send_step(as_coroutine(self), arg, &value);
    return as_send_result(r, value);
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs < 1 || nargs > 3) {
        if (nargs < 1)
            PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        else
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return nullptr;
    return throw_coroutine(as_coroutine(self), args[0], nargs > 1 ? args[1] : nullptr,
                           nargs > 2 ? args[2] : nullptr);
}

PyObject* coroutine_close(PyObject* self, PyObject*) { return close_coroutine(as_coroutine(self)); }

// `await coro` iterates the coroutine itself.
PyObject* coroutine_await(PyObject* self) { return Py_NewRef(self); }

// A coroutine dropped before it started warns; one dropped while suspended
// is closed first, so its cleanup code runs.
void coroutine_finalize(PyObject* self)
{
    Coroutine* co = as_coroutine(self);
    if (co->state == CoroutineState::finished)
        return;
    SavedError saved;
    if (co->state == CoroutineState::created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited",
                             co->qualname) < 0)
            PyErr_WriteUnraisable(self);
        return;
    }
    PyObject* result = close_coroutine(co);
    if (result)
        Py_DECREF(result);
    else
        PyErr_WriteUnraisable(self);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg)
{
    Coroutine* co = as_coroutine(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(co->function);
    Py_VISIT(co->name);
    Py_VISIT(co->qualname);
    Py_VISIT(co->awaiting);
    Py_VISIT(co->exc_state.exc_value);
    for (Py_ssize_t i = 0; i < Py_SIZE(co); ++i)
        Py_VISIT(co->slots[i]);
    for (HeldLink* link = co->held.next; link != &co->held; link = link->next)
        Py_VISIT(link->object);
    return 0;
}

int coroutine_clear(PyObject* self)
{
    Coroutine* co = as_coroutine(self);
    if (co->state == CoroutineState::running)
        return 0;
    finish(co);
    for (Py_ssize_t i = 0; i < Py_SIZE(co); ++i)
        Py_CLEAR(co->slots[i]);
    return 0;
}

void coroutine_dealloc(PyObject* self)
{
    Coroutine* co = as_coroutine(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (co->weakreflist)
        PyObject_ClearWeakRefs(self);
    if (co->state != CoroutineState::finished) {
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0)
            return;  // resurrected
        PyObject_GC_UnTrack(self);
        co->state = CoroutineState::finished;  // no "never awaited" any more
    }
    coroutine_clear(self);
    Py_CLEAR(co->name);
    Py_CLEAR(co->qualname);
    // The function (and so its pool) lives at least as long as this object
    // refers to it; the reference goes last. An object that went through
    // its finalizer carries that mark in its GC header for good, and a
    // reused one would never be finalized again: only unmarked ones are kept.
    Function* fn = as_function(co->function);
    co->function = nullptr;
    if (PyObject_GC_IsFinalized(self) ||
        !fn->spec->coroutines.keep(self, static_cast<std::size_t>(Py_SIZE(co))))
        type->tp_free(self);
    Py_DECREF(type);
    Py_DECREF(fn);
}

PyObject* coroutine_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<coroutine object %U at %p>",
                                as_coroutine(self)->qualname, self);
}

PyObject* get_await(PyObject* self, void*)
{
    PyObject* it = as_coroutine(self)->awaiting;
    return Py_NewRef(it ? it : Py_None);
}
PyObject* get_running(PyObject* self, void*)
{
    return PyBool_FromLong(as_coroutine(self)->state == CoroutineState::running);
}
PyObject* get_suspended(PyObject* self, void*)
{
    return PyBool_FromLong(as_coroutine(self)->state == CoroutineState::suspended);
}
PyObject* get_frame(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*)
{
    return Py_NewRef(as_function(as_coroutine(self)->function)->code);
}

PyGetSetDef coroutine_getset[] = {
    NameAttributes<Coroutine>::name,
    NameAttributes<Coroutine>::qualname,
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},
    {"cr_code", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Coroutine, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)),
     METH_FASTCALL, nullptr},
    {"close", coroutine_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coroutine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coroutine_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(coroutine_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(coroutine_repr)},
    {Py_tp_iternext, reinterpret_cast<void*>(coroutine_iternext)},
    {Py_am_await, reinterpret_cast<void*>(coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(coroutine_am_send)},
    {Py_tp_getset, coroutine_getset},
    {Py_tp_members, coroutine_members},
    {Py_tp_methods, coroutine_methods},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "orvix._runtime.coroutine",
    static_cast<int>(offsetof(Coroutine, slots)),
    sizeof(PyObject*),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

// Whether a native coroutine is suspended (in an await). CPython 3.12 keeps
// the state in cr_frame_state: -1 is "suspended"; other versions ask.
bool native_coroutine_suspended(PyObject* coro) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    constexpr std::int8_t kFrameSuspended = -1;
    return reinterpret_cast<PyCoroObject*>(coro)->cr_frame_state == kFrameSuspended;
#else
    (void)coro;
    return true;
#endif
}

// A generator of a `types.coroutine` function: awaitable as it is.
bool is_iterable_coroutine(PyObject* obj) noexcept
{
    return PyGen_CheckExact(obj) &&
           (PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj))->co_flags & CO_ITERABLE_COROUTINE);
}

// The iterator `await obj` runs, found as the interpreter finds it.
Ref awaitable_iterator(PyObject* obj) noexcept
{
    if (is_iterable_coroutine(obj))
        return Ref::borrow(obj);
    if (PyCoro_CheckExact(obj)) {
        if (!native_coroutine_suspended(obj))
            return Ref::borrow(obj);  // only a suspended one can be awaited elsewhere
        static PyObject* name_cr_await;
        Ref awaited = Ref::steal(PyObject_GetAttr(obj, interned("cr_await", name_cr_await)));
        if (!awaited)
            return nullptr;
        if (awaited.get() != Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Ref::borrow(obj);
    }
    if (is_coroutine_object(obj)) {
        if (as_coroutine(obj)->awaiting) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Ref::borrow(obj);
    }
    PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
    if (!am || !am->am_await) {
        PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    Ref it = Ref::steal(am->am_await(obj));
    if (!it)
        return nullptr;
    // Only the interpreter's own coroutines are refused here, as the
    // interpreter refuses them: this type's __await__ hands out the coroutine
    // itself, so an __await__ written as `return coro.__await__()` over one
    // of these must go through, as it does in an `await` of Python code.
    if (PyCoro_CheckExact(it.get()) || is_iterable_coroutine(it.get())) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it.get())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it.get())->tp_name);
        return nullptr;
    }
    return it;
}

// Frames are preceded by a header naming their pool, so the sized delete
// finds the pool without help from the coroutine.
struct alignas(__STDCPP_DEFAULT_NEW_ALIGNMENT__) FrameHeader {
    RecordPool* pool;
};

}  // namespace

// ---- public entry points ---------------------------------------------------

void PyError::restore() noexcept
{
    if (exc_)
        PyErr_SetRaisedException(exc_.release());
    else
        ensure_error_set();
}

Ref call_method(PyObject* obj, const char* name)
{
    return Ref::steal(PyObject_CallMethod(obj, name, nullptr));
}

PyTypeObject* coroutine_type()
{
    if (!g_coroutine_type)
        g_coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coroutine_spec));
    return g_coroutine_type;
}

PyObject* new_coroutine(Function& fn, PyObject* self, BoundArguments& args)
{
    const FunctionSpec& spec = *fn.spec;
    const Parameters& params = spec.params;
    const Py_ssize_t nself = spec.method ? 1 : 0;
    const Py_ssize_t nslots = nself + params.count + (params.varargs ? 1 : 0);
    // A released coroutine object of this function is reused as it is: same
    // size, untracked, its references dropped.
    Coroutine* co = static_cast<Coroutine*>(spec.coroutines.take(static_cast<std::size_t>(nslots)));
    if (co)
        PyObject_InitVar(reinterpret_cast<PyVarObject*>(co), g_coroutine_type, nslots);
    else
        co = PyObject_GC_NewVar(Coroutine, g_coroutine_type, nslots);
    if (!co)
        return nullptr;
    co->frame = {};
    co->function = Py_NewRef(reinterpret_cast<PyObject*>(&fn));
    co->name = Py_NewRef(fn.name);
    co->qualname = Py_NewRef(fn.qualname);
    co->awaiting = nullptr;
    co->weakreflist = nullptr;
    co->held.next = co->held.prev = &co->held;
    co->held.object = nullptr;
    co->exc_state.exc_value = nullptr;
    co->exc_state.previous_item = nullptr;
    co->state = CoroutineState::created;
    Py_ssize_t n = 0;
    if (spec.method)
        co->slots[n++] = Py_NewRef(self);
    for (int i = 0; i < params.count; ++i)
        co->slots[n++] = Py_NewRef(args[i]);
    if (params.varargs)
        co->slots[n++] = args.rest.release();
    CoroutineBody body = spec.body(*co);
    co->frame = body.release();
    if (!co->frame) {
        co->state = CoroutineState::finished;
        Py_DECREF(co);
        PyErr_NoMemory();
        return nullptr;
    }
    PyObject_GC_Track(co);
    return reinterpret_cast<PyObject*>(co);
}

Ref handle_exception(Coroutine& co, Ref exc) noexcept
{
    return Ref::steal(std::exchange(co.exc_state.exc_value, exc.release()));
}

Held::Held(Coroutine& co, Ref object) noexcept
{
    link_.object = object.release();
    link_.prev = &co.held;
    link_.next = co.held.next;
    co.held.next->prev = &link_;
    co.held.next = &link_;
}

Held::~Held()
{
    link_.prev->next = link_.next;
    link_.next->prev = link_.prev;
    Py_XDECREF(link_.object);
}

Held& Held::operator=(Ref object) noexcept
{
    replace_field(link_.object, object.release());
    return *this;
}

bool Await::await_ready() noexcept
{
    if (!awaitable_) {
        outcome_ = pending_error();
        return true;
    }
    Ref it = awaitable_iterator(awaitable_.get());
    if (!it) {
        outcome_ = pending_error();
        return true;
    }
    // `await` starts the iterator with None at once; only a yielded value
    // suspends the body.
    PyObject* value;
    switch (PyIter_Send(it.get(), Py_None, &value)) {
    case PYGEN_NEXT:
        awaitable_ = std::move(it);
        yielded_ = Ref::steal(value);
        return false;
    case PYGEN_RETURN:
        outcome_.value = Ref::steal(value);
        return true;
    case PYGEN_ERROR:
        break;
    }
    outcome_ = pending_error();
    return true;
}

void Await::await_suspend(std::coroutine_handle<CoroutinePromise> h) noexcept
{
    CoroutinePromise& promise = h.promise();
    promise.current = this;
    promise.co->awaiting = awaitable_.release();
    promise.yielded = std::move(yielded_);
}

Ref Await::await_resume()
{
    if (outcome_.failed)
        throw PyError(std::move(outcome_.value));
    return std::move(outcome_.value);
}

void* CoroutinePromise::operator new(std::size_t size, Coroutine& co) noexcept
{
    RecordPool& pool = co.spec().frames;
    if (void* frame = pool.take(size))
        return frame;
    void* block = PyMem_Malloc(sizeof(FrameHeader) + size);
    if (!block)
        return nullptr;
    static_cast<FrameHeader*>(block)->pool = &pool;
    return static_cast<FrameHeader*>(block) + 1;
}

void CoroutinePromise::operator delete(void* frame, std::size_t size) noexcept
{
    FrameHeader* header = static_cast<FrameHeader*>(frame) - 1;
    if (!header->pool->keep(frame, size))
        PyMem_Free(header);
}

void CoroutinePromise::return_value(Ref value) noexcept
{
    result = value ? Outcome{std::move(value), false} : pending_error();
}

void CoroutinePromise::unhandled_exception() noexcept
{
    try {
        throw;
    } catch (PyError& error) {
        error.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a coroutine body");
    }
    result = pending_error();
}

}  // namespace orvix::py
