// Test-only module built on the shared module frame, with hooks that let the
// tests fail its exec step on purpose: before running its own steps, the exec
// step calls `early(module)` and, after the sys.modules step, `late(module)`
// of the module "module_frame_probe_hook" if the test put one in sys.modules.
// Functions to drive the frame directly: create_fresh(spec) runs the create
// step of a frame that holds nothing, exec_other(module) the exec step of
// this module's frame on another module object, warn_version(major, minor)
// the version check.
#include <Python.h>

#include <string>

#include "cpython_support/module_frame.hpp"
#include "cpython_support/ref.hpp"

namespace {

using orvix::py::ExecStart;
using orvix::py::ModuleFrame;
using orvix::py::Ref;

ModuleFrame frame{"module_frame_probe"};
long exec_runs = 0;  // exec steps that got past begin_exec

// Calls hook.<name>(module) if the hook module and that function exist.
int call_hook(char const* name, PyObject* module) {
    Ref const hook_name = Ref::steal(PyUnicode_FromString("module_frame_probe_hook"));
    if (!hook_name) return -1;
    Ref const hook = Ref::steal(PyImport_GetModule(hook_name.get()));
    if (!hook) return PyErr_Occurred() ? -1 : 0;
    if (!PyObject_HasAttrString(hook.get(), name)) return 0;
    Ref const result = Ref::steal(PyObject_CallMethod(hook.get(), name, "O", module));
    return result ? 0 : -1;
}

int probe_exec(PyObject* module) {
    switch (frame.begin_exec(module)) {
    case ExecStart::already_executed: return 0;
    case ExecStart::failed: return -1;
    case ExecStart::proceed: break;
    }
    ++exec_runs;
    if (call_hook("early", module) < 0) return frame.fail();
    if (frame.add_to_sys_modules() < 0) return frame.fail_at(__LINE__);
    if (call_hook("late", module) < 0) return frame.fail_at(__LINE__);
    return 0;
}

PyObject* probe_create(PyObject* spec, PyModuleDef*) { return frame.create(spec); }

PyObject* create_fresh(PyObject*, PyObject* spec) {
    ModuleFrame fresh{"module_frame_probe.fresh"};
    return fresh.create(spec);
}

PyObject* exec_other(PyObject*, PyObject* module) {
    switch (frame.begin_exec(module)) {
    case ExecStart::already_executed: return PyUnicode_FromString("already_executed");
    case ExecStart::proceed: return PyUnicode_FromString("proceed");
    case ExecStart::failed: break;
    }
    return nullptr;
}

PyObject* warn_version(PyObject*, PyObject* args) {
    int major = 0;
    int minor = 0;
    if (!PyArg_ParseTuple(args, "ii", &major, &minor)) return nullptr;
    if (orvix::py::warn_on_version_mismatch("module_frame_probe", major, minor) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* state(PyObject*, PyObject*) {
    return Py_BuildValue("{s:O,s:L,s:l,s:s}", "module", frame.module() ? frame.module() : Py_None,
                         "interpreter_id", static_cast<long long>(frame.interpreter_id()), "exec_runs", exec_runs,
                         "short_name", std::string(frame.short_name()).c_str());
}

PyMethodDef functions[] = {
    {"create_fresh", create_fresh, METH_O, nullptr},
    {"exec_other", exec_other, METH_O, nullptr},
    {"warn_version", warn_version, METH_VARARGS, nullptr},
    {"state", state, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&probe_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&probe_exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "module_frame_probe", nullptr, 0, functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_module_frame_probe() { return PyModuleDef_Init(&definition); }
