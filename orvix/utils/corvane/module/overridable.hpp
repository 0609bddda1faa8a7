// Overridable table entries: a Python subclass may replace a method that
// native code calls through the C-level table.
//
// An entry that takes `int skip_override` reads:
//
//     void close_entry(PyObject* self, int skip_override) {
//         run_overridable(self, skip_override, &ThreadedDispatcherType, kClose.get(), kCloseSpec, {},
//                         [&] { return close_ring(self); });
//     }
//
// Python-level calls of the method run the implementation directly
// (skip_override = 1), which is what keeps an override that calls
// super().close() from looping back into itself.
#pragma once

#include <Python.h>
#include <initializer_list>

#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"

namespace orvix::corvane {

class Override {
public:
    // True when the entry must not run its implementation: an override was
    // found (call it), or looking for one failed (an exception is pending,
    // and call() just returns null).
    explicit operator bool() const noexcept { return taken_; }

    // Calls the override with `args`; null with an exception on failure.
    py::Ref call(std::initializer_list<PyObject*> args) const;

private:
    friend Override find_override(PyObject*, int, PyTypeObject*, PyObject*);

    py::Ref method_;      // the bound override; null when the lookup failed
    bool taken_ = false;
};

// With `skip_override` 0 and `self` an instance of a Python subclass (or one
// with an instance dictionary), looks `name` up on `self`. It is an override
// unless it is the function that `owner` itself registered under `name`
// (a bound method is unwrapped to its function before comparing).
Override find_override(PyObject* self, int skip_override, PyTypeObject* owner, PyObject* name);

// The whole of an overridable table entry: the override of `name` with
// `args` when there is one, else the class's own `implementation()` (0, or
// -1 with an exception). A failure of either gains the traceback entry of
// `method`, the Python-visible method's description. The override's result
// is dropped.
template <class Implementation>
void run_overridable(PyObject* self, int skip_override, PyTypeObject* owner, PyObject* name,
                     const py::FunctionSpec& method, std::initializer_list<PyObject*> args,
                     Implementation&& implementation) {
    if (Override o = find_override(self, skip_override, owner, name)) {
        if (!o.call(args)) py::add_call_traceback(method);
        return;
    }
    if (implementation() < 0) py::add_call_traceback(method);
}

}  // namespace orvix::corvane
