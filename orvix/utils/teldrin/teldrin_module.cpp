// orvix.utils.teldrin.teldrin: a module with nothing in it. Loading its
// shared library starts the platform socket library for the whole process
// (socket_library_lifetime.cpp); the module itself only has to import cleanly
// and stay the one module object of its process.
#include "cpython_support/module_frame.hpp"
#include "cpython_support/ref.hpp"

namespace orvix::teldrin {
namespace {

py::ModuleFrame frame{"orvix.utils.teldrin.teldrin"};

// The module's string constants, made once per process (a failed import may
// leave them made for the next attempt).
PyObject* test_key = nullptr;  // "__test__"

int make_constants() {
    if (test_key == nullptr) test_key = PyUnicode_InternFromString("__test__");
    return test_key != nullptr ? 0 : -1;
}

PyObject* teldrin_create(PyObject* spec, PyModuleDef*) { return frame.create(spec); }

int teldrin_exec(PyObject* module) {
    switch (frame.begin_exec(module)) {
    case py::ExecStart::already_executed: return 0;
    case py::ExecStart::failed: return -1;
    case py::ExecStart::proceed: break;
    }
    if (make_constants() < 0) return frame.fail();
    if (frame.add_to_sys_modules() < 0) return frame.fail_at(__LINE__);
    py::Ref const doctests = py::Ref::steal(PyDict_New());
    if (!doctests || PyDict_SetItem(frame.dict(), test_key, doctests.get()) < 0) return frame.fail_at(__LINE__);
    return 0;
}

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&teldrin_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&teldrin_exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "teldrin",
    nullptr,  // no docstring
    0,        // the state is process-wide (frame above), not per module
    no_functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace orvix::teldrin

PyMODINIT_FUNC PyInit_teldrin() { return PyModuleDef_Init(&orvix::teldrin::definition); }
