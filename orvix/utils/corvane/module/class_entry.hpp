// How a class of corvane registers itself with the module.
//
// A class file defines its static type, its static C-level method table and
// the ClassEntry declared for it in class_list.hpp:
//
//     // threaded_dispatcher.cpp
//     static OrvixThreadedDispatcherVTable vtable;
//     static void fill_vtable() { vtable.push = &push; ... }   // slot order
//     static const FunctionEntry functions[] = {
//         {"setup", kSetupSpec},                  // py::FunctionSpec, see function.hpp
//         {"close", kCloseSpec},
//     };
//     const ClassEntry threaded_dispatcher_class = {
//         .type = &ThreadedDispatcherType,
//         .vtable = &vtable,
//         .fill_vtable = &fill_vtable,
//         .reduce = &reduce_def,            // PyMethodDef named "__reduce__"
//         .setstate = &setstate_def,        // PyMethodDef named "__setstate__"
//         .functions = functions,
//     };
//
// The module registers the classes in a fixed order (class_list.cpp).
// For each class, completely before the next: fill_vtable(), PyType_Ready,
// the table published as an unnamed capsule under "__qvx_vtable__" in the
// class dictionary, the producer mark (producer_kind), the class stored as a module attribute under its
// tp_name's last component, then the pickling hooks. After every class and
// the imports of the module are done, the function objects are created in
// class order, then row order of `functions`, and stored in the class
// dictionary under their key.
//
// The static type must be a plain object subclass with Py_TPFLAGS_BASETYPE,
// Py_TPFLAGS_HAVE_GC and Py_TPFLAGS_IMMUTABLETYPE, without a __dict__ or
// weakref slot, and with tp_name "orvix.utils.corvane.corvane.<Name>".
#pragma once

#include <Python.h>
#include <span>

#include "cpython_support/function.hpp"
#include "orvix/utils/corvane/producer.h"

namespace orvix::corvane {

// What a function object gets besides its own description.
enum class FunctionExtra {
    none,
    localhost_default,     // __defaults__ = ('127.0.0.1',)
    returns_none,          // __annotations__ = {'return': 'None'}
};

struct FunctionEntry {
    const char* key;                          // name in the owner's dictionary
    const py::FunctionSpec& def;  // name, qualname, doc, kind, impl, parameters
    FunctionExtra extra = FunctionExtra::none;
};

struct ClassEntry {
    PyTypeObject* type;
    const void* vtable;            // the class's static C-level method table
    void (*fill_vtable)();         // writes `vtable` in slot order; runs before PyType_Ready
    const PyMethodDef* reduce;     // installed as __reduce__ (see pickling_hooks.hpp)
    const PyMethodDef* setstate;   // installed as __setstate__
    std::span<const FunctionEntry> functions;
    // A class that native producers push into carries the mark of this kind
    // (producer_mark.hpp); 0 for one they do not.
    int producer_kind = 0;
};

// Module-level functions (stored in the module dictionary after the classes'
// function objects, before __test__).
struct ModuleFunctionEntry {
    const char* key;
    const py::FunctionSpec& def;
};

}  // namespace orvix::corvane
