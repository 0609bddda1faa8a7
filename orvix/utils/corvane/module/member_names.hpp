// Traceback entries named after a member of one of the module's classes:
// "<the class's tp_name>.<member>", e.g. "<module>.SyncDispatcher.__cinit__".
// Python-visible methods take theirs from their function description
// (py::add_call_traceback); these are for what has no description: the
// allocation and deallocation steps and the private table entries.
#pragma once

#include <Python.h>

#include <string>

namespace orvix::corvane {

std::string member_name(PyTypeObject* type, const char* member);

// The entry "<type>.<member>" on the pending exception.
void add_member_traceback(PyTypeObject* type, const char* member);

// The same for the module's class that `self` is an instance of (its
// nearest static base), for methods that the classes share.
void add_method_traceback(PyObject* self, const char* method);

}  // namespace orvix::corvane
