// The create step and opening exec steps shared by the single-state modules.
#include "cpython_support/module_frame.hpp"

#include <algorithm>
#include <string>

#include "cpython_support/errors.hpp"
#include "cpython_support/ref.hpp"

namespace orvix::py {
namespace {

// Sets module dict[to] = spec.<from>. A spec without the attribute is not an
// error (the module then simply lacks it); with `skip_none`, None is not copied.
int copy_spec_attribute(PyObject* spec, char const* from, PyObject* dict, char const* to, bool skip_none = false) {
    Ref const value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

}  // namespace

PyObject* ModuleFrame::create(PyObject* spec) {
    // One interpreter per process, and only the main one: the state below
    // holds objects of the interpreter that loaded the module, which no other
    // may touch, and it is kept for the life of the process, which only the
    // main interpreter lasts. A sub-interpreter that loaded it first would
    // take those objects with it when destroyed and leave every later import
    // refused, the main interpreter's included.
    PyInterpreterState* const interpreter = PyInterpreterState_Get();
    if (interpreter != PyInterpreterState_Main()) {
        if (interpreter_id_ != -1) {
            PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be loaded into "
                                               "one interpreter per process.");
        } else {
            PyErr_Format(PyExc_ImportError, "module %s can only be loaded into the main interpreter", full_name_);
        }
        return nullptr;
    }
    if (interpreter_id_ == -1) {
        interpreter_id_ = PyInterpreterState_GetID(interpreter);
        if (interpreter_id_ == -1) return nullptr;
    }
    if (module_ != nullptr) return Py_NewRef(module_);

    Ref const name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* const dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, "loader", dict, "__loader__") < 0 ||
        copy_spec_attribute(spec, "origin", dict, "__file__") < 0 ||
        copy_spec_attribute(spec, "parent", dict, "__package__") < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", dict, "__path__", /*skip_none=*/true) < 0) {
        return nullptr;
    }
    return module.release();
}

ExecStart ModuleFrame::begin_exec(PyObject* module) {
    if (module_ != nullptr) {
        if (module_ == module) return ExecStart::already_executed;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     std::string(short_name()).c_str());
        return ExecStart::failed;
    }
    if (run_opening_steps(module) < 0) {
        fail();
        return ExecStart::failed;
    }
    return ExecStart::proceed;
}

int ModuleFrame::run_opening_steps(PyObject* module) {
    module_ = Py_NewRef(module);
    dict_ = PyModule_GetDict(module);
    if (dict_ == nullptr) return -1;

    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyDict_SetItemString(dict_, "__builtins__", builtins.get()) < 0) return -1;
    replace_field(builtins_, builtins.release());

    // Py_Version is the running interpreter's PY_VERSION_HEX: 0xMMmmpp...
    return warn_on_version_mismatch(full_name_, (Py_Version >> 24) & 0xff, (Py_Version >> 16) & 0xff);
}

int ModuleFrame::add_to_sys_modules() {
    Ref const name = Ref::steal(PyUnicode_FromString(full_name_));
    if (!name) return -1;
    // Inserts only when absent: an entry put there by the import system (or
    // by the user) stays as it is.
    PyObject* const entry = PyDict_SetDefault(PyImport_GetModuleDict(), name.get(), module_);
    return entry != nullptr ? 0 : -1;
}

int ModuleFrame::fail() {
    // Forgetting the module lets the next import attempt create a fresh one
    // and run the exec step again.
    dict_ = nullptr;
    Py_CLEAR(module_);
    return -1;
}

int ModuleFrame::fail_at(int line) {
    std::string const function = std::string("init ") + full_name_;
    std::string file = full_name_;
    std::replace(file.begin(), file.end(), '.', '/');
    add_traceback(function.c_str(), line, file.c_str());
    return fail();
}

std::string_view ModuleFrame::short_name() const noexcept {
    std::string_view const full = full_name_;
    return full.substr(full.rfind('.') + 1);  // npos + 1 == 0: a name without dots is its own short name
}

int warn_on_version_mismatch(char const* full_name, int runtime_major, int runtime_minor) {
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, full_name, "does not match", runtime_major,
                            runtime_minor);
}

}  // namespace orvix::py
