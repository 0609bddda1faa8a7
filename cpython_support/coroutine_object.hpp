// The Python object behind each call of a coroutine function: its record,
// the arguments a body reads, the objects it keeps across suspensions
// (Held) and the exception it is handling. See coroutine.hpp for writing
// bodies.
#pragma once

#include "cpython_support/function.hpp"
#include "cpython_support/interpreter_internals.hpp"
#include "cpython_support/ref.hpp"

#include <Python.h>

#include <coroutine>

namespace orvix::py {

enum class CoroutineState : unsigned char { created, running, suspended, finished };

struct HeldLink {
    HeldLink* next = nullptr;
    HeldLink* prev = nullptr;
    PyObject* object = nullptr;  // owned
};

// The Python coroutine object.
struct Coroutine {
    PyObject_VAR_HEAD               // ob_size: the number of slots
    std::coroutine_handle<> frame;  // the body; null once finished, and until a first step makes one
    PyObject* function;             // the Function that made it
    PyObject* name;
    PyObject* qualname;
    PyObject* awaiting;             // iterator the body is awaiting, or null
    PyObject* weakreflist;
    HeldLink held;                  // sentinel of the Held objects in the body
    // The exception the body is handling (exc_value, null for none), on the
    // thread's exception stack while the body runs and handles one, as a
    // native coroutine's own entry is: code the body calls sees it as
    // sys.exception() and chains new exceptions to it. Set with
    // handle_exception(); previous_item is non-null while on the stack.
    internals::ExceptionStackItem exc_state;
    CoroutineState state;
    bool finalized;                 // tp_finalize has run on it
    PyObject* slots[1];             // self (methods), the parameters, *args

    [[nodiscard]] const FunctionSpec& spec() const noexcept
    {
        return *reinterpret_cast<Function*>(function)->spec;
    }
    // The bound object of a method call.
    [[nodiscard]] PyObject* self() const noexcept { return slots[0]; }
    // Parameter i (not counting self).
    [[nodiscard]] PyObject* arg(int i) const noexcept { return slots[first_param() + i]; }
    // The *args tuple of a function that takes one.
    [[nodiscard]] PyObject* rest() const noexcept { return slots[Py_SIZE(this) - 1]; }
    // The closure state the function was made with (or null).
    [[nodiscard]] PyObject* data() const noexcept
    {
        return reinterpret_cast<Function*>(function)->data;
    }

private:
    [[nodiscard]] int first_param() const noexcept { return spec().method ? 1 : 0; }
};

PyTypeObject* coroutine_type();

// Whether obj is one of these coroutine objects.
[[nodiscard]] bool is_coroutine_object(PyObject* obj) noexcept;

inline Coroutine* as_coroutine(PyObject* obj) noexcept { return reinterpret_cast<Coroutine*>(obj); }

// Makes `exc` (null: none) the exception the body is handling, as entering an
// except clause does, and returns the one it replaces, which the body puts
// back the same way when it leaves the clause.
[[nodiscard]] Ref handle_exception(Coroutine& co, Ref exc) noexcept;

// Makes the coroutine object of one call of a coroutine function (the
// function type calls it after binding the arguments): `values` holds the
// parameters in order (borrowed), `rest` the *args tuple (stolen; null
// without *args). New reference, or null with an exception set.
PyObject* new_coroutine(Function& fn, PyObject* self, PyObject* const* values, PyObject* rest);

// An object reference kept in the coroutine body across suspensions, visible
// to the coroutine's GC traversal.
class Held {
public:
    explicit Held(Coroutine& co, Ref object = nullptr) noexcept;
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    Held& operator=(Ref object) noexcept;
    [[nodiscard]] PyObject* get() const noexcept { return link_.object; }
    [[nodiscard]] Ref ref() const noexcept { return Ref::borrow(link_.object); }
    explicit operator bool() const noexcept { return link_.object != nullptr; }

private:
    HeldLink link_;
};

}  // namespace orvix::py
