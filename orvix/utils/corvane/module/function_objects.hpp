// Creating the Python-visible function objects of corvane from the class
// entries (class_entry.hpp).
#pragma once

#include <Python.h>

#include "orvix/utils/corvane/module/class_entry.hpp"

namespace orvix::corvane {

// Creates the function of `entry`, attaches its extra (defaults or
// annotations) and stores it in the class dictionary under `entry.key`.
// The class stays immutable for Python code; its attribute cache is
// invalidated. 0, or -1 with an exception.
int add_function(PyTypeObject* owner, const FunctionEntry& entry);

// Creates a module-level function and stores it in `globals`.
int add_module_function(PyObject* globals, const ModuleFunctionEntry& entry);

}  // namespace orvix::corvane
