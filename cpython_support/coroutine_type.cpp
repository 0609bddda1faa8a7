// The Python type of the coroutine objects: creation, the slots (each step
// goes to the driver), attributes, finalisation, GC support and reuse of
// released objects.
#include "cpython_support/coroutine_object.hpp"

#include "cpython_support/coroutine_body.hpp"
#include "cpython_support/coroutine_driver.hpp"
#include "cpython_support/interpreter_internals.hpp"
#include "cpython_support/name_attributes.hpp"

#include <structmember.h>

#include <cstddef>
#include <utility>

namespace orvix::py {
namespace {

PyTypeObject* g_coroutine_type = nullptr;

PySendResult coroutine_am_send(PyObject* self, PyObject* arg, PyObject** presult)
{
    return send_step(as_coroutine(self), arg, presult);
}

PyObject* coroutine_iternext(PyObject* self) { return next_step(as_coroutine(self)); }

PyObject* coroutine_send(PyObject* self, PyObject* arg)
{
    PyObject* value;
    const PySendResult r = send_step(as_coroutine(self), arg, &value);
    return as_send_result(r, value, as_coroutine(self)->spec());
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
    co->finalized = true;
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
    if (co->state != CoroutineState::finished)
        finish(co);  // a finished one holds no body, awaitable or exception
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
    // The function (and so its pool) lives at least as long as this object
    // refers to it; the reference goes last. An object that went through
    // its finalizer carries that mark in its GC header for good, and a
    // reused one would never be finalized again: only ones whose finalizer
    // never ran are kept (the interpreter marks the header only after
    // calling it, so `finalized` is set whenever the mark is). A kept block
    // keeps its reference to the type for its next life, and to its names
    // while they are still the function's, which the next call would take
    // again. Names dropped here go before the block is offered to the pool:
    // dropping one may run code, which must not find the block there yet.
    Function* fn = as_function(co->function);
    co->function = nullptr;
    const bool reusable =
        internals::kReusesGcObjects && !co->finalized && fn->spec->reuses(Reuse::coroutine_objects);
    if (!reusable || co->name != fn->name)
        Py_CLEAR(co->name);
    if (!reusable || co->qualname != fn->qualname)
        Py_CLEAR(co->qualname);
    if (!reusable || !fn->spec->coroutines.keep(self, static_cast<std::size_t>(Py_SIZE(co)))) {
        // Still the function's names here, if any: dropping them runs nothing.
        Py_XDECREF(co->name);
        Py_XDECREF(co->qualname);
        type->tp_free(self);
        Py_DECREF(type);
    }
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

}  // namespace

bool is_coroutine_object(PyObject* obj) noexcept
{
    return g_coroutine_type && Py_IS_TYPE(obj, g_coroutine_type);
}

PyTypeObject* coroutine_type()
{
    if (!g_coroutine_type)
        g_coroutine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&coroutine_spec));
    return g_coroutine_type;
}

namespace {

// A coroutine object of `fn` that no released one stands in for, or null
// (MemoryError). Out of line: calls in a loop reuse released ones.
[[gnu::noinline]] Coroutine* fresh_coroutine(Function& fn, Py_ssize_t nslots) noexcept
{
    Coroutine* co = PyObject_GC_NewVar(Coroutine, g_coroutine_type, nslots);
    if (co) {
        co->name = Py_NewRef(fn.name);
        co->qualname = Py_NewRef(fn.qualname);
    }
    return co;
}

// The names of a reused coroutine object, which are those of a function of
// this description (or null): usually already this function's.
[[gnu::noinline]] void rename(Coroutine* co, Function& fn) noexcept
{
    if (co->name != fn.name)
        replace_field(co->name, Py_NewRef(fn.name));
    if (co->qualname != fn.qualname)
        replace_field(co->qualname, Py_NewRef(fn.qualname));
}

}  // namespace

PyObject* new_coroutine(Function& fn, PyObject* self, PyObject* const* values, PyObject* rest)
{
    const FunctionSpec& spec = *fn.spec;
    const Parameters& params = spec.params;
    const Py_ssize_t nself = spec.method ? 1 : 0;
    const Py_ssize_t nslots = nself + params.count + (params.varargs ? 1 : 0);
    // A released coroutine object of this function is reused as it is: same
    // size and type (whose reference it kept), untracked, its references
    // dropped but for its names.
    Coroutine* co = spec.reuses(Reuse::coroutine_objects)
                        ? static_cast<Coroutine*>(spec.coroutines.take(static_cast<std::size_t>(nslots)))
                        : nullptr;
    if (co) [[likely]] {
        internals::revive_gc_object(reinterpret_cast<PyObject*>(co));
        if (co->name != fn.name || co->qualname != fn.qualname) [[unlikely]]
            rename(co, fn);
    } else if (!(co = fresh_coroutine(fn, nslots))) {
        Py_XDECREF(rest);
        return nullptr;
    }
    co->frame = {};
    co->function = Py_NewRef(reinterpret_cast<PyObject*>(&fn));
    co->awaiting = nullptr;
    co->weakreflist = nullptr;
    co->held.next = co->held.prev = &co->held;
    co->held.object = nullptr;
    co->exc_state.exc_value = nullptr;
    co->exc_state.previous_item = nullptr;
    co->state = CoroutineState::created;
    co->finalized = false;
    PyObject** slot = co->slots;
    if (spec.method)
        *slot++ = Py_NewRef(self);
    for (int i = 0; i < params.count; ++i)
        *slot++ = Py_NewRef(values[i]);
    if (params.varargs)
        *slot = rest;
    // A function with a first step makes its body, if at all, in that step.
    if (!spec.first_step) {
        co->frame = spec.body(*co).release();
        if (!co->frame) {
            co->state = CoroutineState::finished;
            Py_DECREF(co);
            PyErr_NoMemory();
            return nullptr;
        }
    }
    PyObject_GC_Track(co);
    return reinterpret_cast<PyObject*>(co);
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

}  // namespace orvix::py
