// The function type of the module's Python-visible methods and inner
// functions.
//
// A function is made once, at import, from a static description. It binds as
// a method (`obj.setup` is a bound method; `Cls.setup` is the function
// itself), binds its arguments with the interpreter's messages, and carries
// __name__, __qualname__, __module__, __doc__, __defaults__, __kwdefaults__,
// __annotations__ and a real __code__, so inspect.signature, help() and
// asyncio.iscoroutinefunction treat it like a Python function.
//
//     PyObject* setup_impl(Function& fn, PyObject* self, BoundArguments& args)
//     {
//         PyObject* host = args[0];
//         if (!check_argument_type(host, &PyUnicode_Type, "host", true, true))
//             return nullptr;
//         ...
//         Py_RETURN_NONE;
//     }
//
//     constinit const char* const kSetupNames[] = {"host"};
//     constinit FunctionSpec kSetup{
//         .name = "setup",
//         .qualname = "AsyncDispatcher.setup",
//         .doc = "AsyncDispatcher.setup(self, str host='127.0.0.1') -> void",
//         .params = {"setup", kSetupNames, 1, 0},
//         .impl = setup_impl,
//         .firstlineno = 120,
//     };
//
//     Ref fn = make_function(kSetup, AsyncDispatcherType);  // at import
//     as_function(fn.get())->set_defaults(host_defaults);
//
// A failure leaving a function (binding or implementation) gains a traceback
// entry named "<module>.<qualname>", e.g.
// "orvix.utils.corvane.corvane.AsyncDispatcher.setup" for a module of that
// name. A coroutine function
// (`.body` instead of `.impl`, see coroutine.hpp) returns a coroutine object
// after binding its arguments.
#pragma once

#include "cpython_support/arguments.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/record_pool.hpp"
#include "cpython_support/ref.hpp"

#include <Python.h>

#include <cstddef>

namespace orvix::py {

struct Function;
struct Coroutine;
class CoroutineBody;

// The body of a plain function: `self` is the bound object for methods
// (null otherwise); `args` holds the parameters in order. Returns a new
// reference, or null with an exception set.
using FunctionImpl = PyObject* (*)(Function& fn, PyObject* self, BoundArguments& args);
// The body of a coroutine function (see coroutine.hpp).
using CoroutineBodyFn = CoroutineBody (*)(Coroutine& co);
// The part of a coroutine's first step that needs no C++ frame (optional,
// see coroutine.hpp): it ends the call and answers null, with `result` set
// (null: the pending error); or it answers the body that takes over from
// here, which starts from its beginning.
using FirstStepFn = CoroutineBodyFn (*)(Coroutine& co, Ref& result);
// What a first step answers to end the call with the outcome of awaiting
// `result`, as `return await result` would, with no body: never run itself.
CoroutineBody await_result(Coroutine& co);

// What the calls of a coroutine function reuse from the calls before them:
// released coroutine objects, released C++ frames of the body, and the
// StopIteration that carries a returned value to an `await` in Python code.
// Everything, but for the benchmark that measures what each buys.
enum class Reuse : unsigned char {
    nothing = 0,
    coroutine_objects = 1,
    frames = 2,
    stop_iteration = 4,
    everything = 7,
};
[[nodiscard]] constexpr Reuse operator&(Reuse a, Reuse b) noexcept
{
    return static_cast<Reuse>(static_cast<unsigned char>(a) & static_cast<unsigned char>(b));
}
[[nodiscard]] constexpr Reuse operator~(Reuse a) noexcept
{
    return static_cast<Reuse>(~static_cast<unsigned char>(a) & static_cast<unsigned char>(Reuse::everything));
}

struct FunctionSpec {
    const char* name;      // "push_buf"
    const char* qualname;  // "AsyncQueue.push_buf"
    const char* doc;       // "AsyncQueue.push_buf(self, msg)"
    Parameters params;     // without self; params.func_name names the messages
    FunctionImpl impl = nullptr;     // plain function, or ...
    CoroutineBodyFn body = nullptr;  // ... coroutine function
    FirstStepFn first_step = nullptr;  // (coroutine functions) runs before any body, and
                                       // answers the body made, if any: `body` is then not run
    bool method = true;    // takes self first (checked against the owner class)
    int firstlineno = 1;
    // The defining module's __name__ and the file name its traceback entries
    // show: the module passes both in (make_function refuses a description
    // without them).
    const char* module = nullptr;
    const char* filename = nullptr;
    // What follows "<module>." in the traceback entry of a failed call when
    // the qualname is not the right one (an inner function is named after
    // its enclosing method: "Class.method._inner").
    const char* traceback_name = nullptr;
    // Names of the body's own locals, listed after the parameters in
    // __code__.co_varnames (documentation only).
    const char* const* locals = nullptr;
    int nlocals = 0;
    Reuse reuse = Reuse::everything;
    mutable RecordPool frames{};
    mutable RecordPool coroutines{};

    [[nodiscard]] bool is_coroutine() const noexcept { return body != nullptr || first_step != nullptr; }
    [[nodiscard]] bool reuses(Reuse what) const noexcept { return (reuse & what) != Reuse::nothing; }
};

// The Python object. Fields are owned references (or null where noted).
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyTypeObject* owner;     // the class of `self` for methods; null: unchecked
    PyObject* name;          // str
    PyObject* qualname;      // str
    PyObject* module;        // usually str
    PyObject* doc;           // str or None
    PyObject* defaults;      // tuple or null (__defaults__ None)
    PyObject* annotations;   // dict or null (made on first access)
    PyObject* code;          // code object
    PyObject* data;          // closure state of inner functions, or null
                             // (also null once the GC has cleared it)
    PyObject* weakreflist;

    // Replaces __defaults__ (a tuple, or null / None for none).
    void set_defaults(PyObject* tuple) noexcept;
    // Replaces __annotations__ (a dict; null for a fresh empty one).
    void set_annotations(PyObject* dict) noexcept;
};

// The traceback entry of a failed call of the function that `spec`
// describes: "<module>.<qualname>" (or "<module>.<traceback_name>"). Also for native
// callers that run the function's implementation on its behalf.
void add_call_traceback(const FunctionSpec& spec);

// Creates a function object from its description. `owner` is the class the
// method belongs to (its instances are the only accepted `self`); `data` is
// kept for the body (closure state of inner functions). The description
// must outlive the function (static storage).
[[nodiscard]] Ref make_function(const FunctionSpec& spec, PyTypeObject* owner = nullptr,
                                PyObject* data = nullptr);

// The function type (created on first use; null with an exception set if
// that fails).
PyTypeObject* function_type();

[[nodiscard]] inline bool is_function(PyObject* obj) noexcept
{
    PyTypeObject* type = function_type();
    return type && Py_IS_TYPE(obj, type);
}

inline Function* as_function(PyObject* obj) noexcept { return reinterpret_cast<Function*>(obj); }

// Readies the function and coroutine types; modules call it at import so a
// failure shows there. Returns 0, or -1 with an exception set.
int ready_runtime_types();

}  // namespace orvix::py
