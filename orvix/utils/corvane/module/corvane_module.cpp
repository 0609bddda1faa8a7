// orvix.utils.corvane.corvane: module definition, create and exec steps.
//
// The module keeps one process-wide state (module_state.hpp) and is loaded
// into one interpreter only; importing it again returns the same module and
// the same classes. The exec step binds the sibling modules, registers the
// classes (class_list.cpp) and creates their function objects. A failed exec
// step leaves what it already built in place and drops the module object, so
// the next import attempt runs it again.
#include <Python.h>

#include <cstring>
#include <utility>

#include "cpython_support/function.hpp"
#include "cpython_support/interpreter_internals.hpp"
#include "cpython_support/module_frame.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/module/capi_import.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/class_signatures.hpp"
#include "orvix/utils/corvane/module/function_objects.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/pickling_hooks.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"
#include "orvix/utils/corvane/module/type_import.hpp"

namespace orvix::corvane {
namespace {

constinit py::ModuleFrame frame{kModuleName};

StringConstant kVtableKey{"__qvx_vtable__"};
StringConstant kAsyncio{"asyncio"};
StringConstant kTest{"__test__"};

// Sizes of the records this module was built against (the type object's
// differs between interpreter versions).
constexpr Py_ssize_t kSpscQueueSize = 232;
constexpr Py_ssize_t kTypeSize = py::internals::kTypeObjectSize;

// Sets `slot` to `make()` unless an earlier, failed import made it already.
template <class Make>
int make_once(PyObject*& slot, Make make) {
    if (!slot) slot = make();
    return slot ? 0 : -1;
}

int create_constants(ModuleState& st) {
    if (make_once(st.empty_tuple, [] { return PyTuple_New(0); }) < 0 ||
        make_once(st.empty_bytes, [] { return PyBytes_FromStringAndSize("", 0); }) < 0 ||
        make_once(st.empty_str, [] { return PyUnicode_FromStringAndSize("", 0); }) < 0 ||
        create_string_constants() < 0 ||
        make_once(st.int_0, [] { return PyLong_FromLong(0); }) < 0 ||
        make_once(st.int_1, [] { return PyLong_FromLong(1); }) < 0 ||
        make_once(st.pickle_checksum, [] { return PyLong_FromLong(0xe6d5d6e); }) < 0) {
        return -1;
    }
    return 0;
}

int create_tuples(ModuleState& st) {
    if (make_once(st.none_triple, [] { return PyTuple_Pack(3, Py_None, Py_None, Py_None); }) < 0 ||
        make_once(st.localhost_defaults, [] { return Py_BuildValue("(s)", "127.0.0.1"); }) < 0) {
        return -1;
    }
    return 0;
}

// The last component of "orvix.utils.corvane.corvane.<Name>".
const char* class_name(const PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

// Readying a class twice (after a failed import) is harmless, and so is
// publishing its table again.
int register_class(PyObject* module, const ClassEntry& entry) {
    PyTypeObject* type = entry.type;
    entry.fill_vtable();
    if (PyType_Ready(type) < 0) return -1;

    // Native producers in other modules find the class's entries through
    // this capsule. It has no name and no destructor: the table is static
    // and outlives every reader.
    py::Ref capsule = py::Ref::steal(PyCapsule_New(const_cast<void*>(entry.vtable), nullptr, nullptr));
    if (!capsule || PyDict_SetItem(type->tp_dict, kVtableKey.get(), capsule.get()) < 0) return -1;
    PyType_Modified(type);

    // No class has a base with a table of its own, so tables cannot
    // conflict and there is nothing to merge.
    if (PyModule_AddObjectRef(module, class_name(type), reinterpret_cast<PyObject*>(type)) < 0) return -1;
    return install_pickling_hooks(type, entry.reduce, entry.setstate);
}

// Keeps an imported type in the state (a failed earlier import may have
// kept one already).
void keep_type(PyTypeObject*& slot, py::Ref type) {
    PyTypeObject* old = std::exchange(slot, reinterpret_cast<PyTypeObject*>(type.release()));
    Py_XDECREF(old);
}

int import_spscqueue(ModuleState& st) {
    py::Ref type = import_type("orvix.ringq.ringq", "SPSCQueue", kSpscQueueSize);
    if (!type) return -1;

    // The table is only checked for here; every call goes through the queue
    // object's own pointer. Without one the type cannot serve as a ring.
    PyObject* capsule = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(type.get())->tp_dict,
                                                kVtableKey.get());
    if (!capsule) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, kVtableKey.get());
        return -1;
    }
    auto* vtable = static_cast<const OrvixSPSCQueueVTable*>(PyCapsule_GetPointer(capsule, nullptr));
    if (!vtable) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "invalid vtable found for imported type");
        return -1;
    }
    keep_type(st.spscqueue_type, std::move(type));
    st.spscqueue_vtable = vtable;
    return 0;
}

int import_type_type(ModuleState& st) {
    py::Ref type = import_type("builtins", "type", kTypeSize);
    if (!type) return -1;
    keep_type(st.type_type, std::move(type));
    return 0;
}

int import_conversions(ModuleState& st) {
    static constexpr const char kModule[] = "orvix.common";
    py::Ref common = py::Ref::steal(PyImport_ImportModule(kModule));
    if (!common) return -1;
    // Each pointer is stored as soon as it is bound, before the next lookup.
    if (import_c_function(common.get(), kModule, "obj_to_cbuf", ORVIX_OBJ_TO_CBUF_SIGNATURE, &st.obj_to_cbuf) < 0 ||
        import_c_function(common.get(), kModule, "buf_to_cbuf", ORVIX_BUF_TO_CBUF_SIGNATURE, &st.buf_to_cbuf) < 0 ||
        import_c_function(common.get(), kModule, "str_to_cbuf", ORVIX_STR_TO_CBUF_SIGNATURE, &st.str_to_cbuf) < 0) {
        return -1;
    }
    return 0;
}

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
