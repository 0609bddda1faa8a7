// Importing a type from another extension module with a check that its
// instances are at least as large as the record this module was built
// against.
#pragma once

#include <Python.h>

#include "cpython_support/ref.hpp"

namespace orvix::corvane {

// Imports `module_name` and returns a new reference to its attribute
// `class_name`, checked against
// `expected_size`, or null with an exception:
//   TypeError   "<module>.<class> is not a type object"
//   ValueError  "<module>.<class> size changed, may indicate binary
//                incompatibility. Expected N from C header, got M from PyObject"
//               when the type offers less than `expected_size`;
// a larger basic size only issues a RuntimeWarning with the same text (an
// error when warnings are errors).
// The module's own import errors propagate.
py::Ref import_type(const char* module_name, const char* class_name, Py_ssize_t expected_size);

}  // namespace orvix::corvane
