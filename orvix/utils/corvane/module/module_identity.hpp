// The module's name and the file name its traceback entries show, passed to
// the shared runtime helpers (which know no module of their own).
#pragma once

#include "cpython_support/function.hpp"

namespace orvix::corvane {

inline constexpr char kModuleName[] = "orvix.utils.corvane.corvane";
inline constexpr char kSourceFile[] = "orvix/utils/corvane/corvane";

// A function description of this module: `spec` with the module's name and
// file filled in.
//
//     constinit py::FunctionSpec kCloseSpec = corvane_function({.name = "close", ...});
constexpr py::FunctionSpec corvane_function(py::FunctionSpec spec) {
    spec.module = kModuleName;
    spec.filename = kSourceFile;
    return spec;
}

}  // namespace orvix::corvane
