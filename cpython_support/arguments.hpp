// Binding call arguments to named parameters, with the interpreter's own
// error messages.
//
//     static constexpr const char* kNames[] = {"loop", "slot_size", "capacity"};
//     static constexpr Parameters kParams{"__cinit__", kNames, 3, 0};  // all optional
//     BoundArguments a;
//     if (bind_arguments(kParams, defaults, args, kwargs, a) < 0) return nullptr;
//     PyObject* loop = a[0];   // borrowed: from the call or from `defaults`
#pragma once

#include "cpython_support/ref.hpp"

#include <Python.h>

namespace orvix::py {

inline constexpr int kMaxParameters = 12;

// The parameters of one function, Python style: positional-or-keyword names
// (self excluded for methods), the first `required` of them without a
// default, optionally followed by *args collecting extra positionals.
struct Parameters {
    const char* func_name;         // for messages: "push_buf", "__cinit__"
    const char* const* names;      // `count` names
    int count;
    int required;
    const char* varargs = nullptr;  // name of the *args parameter, if any: "excinfo"
};

// The arguments of one call, in parameter order. `values` are borrowed from
// the call's own arguments or from the defaults tuple, so they live as long
// as the call; `rest` owns the *args tuple (null without *args).
struct BoundArguments {
    // Not zeroed: binding writes the slot of every parameter before anyone
    // reads it, and clearing the whole array costs more than a small call.
    PyObject* values[kMaxParameters];
    Ref rest;

    PyObject* operator[](int i) const noexcept { return values[i]; }
};

// Binds a vectorcall-style call (positional args[0..nargs), then the values
// named by `kwnames` after them). `defaults` holds the values of the last
// count - required parameters (a tuple, or null when there are none).
// Returns 0, or -1 with TypeError set:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "%s() got multiple values for keyword argument '%U'"
//   "%s() got an unexpected keyword argument '%U'"
//   "%.200s() keywords must be strings"
// A required parameter missing from a call with keywords reports the count
// message with the number of positionals given.
int bind_arguments(const Parameters& params, PyObject* defaults, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, BoundArguments& out);

// Whether a vectorcall passes every parameter by position and nothing else:
// its arguments are then the parameters as they stand, in order.
inline bool binds_by_position(const Parameters& params, Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return !kwnames && nargs == params.count && !params.varargs;
}

// The same, with the common call (every parameter by position, no *args)
// bound in line: it is most of the cost of calling a small function.
inline int bind_vectorcall(const Parameters& params, PyObject* defaults, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames, BoundArguments& out)
{
    if (binds_by_position(params, nargs, kwnames)) {
        for (Py_ssize_t i = 0; i < nargs; ++i)
            out.values[i] = args[i];
        return 0;
    }
    return bind_arguments(params, defaults, args, nargs, kwnames, out);
}

// The same for a (tuple, dict) call, as tp_new / tp_init and
// METH_VARARGS | METH_KEYWORDS functions receive it; `kwargs` may be null.
int bind_arguments(const Parameters& params, PyObject* defaults, PyObject* args,
                   PyObject* kwargs, BoundArguments& out);

// Checks an argument's type the way typed parameters do: None passes when
// allowed; `exact` demands the type itself, otherwise subclasses pass too.
// Returns true, or false with TypeError
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
bool check_argument_type(PyObject* value, PyTypeObject* expected, const char* name,
                         bool none_allowed = true, bool exact = false);

}  // namespace orvix::py
