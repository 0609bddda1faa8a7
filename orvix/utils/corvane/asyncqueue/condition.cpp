#include "orvix/utils/corvane/asyncqueue/condition.hpp"

#include <cstdint>
#include <utility>

#include "cpython_support/coroutine.hpp"
#include "cpython_support/dict_changes.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/interpreter_internals.hpp"
#include "orvix/utils/corvane/asyncqueue/async_queue.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

StringConstant kNotify{"notify"};
StringConstant kNotifyAll{"notify_all"};
StringConstant kWait{"wait"};
StringConstant kAsyncio{"asyncio"};
StringConstant kCondition{"Condition"};
StringConstant kLockClass{"Lock"};
StringConstant kFutureClass{"Future"};
StringConstant kLock{py::internals::kConditionLock};
StringConstant kLocked{py::internals::kLockLocked};
StringConstant kWaiters{py::internals::kWaiters};
StringConstant kDone{"done"};
StringConstant kSetResult{"set_result"};
StringConstant kGetLoop{py::internals::kGetLoop};
StringConstant kCreateFuture{"create_future"};
StringConstant kAppend{"append"};
StringConstant kRemove{"remove"};
StringConstant kCollections{"collections"};
StringConstant kDeque{"deque"};
StringConstant kDict{"__dict__"};

// asyncio.Condition, asyncio.Lock, asyncio.Future, Future.done and
// collections.deque, looked up once: only instances of these very classes
// (no subclass could change their methods) qualify for the shortcut. Null
// while unknown.
struct AsyncioClasses {
    PyObject* condition = nullptr;
    PyObject* lock = nullptr;
    PyObject* future = nullptr;
    PyObject* future_done = nullptr;        // the unbound methods, called on exact Futures only
    PyObject* future_set_result = nullptr;
    PyObject* deque = nullptr;        // collections.deque, which holds the waiters
};

const AsyncioClasses& asyncio_classes() {
    static AsyncioClasses classes;
    if (!classes.condition) {
        py::Ref asyncio = py::Ref::steal(lookup_global(kAsyncio.get()));
        auto attr = [](const py::Ref& owner, PyObject* name) {
            return owner ? py::Ref::steal(PyObject_GetAttr(owner.get(), name)) : py::Ref();
        };
        py::Ref condition = attr(asyncio, kCondition.get());
        py::Ref lock = attr(asyncio, kLockClass.get());
        py::Ref future = attr(asyncio, kFutureClass.get());
        py::Ref done = attr(future, kDone.get());
        py::Ref set_result = attr(future, kSetResult.get());
        // asyncio imported collections; it is taken from sys.modules, not imported.
        py::Ref collections = py::Ref::steal(PyImport_GetModule(kCollections.get()));
        py::Ref deque = attr(collections, kDeque.get());
        PyErr_Clear();
        if (condition && lock && done && set_result && deque) {
            // kept for the life of the process
            classes.deque = deque.release();
            classes.future_set_result = set_result.release();
            classes.future_done = done.release();
            classes.future = future.release();
            classes.lock = lock.release();
            classes.condition = condition.release();
        }
    }
    return classes;
}

// The instance dictionary of an object of one of asyncio's classes, whose
// attributes `_lock`, `_locked` and `_waiters` are set in __init__ and not
// defined by the class: reading them from the dictionary gives what getattr
// would, without its search of the class first. The dictionary is made on
// the first read (an instance starts with its attributes stored inline) and
// stays; nothing observable changes. Borrowed.
PyObject* instance_dict(PyObject* obj) noexcept { return py::internals::instance_dict(obj); }

// The instance dictionary of `obj` (borrowed), made its own first where it
// shares the object's inline values (see shares_inline_values): a store into
// those would skip the watchers that tell a snapshot of it is stale. The
// attributes stay what they were; only the dictionary object is new, once.
// Set as `obj.__dict__ = ...` would (the type's own setter, which detaches
// the inline values): PyObject_GenericSetDict leaves them in use on 3.13.
// Null when there is none or it cannot be made.
PyObject* watchable_dict(PyObject* obj) noexcept {
    PyObject* dict = instance_dict(obj);
    if (!dict || !py::internals::shares_inline_values(obj, dict)) return dict;
    py::Ref own = py::Ref::steal(PyDict_New());
    if (!own || PyDict_Update(own.get(), dict) < 0 || PyObject_SetAttr(obj, kDict.get(), own.get()) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    dict = instance_dict(obj);
    return dict == own.get() ? dict : nullptr;
}

// Borrowed from `dict`, or null when absent; str keys cannot make the
// lookup fail, only miss.
PyObject* entry(const py::Ref& dict, const StringConstant& name) noexcept {
    return PyDict_GetItemWithError(dict.get(), name.get());
}

// A future once seen done, so the next scan that meets it again needs no
// call: a future does not go back from done to pending (only calling its
// __init__ again would, and nothing does that to a condition's waiter).
// Held through a weak reference, so it keeps nothing alive (a dead referent
// matches nothing); the reference itself is kept until replaced and never
// released at exit, when the interpreter may be gone already.
class KnownDone {
public:
    bool contains(PyObject* future) const noexcept {
        if (!ref_) return false;
        return py::internals::weakref_refers_to(ref_, future);
    }
    void remember(PyObject* future) noexcept {
        PyObject* fresh = PyWeakref_NewRef(future, nullptr);
        if (!fresh) PyErr_Clear();
        Py_XSETREF(ref_, fresh);
    }

private:
    PyObject* ref_ = nullptr;
};

// The first future of `waiters` (a deque, or None) that is still pending,
// as notify() would find it: `found` is left empty when every one is done.
// Only deques of at most a few exact asyncio Futures are looked into (their
// done() changes nothing); items are taken by index, so a deque that changed
// meanwhile ends the scan with false ("don't know").
KnownDone known_done;

// The length of an exact deque, and its item i (new reference), through the
// deque's own slots: the generic entry points would only look them up.
Py_ssize_t deque_length(PyObject* deque) { return Py_TYPE(deque)->tp_as_sequence->sq_length(deque); }
PyObject* deque_item(PyObject* deque, Py_ssize_t i) { return Py_TYPE(deque)->tp_as_sequence->sq_item(deque, i); }

bool first_pending(PyObject* waiters, const AsyncioClasses& classes, py::Ref& found) {
    constexpr Py_ssize_t kMaxLooked = 4;
    if (waiters == Py_None) return true;
    if (!Py_IS_TYPE(waiters, reinterpret_cast<PyTypeObject*>(classes.deque))) return false;
    const Py_ssize_t n = deque_length(waiters);
    if (n < 0 || n > kMaxLooked) return false;
    py::Ref newly_done;  // remembered after the scan: making the weak reference allocates
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref future = py::Ref::steal(deque_item(waiters, i));
        if (!future || reinterpret_cast<PyObject*>(Py_TYPE(future.get())) != classes.future) return false;
        if (known_done.contains(future.get())) continue;
        PyObject* arg = future.get();
        py::Ref done = py::Ref::steal(PyObject_Vectorcall(classes.future_done, &arg, 1, nullptr));
        if (done.get() == Py_False) {
            found = std::move(future);
            break;
        }
        if (done.get() != Py_True) return false;
        newly_done = std::move(future);
    }
    if (newly_done) known_done.remember(newly_done.get());
    return true;
}

// An empty deque or None.
bool none_queued(PyObject* waiters, const AsyncioClasses& classes) {
    return waiters == Py_None ||
           (Py_IS_TYPE(waiters, reinterpret_cast<PyTypeObject*>(classes.deque)) && deque_length(waiters) == 0);
}

// What the last full read of a condition's and its lock's dictionaries
// found, with their addresses and stamps (see dict_changes.hpp: both
// dictionaries are watched from then on): while both dictionaries are the
// ones seen and no watched dictionary changed, the condition's lock is the
// same object, still free, and its `_waiters` and the condition's `_waiters`
// are the same objects, so only the two deques' contents need a look.
// Nothing is owned: the objects are used only after the match has shown that
// the dictionaries holding them are there, unchanged (a freed dictionary
// counts as a change).
struct Snapshot {
    PyObject* cond_dict = nullptr;
    std::uint64_t cond_stamp = 0;
    PyObject* lock = nullptr;
    PyObject* lock_dict = nullptr;
    std::uint64_t lock_stamp = 0;
    PyObject* lock_waiters = nullptr;  // None or a deque
    PyObject* waiters = nullptr;       // the condition's deque
};

bool unchanged(PyObject* dict, PyObject* seen, std::uint64_t stamp) {
    return dict == seen && py::dict_unchanged(stamp);
}

// The condition's `_waiters` deque (borrowed) when its lock is free with
// nobody queued for it, so that `async with cond:` would take it without
// suspending; null otherwise, or when in doubt.
PyObject* waiters_of_free_condition(PyObject* cond) {
    static Snapshot last;
    const AsyncioClasses& classes = asyncio_classes();
    if (!classes.condition || reinterpret_cast<PyObject*>(Py_TYPE(cond)) != classes.condition) return nullptr;
    PyObject* cond_dict = instance_dict(cond);
    if (!cond_dict) return nullptr;
    if (unchanged(cond_dict, last.cond_dict, last.cond_stamp) &&
        reinterpret_cast<PyObject*>(Py_TYPE(last.lock)) == classes.lock &&
        unchanged(instance_dict(last.lock), last.lock_dict, last.lock_stamp)) {
        return none_queued(last.lock_waiters, classes) ? last.waiters : nullptr;
    }
    // The full read. The stamp of the condition's dictionary is taken
    // before its entries are read, and the read counts only if that
    // dictionary is still the condition's and unchanged after making the
    // lock's dictionary, which allocates and so may run the collector, and
    // with it any code (the dictionary is held meanwhile).
    cond_dict = watchable_dict(cond);
    if (!cond_dict) return nullptr;
    py::Ref hold_cond_dict = py::Ref::borrow(cond_dict);
    const std::uint64_t cond_stamp = py::dict_stamp(cond_dict);
    py::Ref lock = py::Ref::borrow(entry(hold_cond_dict, kLock));
    if (!lock || reinterpret_cast<PyObject*>(Py_TYPE(lock.get())) != classes.lock) return nullptr;
    PyObject* waiters = entry(hold_cond_dict, kWaiters);
    py::Ref lock_dict = py::Ref::borrow(watchable_dict(lock.get()));
    if (!lock_dict || instance_dict(cond) != cond_dict || !py::dict_unchanged(cond_stamp)) return nullptr;
    const std::uint64_t lock_stamp = py::dict_stamp(lock_dict.get());
    if (entry(lock_dict, kLocked) != Py_False) return nullptr;
    PyObject* lock_waiters = entry(lock_dict, kWaiters);
    PyTypeObject* deque = reinterpret_cast<PyTypeObject*>(classes.deque);
    if (!lock_waiters || (lock_waiters != Py_None && !Py_IS_TYPE(lock_waiters, deque))) return nullptr;
    if (!waiters || !Py_IS_TYPE(waiters, deque)) return nullptr;
    last = {cond_dict, cond_stamp, lock.get(), lock_dict.get(), lock_stamp, lock_waiters, waiters};
    return none_queued(lock_waiters, classes) ? waiters : nullptr;
}

}  // namespace

bool notify_if_lock_free(OrvixAsyncQueue* q, const char* method) {
    PyObject* waiters = waiters_of_free_condition(q->_notify_cond);
    py::Ref pending;
    if (!waiters || !first_pending(waiters, asyncio_classes(), pending)) {
        PyErr_Clear();  // the full block reports any real fault
        return false;
    }
    if (!pending) return true;  // everyone is woken already
    // What notify() does to the first pending waiter. The future is done
    // from here on: the next producer's scan need not ask it again.
    PyObject* args[] = {pending.get(), Py_False};
    py::Ref result = py::Ref::steal(PyObject_Vectorcall(asyncio_classes().future_set_result, args, 2, nullptr));
    if (!result) {
        add_member_traceback(&AsyncQueueType, method);
        throw py::PyError();
    }
    known_done.remember(pending.get());
    return true;
}

void notify_waiters(OrvixAsyncQueue* q, Wake which, const char* method) {
    PyObject* name = which == Wake::one ? kNotify.get() : kNotifyAll.get();
    py::Ref result = py::Ref::steal(PyObject_CallMethodNoArgs(q->_notify_cond, name));
    if (result) return;
    add_member_traceback(&AsyncQueueType, method);
    throw py::PyError();
}

py::Ref wait_if_lock_free(OrvixAsyncQueue* q) {
    PyObject* cond = q->_notify_cond;
    PyObject* found = waiters_of_free_condition(cond);
    if (!found) {
        PyErr_Clear();  // the full block reports any real fault
        return {};
    }
    // What wait() does between giving the lock back and awaiting; held
    // meanwhile: making the future runs Python code.
    py::Ref waiters = py::Ref::borrow(found);
    py::Ref loop = py::check(py::Ref::steal(PyObject_CallMethodNoArgs(cond, kGetLoop.get())));
    py::Ref future = py::check(py::Ref::steal(PyObject_CallMethodNoArgs(loop.get(), kCreateFuture.get())));
    py::check(py::Ref::steal(PyObject_CallMethodOneArg(waiters.get(), kAppend.get(), future.get())));
    return future;
}

void forget_waiter(OrvixAsyncQueue* q, PyObject* future) {
    py::Ref waiters = py::check(py::Ref::steal(PyObject_GetAttr(q->_notify_cond, kWaiters.get())));
    py::check(py::Ref::steal(PyObject_CallMethodOneArg(waiters.get(), kRemove.get(), future)));
}

void wake_first_waiter(OrvixAsyncQueue* q) {
    // The scan of notify(): the first future not done gets the result False.
    // Done futures stay done and set_result() only schedules callbacks, so
    // the deque does not change under the iteration.
    py::Ref waiters = py::check(py::Ref::steal(PyObject_GetAttr(q->_notify_cond, kWaiters.get())));
    py::Ref it = py::check(py::Ref::steal(PyObject_GetIter(waiters.get())));
    while (py::Ref future = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref done = py::check(py::Ref::steal(PyObject_CallMethodNoArgs(future.get(), kDone.get())));
        if (py::check(PyObject_IsTrue(done.get()))) continue;
        py::check(py::Ref::steal(PyObject_CallMethodOneArg(future.get(), kSetResult.get(), Py_False)));
        return;
    }
    if (PyErr_Occurred()) throw py::PyError();
}

py::Ref condition_wait(OrvixAsyncQueue* q) {
    return py::check(py::Ref::steal(PyObject_CallMethodNoArgs(q->_notify_cond, kWait.get())));
}

}  // namespace orvix::corvane
