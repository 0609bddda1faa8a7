// orvix.utils.corvane.corvane: module definition, create and exec steps.
//
// The module keeps one process-wide state (module_state.hpp) and is loaded
// into one interpreter only; importing it again returns the same module and
// the same classes. The exec step binds the sibling modules, registers the
// classes (class_list.cpp) and creates their function objects. A failed exec
// step leaves what it already built in place and drops the module object, so
// the next import attempt runs it again.
#include <Python.h>

#include <utility>

#include "cpython_support/function.hpp"
#include "cpython_support/module_frame.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/class_signatures.hpp"
#include "orvix/utils/corvane/module/function_objects.hpp"
#include "orvix/utils/corvane/module/module_steps.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

constinit py::ModuleFrame frame{kModuleName};

StringConstant kAsyncio{"asyncio"};
StringConstant kTest{"__test__"};

// asyncio is the module's only module-level import; socket and threading
// are imported by the methods that need them.
int bind_asyncio(PyObject* module, PyObject* globals) {
    py::Ref asyncio = py::Ref::steal(PyImport_GetModule(kAsyncio.get()));
    if (!asyncio) {
        if (PyErr_Occurred()) return -1;
        asyncio = py::Ref::steal(PyImport_ImportModuleLevelObject(kAsyncio.get(), globals, nullptr, nullptr, 0));
        if (!asyncio) return -1;
    }
    return PyObject_SetAttr(module, kAsyncio.get(), asyncio.get());
}

int create_function_objects(PyObject* globals) {
    for (const ClassEntry* entry : registered_classes()) {
        for (const FunctionEntry& function : entry->functions) {
            if (add_function(entry->type, function) < 0) return -1;
        }
    }
    for (const ModuleFunctionEntry* function : registered_module_functions()) {
        if (add_module_function(globals, *function) < 0) return -1;
    }
    py::Ref test = py::Ref::steal(PyDict_New());
    return test ? PyDict_SetItem(globals, kTest.get(), test.get()) : -1;
}

int corvane_exec(PyObject* module) {
    switch (frame.begin_exec(module)) {
    case py::ExecStart::already_executed: return 0;
    case py::ExecStart::failed: return -1;
    case py::ExecStart::proceed: break;
    }
    ModuleState& st = detail::module_state;
    py::replace_field(st.module_dict, Py_NewRef(frame.dict()));
    py::replace_field(st.builtins, Py_NewRef(frame.builtins()));

    if (create_constants(st) < 0) return frame.fail();
    // From here on a failure shows "init orvix.utils.corvane.corvane" in
    // its traceback.
    if (py::ready_runtime_types() < 0) return frame.fail_at(__LINE__);
    if (frame.add_to_sys_modules() < 0) return frame.fail_at(__LINE__);
    if (create_tuples(st) < 0) return frame.fail_at(__LINE__);
    for (const ClassEntry* entry : registered_classes()) {
        if (register_class(module, *entry) < 0) return frame.fail_at(__LINE__);
    }
    if (import_spscqueue(st) < 0) return frame.fail_at(__LINE__);
    if (import_type_type(st) < 0) return frame.fail_at(__LINE__);
    if (import_conversions(st) < 0) return frame.fail_at(__LINE__);
    if (bind_asyncio(module, frame.dict()) < 0) return frame.fail_at(__LINE__);
    if (create_function_objects(frame.dict()) < 0) return frame.fail_at(__LINE__);
    if (add_class_signatures() < 0) return frame.fail_at(__LINE__);
    return 0;
}

PyObject* corvane_create(PyObject* spec, PyModuleDef*) { return frame.create(spec); }

PyModuleDef_Slot corvane_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&corvane_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&corvane_exec)},
    {0, nullptr},
};

PyMethodDef corvane_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef corvane_definition = {
    PyModuleDef_HEAD_INIT,
    "corvane",
    nullptr,  // no docstring
    0,        // the state is process-wide, not per module object
    corvane_methods,
    corvane_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace orvix::corvane

PyMODINIT_FUNC PyInit_corvane() { return PyModuleDef_Init(&orvix::corvane::corvane_definition); }
