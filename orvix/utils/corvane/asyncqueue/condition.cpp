#include "orvix/utils/corvane/asyncqueue/condition.hpp"

#include "cpython_support/coroutine.hpp"
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
StringConstant kCollections{"collections"};
StringConstant kDeque{"deque"};

// asyncio.Condition, asyncio.Lock, asyncio.Future, Future.done and
// collections.deque, looked up once: only instances of these very classes (no subclass could change their
// methods) qualify for the shortcut. Null while unknown.
struct AsyncioClasses {
    PyObject* condition = nullptr;
    PyObject* lock = nullptr;
    PyObject* future = nullptr;
    PyObject* future_done = nullptr;  // the unbound method, called on exact Futures only
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
        // asyncio imported collections; it is taken from sys.modules, not imported.
        py::Ref collections = py::Ref::steal(PyImport_GetModule(kCollections.get()));
        py::Ref deque = attr(collections, kDeque.get());
        PyErr_Clear();
        if (condition && lock && done && deque) {
            // kept for the life of the process
            classes.deque = deque.release();
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
// stays; nothing observable changes. Held by the caller: making the next
// object's dictionary allocates, which may run the collector, and with it
// any code.
py::Ref instance_dict(PyObject* obj) { return py::Ref::borrow(py::internals::instance_dict(obj)); }

// One attribute of one of asyncio's classes, read from instance
// dictionaries. The instances of a class store their attributes in one
// order, so the entry is looked for first at the position where it was found
// last; the pair found there counts only if its key is the very name object
// (dictionary keys are unique, so that pair is the attribute). Otherwise the
// entries are scanned and the position remembered. Cheaper than a hashed
// lookup, and never wrong: a key that is an equal but distinct string is not
// recognised, which reads as "absent" and only costs the shortcut.
class AttributeSlot {
public:
    explicit constexpr AttributeSlot(const StringConstant& name) noexcept : name_(name) {}

    // Borrowed from `dict`, or null when absent.
    PyObject* read(const py::Ref& dict) noexcept {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = hint_;
        if (PyDict_Next(dict.get(), &pos, &key, &value) && key == name_.get()) return value;
        for (pos = 0; PyDict_Next(dict.get(), &pos, &key, &value);) {
            if (key == name_.get()) {
                hint_ = pos - 1;  // the position of the entry just returned
                return value;
            }
        }
        return nullptr;
    }

private:
    const StringConstant& name_;
    Py_ssize_t hint_ = 0;
};

AttributeSlot condition_lock{kLock};
AttributeSlot condition_waiters{kWaiters};
AttributeSlot lock_locked{kLocked};
AttributeSlot lock_waiters_slot{kWaiters};

// A future once seen done, so the next scan that meets it again needs no
// call: a future does not go back from done to pending (only calling its
// __init__ again would do that, and nothing does so to a condition's waiter). Held through a weak reference,
// so it keeps nothing alive (a dead referent matches nothing); the reference
// itself is kept until replaced and never released at exit, when the
// interpreter may be gone already.
class KnownDone {
public:
    bool contains(PyObject* future) const noexcept {
        if (!ref_) return false;
#if PY_VERSION_HEX >= 0x030D0000
        PyObject* referent = nullptr;
        if (PyWeakref_GetRef(ref_, &referent) < 0) PyErr_Clear();
        Py_XDECREF(referent);  // only compared, never used
        return referent == future;
#else
        return PyWeakref_GET_OBJECT(ref_) == future;
#endif
    }
    void remember(PyObject* future) noexcept {
        PyObject* fresh = PyWeakref_NewRef(future, nullptr);
        if (!fresh) PyErr_Clear();
        Py_XSETREF(ref_, fresh);
    }

private:
    PyObject* ref_ = nullptr;
};

// `waiters` (a deque, or None) holds no future that is still pending. Only
// deques of at most a few exact asyncio Futures are looked into (their done()
// changes nothing); items are taken by index, so a deque that changed
// meanwhile ends the scan with "no".
bool all_done(PyObject* waiters, const AsyncioClasses& classes) {
    constexpr Py_ssize_t kMaxLooked = 4;
    static KnownDone known_done;
    if (waiters == Py_None) return true;
    if (!Py_IS_TYPE(waiters, reinterpret_cast<PyTypeObject*>(classes.deque))) return false;
    const Py_ssize_t n = PySequence_Size(waiters);
    if (n < 0 || n > kMaxLooked) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref future = py::Ref::steal(PySequence_GetItem(waiters, i));
        if (!future || reinterpret_cast<PyObject*>(Py_TYPE(future.get())) != classes.future) return false;
        if (known_done.contains(future.get())) continue;
        PyObject* arg = future.get();
        py::Ref done = py::Ref::steal(PyObject_Vectorcall(classes.future_done, &arg, 1, nullptr));
        if (done.get() != Py_True) return false;
        known_done.remember(future.get());
    }
    return true;
}

// An empty deque or None.
bool none_queued(PyObject* waiters, const AsyncioClasses& classes) {
    return waiters == Py_None ||
           (Py_IS_TYPE(waiters, reinterpret_cast<PyTypeObject*>(classes.deque)) && PySequence_Size(waiters) == 0);
}

bool uncontended(PyObject* cond) {
    const AsyncioClasses& classes = asyncio_classes();
    if (!classes.condition || reinterpret_cast<PyObject*>(Py_TYPE(cond)) != classes.condition) return false;
    py::Ref cond_dict = instance_dict(cond);
    if (!cond_dict) return false;
    py::Ref lock = py::Ref::borrow(condition_lock.read(cond_dict));
    if (!lock || reinterpret_cast<PyObject*>(Py_TYPE(lock.get())) != classes.lock) return false;
    py::Ref lock_dict = instance_dict(lock.get());
    if (!lock_dict || lock_locked.read(lock_dict) != Py_False) return false;
    PyObject* lock_waiters = lock_waiters_slot.read(lock_dict);
    if (!lock_waiters || !none_queued(lock_waiters, classes)) return false;
    py::Ref waiters = py::Ref::borrow(condition_waiters.read(cond_dict));
    return waiters && all_done(waiters.get(), classes);
}

}  // namespace

bool nobody_to_wake(OrvixAsyncQueue* q) {
    const bool skip = uncontended(q->_notify_cond);
    if (!skip) PyErr_Clear();  // the full block reports any real fault
    return skip;
}

void notify_waiters(OrvixAsyncQueue* q, Wake which, const char* method) {
    PyObject* name = which == Wake::one ? kNotify.get() : kNotifyAll.get();
    py::Ref result = py::Ref::steal(PyObject_CallMethodNoArgs(q->_notify_cond, name));
    if (result) return;
    add_member_traceback(&AsyncQueueType, method);
    throw py::PyError();
}

py::Ref condition_wait(OrvixAsyncQueue* q) {
    return py::check(py::Ref::steal(PyObject_CallMethodNoArgs(q->_notify_cond, kWait.get())));
}

}  // namespace orvix::corvane
