#include "cpython_support/async_with.hpp"

#include "cpython_support/errors.hpp"
#include "cpython_support/interned.hpp"
#include "cpython_support/interpreter_internals.hpp"

namespace orvix::py {
namespace {

// A special method looked up on the type and bound to the object, as the
// interpreter looks up __aenter__ / __aexit__.
Ref lookup_special(PyObject* obj, PyObject* name)
{
    // The lookup lends the attribute; binding may run code that changes the
    // class, so it is held first.
    Ref attr = Ref::borrow(internals::lookup_on_type(Py_TYPE(obj), name));
    if (!attr) {
        if (!PyErr_Occurred())
            PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    if (descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get)
        return Ref::steal(get(attr.get(), obj, reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    return attr;
}

}  // namespace

AsyncWith::AsyncWith(Coroutine& co, PyObject* manager)
    : co_(&co), manager_(co, Ref::borrow(manager)), exit_(co), enter_(co), error_(co), outer_handled_(co)
{
    static PyObject* name_aexit;
    static PyObject* name_aenter;
    if (!interned("__aexit__", name_aexit) || !interned("__aenter__", name_aenter))
        throw PyError();
    exit_ = check(lookup_special(manager, name_aexit));
    enter_ = check(lookup_special(manager, name_aenter));
}

Await AsyncWith::enter() { return Await(Ref::steal(PyObject_CallNoArgs(enter_.get()))); }

void AsyncWith::fail(PyError& error) noexcept
{
    error_ = error.take();
    if (!error_) {
        ensure_error_set();
        error_ = Ref::steal(PyErr_GetRaisedException());
    }
}

AsyncWith::Exit AsyncWith::exit()
{
    PyObject* exc = error_.get();
    Ref call;
    if (exc) {
        outer_handled_ = handle_exception(*co_, error_.ref());
        Ref tb = Ref::steal(PyException_GetTraceback(exc));
        call = Ref::steal(PyObject_CallFunctionObjArgs(exit_.get(), PyExceptionInstance_Class(exc), exc,
                                                       tb ? tb.get() : Py_None, nullptr));
    } else {
        call = Ref::steal(PyObject_CallFunctionObjArgs(exit_.get(), Py_None, Py_None, Py_None, nullptr));
    }
    return Exit(*this, std::move(call));
}

void AsyncWith::Exit::await_resume()
{
    Ref original = with_.error_.ref();
    with_.error_ = nullptr;
    if (original) {
        // Leaving the handler: the exception handled before it is back.
        Ref released = handle_exception(*with_.co_, with_.outer_handled_.ref());
        with_.outer_handled_ = nullptr;
    }
    Ref result;
    try {
        result = await_.await_resume();
    } catch (PyError& error) {
        // An error of __aexit__ itself happens while the block's error is
        // being handled, so that error is its context.
        PyObject* exc = error.exception();
        if (original && exc && exc != original.get()) {
            Ref context = Ref::steal(PyException_GetContext(exc));
            if (!context)
                PyException_SetContext(exc, original.new_ref());
        }
        throw;
    }
    if (!original)
        return;
    if (check(PyObject_IsTrue(result.get())))
        return;  // suppressed
    throw PyError(std::move(original));
}

}  // namespace orvix::py
