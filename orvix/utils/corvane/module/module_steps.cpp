#include "orvix/utils/corvane/module/module_steps.hpp"

#include <cstring>
#include <utility>

#include "cpython_support/interpreter_internals.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/module/capi_import.hpp"
#include "orvix/utils/corvane/module/pickling_hooks.hpp"
#include "orvix/utils/corvane/module/producer_mark.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"
#include "orvix/utils/corvane/module/type_import.hpp"

namespace orvix::corvane {
namespace {

StringConstant kVtableKey{"__qvx_vtable__"};

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

// The last component of "orvix.utils.corvane.corvane.<Name>".
const char* class_name(const PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

// Keeps an imported type in the state (a failed earlier import may have
// kept one already).
void keep_type(PyTypeObject*& slot, py::Ref type) {
    PyTypeObject* old = std::exchange(slot, reinterpret_cast<PyTypeObject*>(type.release()));
    Py_XDECREF(old);
}

}  // namespace

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
    if (entry.producer_kind &&
        add_producer_mark(type, static_cast<OrvixDispatcherKind>(entry.producer_kind)) < 0)
        return -1;

    // No class has a base with a table of its own, so tables cannot
    // conflict and there is nothing to merge.
    if (PyModule_AddObjectRef(module, class_name(type), reinterpret_cast<PyObject*>(type)) < 0) return -1;
    return install_pickling_hooks(type, entry.reduce, entry.setstate);
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

}  // namespace orvix::corvane
