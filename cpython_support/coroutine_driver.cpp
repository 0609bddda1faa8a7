// The driving rules of the coroutine object (send, throw, close), which
// follow the interpreter's own coroutines step by step; see the comment at
// each.
#include "cpython_support/coroutine_driver.hpp"

#include "cpython_support/coroutine_body.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/interned.hpp"
#include "cpython_support/interpreter_internals.hpp"

#include <cstring>
#include <utility>

namespace orvix::py {
namespace {

CoroutineBody::Handle body_handle(Coroutine* co) noexcept
{
    return CoroutineBody::Handle::from_address(co->frame.address());
}

// Puts the coroutine's handled exception on the thread's exception stack
// while the body runs, as the interpreter does while a native coroutine's
// frame runs. An entry holding no exception is one that sys.exception() and
// exception chaining step over, so it goes on the stack only when there is
// one: at the start of a step, or when the body starts handling one
// (handle_exception). It comes off at the end of the step. Guards never nest
// for one coroutine: a running coroutine takes no other step.
class ExceptionStackEntry {
public:
    explicit ExceptionStackEntry(Coroutine* co) noexcept : co_(co)
    {
        if (co_->exc_state.exc_value)
            internals::push_exception_stack(PyThreadState_Get(), &co_->exc_state);
    }
    ~ExceptionStackEntry()
    {
        if (co_->exc_state.previous_item)
            internals::pop_exception_stack(PyThreadState_Get(), &co_->exc_state);
    }
    ExceptionStackEntry(const ExceptionStackEntry&) = delete;
    ExceptionStackEntry& operator=(const ExceptionStackEntry&) = delete;

private:
    Coroutine* co_;
};

}  // namespace

// Only the body calls this, while it runs: the entries of whatever it
// called have come off the stack again, so its own goes on top.
Ref handle_exception(Coroutine& co, Ref exc) noexcept
{
    if (exc && !co.exc_state.previous_item)
        internals::push_exception_stack(PyThreadState_Get(), &co.exc_state);
    return Ref::steal(std::exchange(co.exc_state.exc_value, exc.release()));
}

// A first step's answer, recognised by the driver before any body would be
// made from it; run as a body, it would end with SystemError.
CoroutineBody await_result(Coroutine&) { co_return Ref(); }

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

namespace {

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

// Ends the coroutine with the outcome of its body.
PySendResult end_with(Coroutine* co, Outcome result, PyObject** presult) noexcept
{
    *presult = nullptr;
    finish(co);
    if (!result.failed) {
        *presult = result.value.release();
        return PYGEN_RETURN;
    }
    PyErr_SetRaisedException(result.value.release());
    leave_with_error(co);
    return PYGEN_ERROR;
}

// Ends a coroutine that has nothing but its state to end (no body, awaited
// iterator or handled exception exists yet): `r` is PYGEN_RETURN with
// *presult set, or PYGEN_ERROR with the error pending (SystemError if none).
PySendResult end_unstarted(Coroutine* co, PySendResult r, PyObject** presult) noexcept
{
    co->state = CoroutineState::finished;
    if (r == PYGEN_ERROR) {
        *presult = nullptr;
        ensure_error_set();
        leave_with_error(co);
    }
    return r;
}

// Runs the body from where it stands (its start, or an await that has its
// outcome) to its next suspension or its end. The state is `running` on
// entry.
PySendResult run_body(Coroutine* co, PyObject** presult) noexcept
{
    *presult = nullptr;
    CoroutineBody::Handle h = body_handle(co);
    {
        ExceptionStackEntry entry(co);
        h.resume();
    }
    CoroutinePromise& promise = h.promise();
    if (!h.done()) {
        co->state = CoroutineState::suspended;
        *presult = promise.yielded.release();
        return PYGEN_NEXT;
    }
    return end_with(co, std::move(promise.result), presult);
}

PySendResult resume_body(Coroutine* co, Outcome in, PyObject** presult) noexcept;

// One step of the awaited iterator, inside the body's await; its end goes to
// the body (or, with no body, ends the coroutine).
PySendResult step_awaited(Coroutine* co, PyObject* arg, PyObject** presult) noexcept
{
    PyObject* value;
    PySendResult r;
    {
        ExceptionStackEntry entry(co);
        r = send_to_iterator(co->awaiting, arg, &value);
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

// A first step's `return await result`: the awaited iterator is the
// coroutine's for the rest of its life, and its end is the coroutine's. Its
// first step runs here; nothing but the state needs ending if it does not
// yield, and nothing is on the exception stack for a coroutine that has not
// started.
PySendResult start_awaiting(Coroutine* co, Ref awaitable, PyObject** presult) noexcept
{
    PyObject* it = awaitable ? awaitable_iterator(awaitable.get()) : nullptr;
    if (!it)
        return end_unstarted(co, PYGEN_ERROR, presult);
    Ref iterator = it == awaitable.get() ? std::move(awaitable) : Ref::steal(it);
    const PySendResult r = send_to_iterator(iterator.get(), Py_None, presult);
    if (r == PYGEN_NEXT) {
        co->awaiting = iterator.release();
        co->state = CoroutineState::suspended;
        return r;
    }
    return end_unstarted(co, r, presult);
}

// The first step, from `created` (the state is `running` on entry). A
// function's first step, when it has one, runs before any body exists: most
// calls end there, without making a C++ frame, and the others go on in the
// body it names, made as a call without a first step makes it. Nothing is on
// the exception stack for a coroutine that has not started.
PySendResult start(Coroutine* co, PyObject** presult) noexcept
{
    *presult = nullptr;
    if (!co->frame) {
        Ref result;
        CoroutineBodyFn body = nullptr;
        try {
            body = co->spec().first_step(*co, result);
        } catch (PyError& error) {
            error.restore();
            result = nullptr;
        }
        if (!body) {
            *presult = result.release();
            return end_unstarted(co, *presult ? PYGEN_RETURN : PYGEN_ERROR, presult);
        }
        if (body == await_result)
            return start_awaiting(co, std::move(result), presult);
        co->frame = body(*co).release();
        if (!co->frame) {
            PyErr_NoMemory();
            return end_unstarted(co, PYGEN_ERROR, presult);
        }
    }
    return run_body(co, presult);
}

// Resumes the body, handing `in` to the await it is suspended in. The state
// is `running` on entry.
PySendResult resume_body(Coroutine* co, Outcome in, PyObject** presult) noexcept
{
    // No frame: a coroutine whose first step has not run, or one whose first
    // step awaits its result (see start_awaiting()); either ends here.
    CoroutinePromise* promise = co->frame ? &body_handle(co).promise() : nullptr;
    if (!promise)
        return end_with(co, std::move(in), presult);
    if (promise->current) {
        promise->current->deliver(std::move(in));
        promise->current = nullptr;
    } else if (in.failed) {
        // Not suspended in an await (not started yet): the error ends it
        // before any of the body runs, as a thrown-in error does natively.
        return end_with(co, std::move(in), presult);
    }
    return run_body(co, presult);
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

}  // namespace

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
    const bool first = co->state == CoroutineState::created;
    co->state = CoroutineState::running;
    // The first step starts the body; nothing is delivered to it.
    if (first)
        return start(co, presult);
    if (!co->awaiting)
        return resume_body(co, Outcome{none(), false}, presult);
    return step_awaited(co, arg, presult);
}

// tp_iternext, which is how an `await` in Python code steps these objects.
// Most of its calls are the first step of a fresh coroutine (`await f()`),
// which send_step would only check its way through: it starts the body
// directly.
PyObject* next_step(Coroutine* co) noexcept
{
    PyObject* value;
    PySendResult r;
    if (co->state == CoroutineState::created) {
        co->state = CoroutineState::running;
        r = start(co, &value);
    } else {
        r = send_step(co, Py_None, &value);
    }
    if (r != PYGEN_RETURN)
        return value;
    // Returning None ends the iteration without an exception object.
    if (value == Py_None)
        return nullptr;  // None is immortal: no reference to drop
    raise_stop_iteration(value, co->spec());
    return nullptr;
}

// Raises StopIteration carrying `value` (a tuple or exception stays one
// value), taking over the reference. One instance is kept and refilled
// while nothing but this cache refers to it (see
// internals::refill_stop_iteration); it then keeps the last value alive
// until the next refill.
void raise_stop_iteration(PyObject* value, const FunctionSpec& spec) noexcept
{
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        Py_DECREF(value);
        return;
    }
    static PyObject* cached = nullptr;
    const bool reuse = spec.reuses(Reuse::stop_iteration);
    if (reuse && cached && internals::refill_stop_iteration(cached, value))
        return;
    PyObject* fresh = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (!fresh)
        return;
    if (!reuse) {
        PyErr_SetRaisedException(fresh);
        return;
    }
    PyObject* previous = std::exchange(cached, Py_NewRef(fresh));
    PyErr_SetRaisedException(fresh);
    Py_XDECREF(previous);
}

// The result of a step for callers of send(): the yielded value, or
// StopIteration with the returned one.
PyObject* as_send_result(PySendResult r, PyObject* value, const FunctionSpec& spec) noexcept
{
    if (r != PYGEN_RETURN)
        return value;
    raise_stop_iteration(value, spec);
    return nullptr;
}

namespace {

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
        if (internals::lookup_optional_attr(it, interned("close", name_close), &method) < 0)
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
    return as_send_result(r, value, co->spec());
}
PyObject* throw_pending_for_throw(Coroutine* co) noexcept
{
    PyObject* value;
    const PySendResult r = throw_into_body(co, &value);
    return as_send_result(r, value, co->spec());
}

}  // namespace

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
            if (internals::lookup_optional_attr(it.get(), interned("throw", name_throw), &method) < 0)
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
                PyObject* value = internals::stop_iteration_value(stop.get());
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
        // What the body returned while closing: the answer from 3.13 on.
        if (internals::kCloseReturnsValue)
            return value;
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

}  // namespace orvix::py
