// The create step and the first exec steps shared by orvix's extension
// modules that keep one process-wide state (per-module state size 0).
//
// Such a module is loaded into the main interpreter only and, once executed, is
// the same module object for the rest of the process: importing it again (also
// after deleting it from sys.modules, or reloading it) returns that object.
//
// Usage, for a module whose full name is "orvix.pkg.mod":
//
//     orvix::py::ModuleFrame frame{"orvix.pkg.mod"};
//
//     PyObject* mod_create(PyObject* spec, PyModuleDef*) { return frame.create(spec); }
//
//     int mod_exec(PyObject* module) {
//         switch (frame.begin_exec(module)) {
//         case orvix::py::ExecStart::already_executed: return 0;
//         case orvix::py::ExecStart::failed: return -1;
//         case orvix::py::ExecStart::proceed: break;
//         }
//         if (make_constants() < 0) return frame.fail();          // no traceback entry
//         if (frame.add_to_sys_modules() < 0) return frame.fail_at(__LINE__);
//         if (more_work(frame.dict()) < 0) return frame.fail_at(__LINE__);
//         return 0;
//     }
//
// Every member runs with the interpreter lock and the import lock held, so the
// state needs no synchronisation of its own.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

namespace orvix::py {

// How an exec step continues after its common opening steps (begin_exec).
enum class ExecStart {
    proceed,           // a fresh module: run the module's own steps next
    already_executed,  // this very module was executed before: return 0 at once
    failed,            // a Python exception is set: return -1
};

class ModuleFrame {
public:
    // `full_name` is the module's fully qualified name, e.g.
    // "orvix.utils.teldrin.teldrin"; it must outlive the frame (a literal).
    explicit constexpr ModuleFrame(char const* full_name) noexcept : full_name_(full_name) {}

    ModuleFrame(ModuleFrame const&) = delete;
    ModuleFrame& operator=(ModuleFrame const&) = delete;

    // The Py_mod_create slot. Refuses a sub-interpreter with ImportError:
    // "Interpreter change detected - ..." once the main interpreter has the
    // module, "module <full name> can only be loaded into the main
    // interpreter" before. Returns the held module object if there is one;
    // otherwise creates a module named spec.name and copies spec.loader,
    // spec.origin, spec.parent and spec.submodule_search_locations (unless
    // None) to __loader__, __file__, __package__ and __path__, skipping
    // missing spec attributes.
    // Returns a new reference, or nullptr with an exception set.
    PyObject* create(PyObject* spec);

    // The opening exec steps: the re-initialisation check (RuntimeError
    // "Module '<short name>' has already been imported. ..." for another module
    // object; the state is left untouched), storing the module and its
    // dictionary, binding __builtins__, and the RuntimeWarning when the running
    // interpreter is not the 3.12 this module was built for. On failure the
    // module is dropped from the state (see fail()).
    ExecStart begin_exec(PyObject* module);

    // Inserts the module into sys.modules under its full name unless an entry
    // is there already. 0 on success, -1 with an exception set.
    int add_to_sys_modules();

    // For failures of the module's own early steps (before the runtime types
    // are set up): drops the module object from the state, so the next import
    // runs the exec step again, and returns -1. The pending exception is kept.
    int fail();

    // For failures of the later steps: adds the traceback entry
    // "init <full name>" (file "<full name with '/' for '.'>", the given source
    // line) to the pending exception, then does what fail() does. Returns -1.
    int fail_at(int line);

    // The state, valid between a successful begin_exec and a failure.
    PyObject* module() const noexcept { return module_; }    // borrowed
    PyObject* dict() const noexcept { return dict_; }        // borrowed
    PyObject* builtins() const noexcept { return builtins_; }  // borrowed
    std::int64_t interpreter_id() const noexcept { return interpreter_id_; }

    char const* full_name() const noexcept { return full_name_; }
    // The last component of the full name: "teldrin" for "orvix.utils.teldrin.teldrin".
    std::string_view short_name() const noexcept;

private:
    // Stores the module, its dictionary and __builtins__, then checks the
    // runtime version. -1 with an exception set on failure.
    int run_opening_steps(PyObject* module);

    char const* full_name_;
    std::int64_t interpreter_id_ = -1;  // the main interpreter's, once a create step has run there
    PyObject* module_ = nullptr;        // owned; set by begin_exec, dropped by fail()
    PyObject* dict_ = nullptr;          // the module's dictionary, borrowed from module_
    PyObject* builtins_ = nullptr;      // owned
};

// Issues the RuntimeWarning "compile time Python version 3.12 of module
// '<full_name>' does not match runtime version <major>.<minor>" when
// major.minor differs from the version these headers belong to. Returns -1
// only if the warning was turned into an error.
int warn_on_version_mismatch(char const* full_name, int runtime_major, int runtime_minor);

}  // namespace orvix::py
