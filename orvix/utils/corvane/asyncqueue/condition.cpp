#include "orvix/utils/corvane/asyncqueue/condition.hpp"

#include "cpython_support/coroutine.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/interpreter_internals.hpp"
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
StringConstant kLock{py::internals::kConditionLock};
StringConstant kLocked{py::internals::kLockLocked};
StringConstant kWaiters{py::internals::kWaiters};
StringConstant kDone{"done"};

// asyncio.Condition and asyncio.Lock, looked up once: only instances of these
// very classes (no subclass could change their methods) qualify for the
// shortcut. Null while unknown.
struct AsyncioClasses {
    PyObject* condition = nullptr;
    PyObject* lock = nullptr;
};

const AsyncioClasses& asyncio_classes() {
    static AsyncioClasses classes;
    if (!classes.condition) {
        py::Ref asyncio = py::Ref::steal(lookup_global(kAsyncio.get()));
        py::Ref condition = asyncio ? py::Ref::steal(PyObject_GetAttr(asyncio.get(), kCondition.get())) : py::Ref();
        py::Ref lock = condition ? py::Ref::steal(PyObject_GetAttr(asyncio.get(), kLockClass.get())) : py::Ref();
        if (lock) {
            classes.lock = lock.release();  // kept for the life of the process
            classes.condition = condition.release();
        }
        PyErr_Clear();
    }
    return classes;
}

// Every future in `waiters` (a deque, or None) is done already.
bool all_done(PyObject* waiters) {
    if (waiters == Py_None) return true;
    py::Ref it = py::Ref::steal(PyObject_GetIter(waiters));
    if (!it) return false;
    while (py::Ref future = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref done = py::Ref::steal(PyObject_CallMethodNoArgs(future.get(), kDone.get()));
        if (done.get() != Py_True) return false;
    }
    return !PyErr_Occurred();
}

bool uncontended(PyObject* cond) {
    const AsyncioClasses& classes = asyncio_classes();
    if (!classes.condition || reinterpret_cast<PyObject*>(Py_TYPE(cond)) != classes.condition) return false;
    py::Ref lock = py::Ref::steal(PyObject_GetAttr(cond, kLock.get()));
    if (!lock || reinterpret_cast<PyObject*>(Py_TYPE(lock.get())) != classes.lock) return false;
    py::Ref locked = py::Ref::steal(PyObject_GetAttr(lock.get(), kLocked.get()));
    if (locked.get() != Py_False) return false;
    py::Ref lock_waiters = py::Ref::steal(PyObject_GetAttr(lock.get(), kWaiters.get()));
    if (!lock_waiters || (lock_waiters.get() != Py_None && PyObject_Length(lock_waiters.get()) != 0)) return false;
    py::Ref waiters = py::Ref::steal(PyObject_GetAttr(cond, kWaiters.get()));
    return waiters && all_done(waiters.get());
}

}  // namespace

bool nobody_to_wake(OrvixAsyncQueue* q) {
    const bool skip = uncontended(q->_notify_cond);
    if (!skip) PyErr_Clear();  // the full block reports any real fault
    return skip;
}

void notify_waiters(OrvixAsyncQueue* q, Wake which, const char* traceback_name) {
    PyObject* name = which == Wake::one ? kNotify.get() : kNotifyAll.get();
    py::Ref result = py::Ref::steal(PyObject_CallMethodNoArgs(q->_notify_cond, name));
    if (result) return;
    py::add_traceback(traceback_name, 1);
    throw py::PyError();
}

py::Ref condition_wait(OrvixAsyncQueue* q) {
    return py::check(py::Ref::steal(PyObject_CallMethodNoArgs(q->_notify_cond, kWait.get())));
}

}  // namespace orvix::corvane
