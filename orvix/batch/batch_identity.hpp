// The names orvix.batch gives its classes and functions: the public package
// name (the classes are re-exported there) and the file name of traceback
// entries.
#pragma once

#include "cpython_support/function.hpp"

namespace orvix::batch {

inline constexpr char kModuleName[] = "orvix.batch";
inline constexpr char kSourceFile[] = "orvix/batch/_batch";

// A function description of this module (the shared descriptions of
// corvane_parts come with corvane's names, which this replaces).
constexpr py::FunctionSpec batch_function(py::FunctionSpec spec) {
    spec.module = kModuleName;
    spec.filename = kSourceFile;
    return spec;
}

}  // namespace orvix::batch
