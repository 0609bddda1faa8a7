// The description of a method that takes no argument and returns None:
// `implementation(self)` gives 0, or -1 with an exception (the function type
// adds the traceback entry).
//
//     constinit py::FunctionSpec kCloseSpec =
//         no_argument_method<close_impl>("close", "SyncDispatcher.close", "SyncDispatcher.close(self) -> void");
#pragma once

#include <Python.h>

#include "cpython_support/function.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"

namespace orvix::corvane {

template <int (*implementation)(PyObject*)>
PyObject* call_returning_none(py::Function&, PyObject* self, py::BoundArguments&) {
    if (implementation(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

template <int (*implementation)(PyObject*)>
constexpr py::FunctionSpec no_argument_method(const char* name, const char* qualname, const char* doc) {
    return corvane_function({
        .name = name,
        .qualname = qualname,
        .doc = doc,
        .params = {name, nullptr, 0, 0},
        .impl = call_returning_none<implementation>,
    });
}

}  // namespace orvix::corvane
