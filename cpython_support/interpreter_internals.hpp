// Every place where this tree depends on the version of CPython it is built
// for, in one list: the uses of CPython internals (beyond the documented,
// stable C API), the layout facts checked at import, the public calls that
// differ between versions and the behaviour of native coroutines that the
// runtime's coroutines copy. Code elsewhere uses these wrappers and
// constants instead, so that a move to a newer interpreter is reviewed here.
//
// The tree builds for CPython 3.12 and 3.13 (one build per version). Each
// entry says why it is there, what 3.13 changed (checked against its
// headers and sources) and what 3.14 changes (on paper: no 3.14 is
// installed here; docs/platforms.md gathers these notes, and what a
// free-threaded build would need).
//
// Eleven internals (entries 1 to 11), as before 3.13 was added: 6 and 7
// are internals on 3.12 only (public from 3.13 on) and 11 is read on 3.12
// only; 4 and 8 stay because a benchmark on both versions shows they pay,
// and 10 and 11 because reading asyncio's attributes again on every wake-up
// cost AsyncQueue about a sixth of its lead over asyncio.Queue on 3.12.
// Entries 12 to 15 are version facts of the public API and of native
// coroutines' behaviour.
#pragma once

#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030C0000 || PY_VERSION_HEX >= 0x030E0000
#    error "orvix builds for CPython 3.12 and 3.13: review every entry of this file for another version"
#endif

namespace orvix::py::internals {

// 1. The thread's stack of handled exceptions (PyThreadState::exc_info,
//    _PyErr_StackItem).
//    Why: a native coroutine puts its own entry on this stack while its frame
//    runs, so sys.exception() inside it is the exception it handles and new
//    exceptions chain to it; a coroutine written in C++ must do the same and
//    no public call pushes or pops an entry.
//    3.13: unchanged (same struct, same field).
//    3.14: unchanged in the default build. A free-threaded build keeps it
//    per thread state too: nothing else shares it.
using ExceptionStackItem = _PyErr_StackItem;

inline void push_exception_stack(PyThreadState* tstate, ExceptionStackItem* item) noexcept
{
    item->previous_item = tstate->exc_info;
    tstate->exc_info = item;
}
inline void pop_exception_stack(PyThreadState* tstate, ExceptionStackItem* item) noexcept
{
    tstate->exc_info = item->previous_item;
    item->previous_item = nullptr;
}

// 2. The frame state of a native coroutine (PyCoroObject::cr_frame_state).
//    Why: `await coro` must refuse a coroutine another await is already
//    driving; the interpreter asks whether it is suspended in an await, then
//    for cr_await. Reading the state saves that attribute lookup on every
//    await of a fresh `async def` coroutine (a dispatch task awaits one per
//    message).
//    3.12: -1 is "suspended" (created -2), the only state with an awaited
//    object. 3.13: the values moved (created -3, suspended -2), and -1 is
//    "suspended in an await" (FRAME_SUSPENDED_YIELD_FROM): the same test
//    answers the same question.
//    3.14: to be read against its pycore_frame.h before the version is
//    added here; where the field is not readable the answer is "maybe",
//    which sends the caller to the public cr_await (the same result, slower).
inline bool native_coroutine_maybe_awaiting(PyObject* coro) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000
    constexpr std::int8_t kSuspendedInAwait = -1;
    return reinterpret_cast<PyCoroObject*>(coro)->cr_frame_state == kSuspendedInAwait;
#else
    (void)coro;
    return true;
#endif
}

// 3. The flags of a generator's code object (PyCodeObject::co_flags).
//    Why: a generator made by a `types.coroutine` function (asyncio.sleep(0)
//    is one) is awaitable as it is, which only its code flags tell (the
//    interpreter asks the same). PyGen_GetCode returns a new reference,
//    released at once.
//    3.13: unchanged; the code object's fields are documented as subject to
//    change at any time. 3.14: unchanged.
inline bool is_iterable_coroutine(PyObject* obj) noexcept
{
    if (!PyGen_CheckExact(obj))
        return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(obj));
    const bool iterable = (code->co_flags & CO_ITERABLE_COROUTINE) != 0;
    Py_DECREF(code);
    return iterable;
}

// 4. The fields of a StopIteration (PyStopIterationObject), read and
//    refilled in place.
//    Why: every value a coroutine returns to an `await` in Python code
//    travels in a StopIteration that the awaiting frame takes apart at once
//    (a native coroutine's frame is run in line and needs none). Reading
//    `value` is what the interpreter does; refilling one cached instance
//    whenever nothing but the cache refers to it (its reference count is
//    exact) saves making an exception object per return. Kept because it
//    pays on both versions: bench/bench_coroutine.py's table of what each
//    reuse buys measured calls that return a value 1.70x (3.12) and 1.66x
//    (3.13) as slow without it.
//    3.13: unchanged. 3.14: unchanged in the default build. A free-threaded
//    build has no exact reference count: refill_stop_iteration answers false
//    there.
inline PyObject* stop_iteration_value(PyObject* stop) noexcept
{
    return reinterpret_cast<PyStopIterationObject*>(stop)->value;
}

// Makes `cached` (a StopIteration held only by the caller's cache) carry
// `value` as if it were new, and raises it; the StopIteration takes over the
// caller's reference to `value`. False when it is shared or not in its plain
// form; nothing changed then (the caller keeps its reference).
inline bool refill_stop_iteration(PyObject* cached, PyObject* value) noexcept
{
#ifdef Py_GIL_DISABLED
    (void)cached;
    (void)value;
    return false;
#else
    auto* stop = reinterpret_cast<PyStopIterationObject*>(cached);
    PyObject* args = stop->args;
    if (Py_REFCNT(cached) != 1 || !args || Py_REFCNT(args) != 1 || !PyTuple_CheckExact(args) ||
        PyTuple_GET_SIZE(args) != 1)
        return false;
    // The new state goes in first and the old one is dropped after the
    // raise: the old objects' destructors may run code that raises again.
    PyObject* old_arg = PyTuple_GET_ITEM(args, 0);
    PyObject* old_value = stop->value;
    PyTuple_SET_ITEM(args, 0, Py_NewRef(value));
    stop->value = value;
    stop->suppress_context = 0;
    // Only when someone kept it long enough to decorate it (one test of
    // all five fields for the usual case, where none is set).
    const bool decorated = (reinterpret_cast<std::uintptr_t>(stop->dict) |
                            reinterpret_cast<std::uintptr_t>(stop->notes) |
                            reinterpret_cast<std::uintptr_t>(stop->traceback) |
                            reinterpret_cast<std::uintptr_t>(stop->context) |
                            reinterpret_cast<std::uintptr_t>(stop->cause)) != 0;
    if (decorated) [[unlikely]] {
        PyObject* old[] = {stop->dict, stop->notes, stop->traceback, stop->context, stop->cause};
        stop->dict = stop->notes = stop->traceback = stop->context = stop->cause = nullptr;
        PyErr_SetRaisedException(Py_NewRef(cached));
        for (PyObject* o : old)
            Py_XDECREF(o);
    } else {
        PyErr_SetRaisedException(Py_NewRef(cached));
    }
    Py_XDECREF(old_arg);
    Py_XDECREF(old_value);
    return true;
#endif
}

// 5. The type's own attribute lookup (_PyType_Lookup).
//    Why: special methods (__aenter__, __aexit__) are looked up on the type,
//    through its MRO and method cache, never on the instance; the public
//    getattr would consult the instance and the metaclass.
//    Lends its result. 3.13: still exported, beside _PyType_LookupRef, which
//    returns a new reference. 3.14: both still exported; a free-threaded
//    build must use _PyType_LookupRef (a lent result may die meanwhile).
inline PyObject* lookup_on_type(PyTypeObject* type, PyObject* name) noexcept
{
    return _PyType_Lookup(type, name);
}

// 6. An attribute lookup that reports absence without raising
//    (_PyObject_LookupAttr on 3.12).
//    Why: close() and throw() of an awaited iterator are optional; making and
//    discarding an AttributeError per step would cost more than the step.
//    Returns 1 (found, *result a new reference), 0 (absent) or -1 (error).
//    3.13: public as PyObject_GetOptionalAttr (no internal from here on);
//    the private name is gone. 3.14: the same.
inline int lookup_optional_attr(PyObject* obj, PyObject* name, PyObject** result) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// 7. Whether the interpreter is finalizing (_Py_IsFinalizing on 3.12).
//    Why: a native thread asking for the interpreter lock after finalization
//    began is ended on the spot (3.12, 3.13); it checks first and leaves
//    quietly.
//    3.13: public as Py_IsFinalizing (no internal from here on).
//    3.14: a thread that asks for the lock during finalization is parked
//    for good instead of ended. The check stays, but it can no longer be
//    the only guard: see docs/platforms.md for what a reader must not hold
//    when it asks.
inline bool interpreter_finalizing() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// 8. Reusing the memory of a released GC object for a new one of the same
//    type and size (_Py_NewReference over a PyObject_GC_NewVar block whose
//    type and size fields still hold what they held).
//    Why: the coroutine objects of one function are made and dropped at the
//    rate of awaits; keeping a few released ones saves the allocator and the
//    collector's allocation count. The block keeps its GC header untracked
//    and its reference to the type (so neither is set up again);
//    _Py_NewReference is what PyObject_InitVar does besides, and it also
//    tells tracemalloc about the new object. A block whose header carries
//    the "finalized" mark is never reused, as it would not be finalized
//    again. Kept because it pays on both versions: bench/bench_coroutine.py's
//    table of what each reuse buys measured calls 1.27x (3.12) and 1.20x
//    (3.13) as slow without it. (The third reuse, of the bodies' C++
//    frames, uses no internal: 1.08x on both.)
//    3.13: the same header in the default build, _Py_NewReference still
//    exported. 3.14: the same in the default build (the incremental
//    collector counts allocations where PyObject_GC_NewVar and tp_free
//    meet, which reuse skips in pairs). The free-threaded build keeps the GC
//    state in the object header itself: the pool is off there.
inline constexpr bool kReusesGcObjects =
#ifdef Py_GIL_DISABLED
    false;
#else
    true;
#endif

inline void revive_gc_object(PyObject* block) noexcept
{
    _Py_NewReference(block);
}

// 9. Private attributes of asyncio.Condition and asyncio.Lock (_lock,
//    _locked, _waiters).
//    Why: a whole `async with cond:` block around notify() or wait() costs
//    more than the rest of a push or a pop; reading these tells that the
//    lock is free and unwanted, so that the block's work can be done
//    without it, and whether anybody waits at all. Only instances of
//    exactly these classes are read, and any missing or odd attribute
//    makes the reader take the full path, so a change of asyncio's layout
//    costs speed, never correctness (tests change the layout to check it).
//    3.13: the same attributes with the same types (wait() now passes a
//    wake-up on when it fails after being woken, as the lock-free wait
//    already did). 3.14: the same attributes in asyncio's sources.
inline constexpr const char kConditionLock[] = "_lock";
inline constexpr const char kLockLocked[] = "_locked";
inline constexpr const char kWaiters[] = "_waiters";
//    Also the condition's _get_loop() (of asyncio's mixin for loop-bound
//    objects): a consumer that waits on the condition without its lock
//    makes its future as wait() does, on the loop _get_loop() binds.
//    3.13, 3.14: unchanged.
inline constexpr const char kGetLoop[] = "_get_loop";

// 10. The instance dictionary, lent (_PyObject_GetDictPtr).
//    Why: the attributes of 9 are read from it; the public
//    PyObject_GenericGetDict gives the same dictionary (made on first use,
//    from the attributes stored inline) as a new reference, at twice the
//    cost. Null when the object has none.
//    3.13: unchanged (it makes the dictionary from the inline values on
//    first use, as 3.12 does). 3.14: still exported; a free-threaded build
//    needs the new reference of PyObject_GenericGetDict instead.
inline PyObject* instance_dict(PyObject* obj) noexcept
{
    PyObject** slot = _PyObject_GetDictPtr(obj);
    return slot ? *slot : nullptr;
}

// 11. Whether an instance dictionary shares its object's inline values
//    (PyDictObject::ma_values pointing into the object itself).
//    Why: AsyncQueue keeps what it read of the attributes of 9 while their
//    two dictionaries stay unchanged, and learns of every change through the
//    public dictionary watchers (cpython_support/dict_changes.hpp). A store
//    into a dictionary that shares the object's inline values goes to those
//    values and skips the watchers (checked on 3.13 by the watcher test of
//    tests/python/test_asyncqueue_flow.py), so such an object first gets a
//    dictionary of its own (set as `obj.__dict__ = copy` sets it), whose
//    every change the watchers see. Measured: AsyncQueue's gain over asyncio.Queue drops by
//    about a sixth when every wake-up reads the attributes again.
//    3.12: the object's values move into the dictionary when it is made;
//    nothing is shared (false). 3.13: the values stay inline, at the end of
//    the object (tp_basicsize), and the dictionary points at them. 3.14: to
//    be checked the same way (the version tag 3.12 offered is gone there).
inline bool shares_inline_values(PyObject* obj, PyObject* dict) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    const char* values = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dict)->ma_values);
    const char* object = reinterpret_cast<const char*>(obj);
    return values && values >= object && values <= object + Py_TYPE(obj)->tp_basicsize;
#else
    (void)obj;
    (void)dict;
    return false;
#endif
}

// ---- Version facts of the public API ----------------------------------------

// 12. The basic size of `type` objects (sizeof(PyHeapTypeObject)), which
//    the import of `builtins.type` checks (a larger size only warns, "size
//    changed, may indicate binary incompatibility").
//    3.12: 920. 3.13: 928 (PyTypeObject gained tp_versions_used).
//    3.14: larger again (PyHeapTypeObject gains ht_token): its own headers'
//    sizeof is the figure to write here.
inline constexpr Py_ssize_t kTypeObjectSize =
#if PY_VERSION_HEX < 0x030D0000
    920;
#else
    928;
#endif
static_assert(kTypeObjectSize == sizeof(PyHeapTypeObject), "the size of type objects of this version");

// 13. Whether a weak reference still refers to an object.
//    3.12: PyWeakref_GetObject, which lends the referent. 3.13: that call
//    is deprecated (removed in 3.15) for PyWeakref_GetRef, which gives a new
//    reference (and is the one a free-threaded build can use).
inline bool weakref_refers_to(PyObject* ref, PyObject* obj) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* referent = nullptr;
    if (PyWeakref_GetRef(ref, &referent) < 0)
        PyErr_Clear();
    Py_XDECREF(referent);  // only compared, never used
    return referent == obj;
#else
    return PyWeakref_GetObject(ref) == obj;
#endif
}

// ---- Behaviour of native coroutines that the runtime's coroutines copy ----

// 14. What close() of a coroutine answers when the coroutine returns a value
//    while closing (catches GeneratorExit and returns).
//    3.12: None. 3.13: the returned value (None for a bare return).
//    3.14: as 3.13.
inline constexpr bool kCloseReturnsValue = PY_VERSION_HEX >= 0x030D0000;

// 15. The interpreter's version the build targets, compared at import with
//    the running one (a mismatch warns: "compile time Python version ...").
//    PY_MAJOR_VERSION and PY_MINOR_VERSION of the headers in use; named here
//    only so that this list is complete.

}  // namespace orvix::py::internals
