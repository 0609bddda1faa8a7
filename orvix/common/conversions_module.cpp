// orvix.common._conversions: publishes the conversion functions to native
// modules as capsules in `__qvx_capi__`, and to Python as *_to_bytes
// functions that run the very same C code.
#include "orvix/common/conversions.hpp"

namespace orvix::common {
namespace {

// One exported function: its key in __qvx_capi__, its signature text (the
// capsule's name, a literal so it outlives every capsule) and its address.
struct ExportedFunction {
    char const* name;
    char const* signature;
    void* function;
};

ExportedFunction const exported_functions[] = {
    {"obj_to_cbuf", ORVIX_OBJ_TO_CBUF_SIGNATURE, reinterpret_cast<void*>(&obj_to_cbuf)},
    {"buf_to_cbuf", ORVIX_BUF_TO_CBUF_SIGNATURE, reinterpret_cast<void*>(&buf_to_cbuf)},
    {"str_to_cbuf", ORVIX_STR_TO_CBUF_SIGNATURE, reinterpret_cast<void*>(&str_to_cbuf)},
};

// The bytes a successful conversion described, or None when there is nothing
// to push; nullptr when the conversion failed.
PyObject* bytes_or_none(int result, char const* data, size_t size) {
    if (result == -1) return nullptr;
    if (result != 0) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
}

PyObject* buf_to_bytes(PyObject*, PyObject* obj) {
    Py_buffer view{};
    char const* data = nullptr;
    size_t size = 0;
    // buf_to_cbuf succeeds with any result but -1.
    int const result = buf_to_cbuf(obj, &view, &data, &size) == -1 ? -1 : 0;
    PyObject* const bytes = bytes_or_none(result, data, size);
    if (view.buf != nullptr) PyBuffer_Release(&view);
    return bytes;
}

PyObject* obj_to_bytes(PyObject*, PyObject* obj) {
    PyObject* owner = nullptr;
    char const* data = nullptr;
    size_t size = 0;
    int const result = obj_to_cbuf(obj, &owner, &data, &size);  // before data and size are read
    PyObject* const bytes = bytes_or_none(result, data, size);
    Py_XDECREF(owner);
    return bytes;
}

PyObject* str_to_bytes(PyObject*, PyObject* obj) {
    char const* data = nullptr;
    size_t size = 0;
    int const result = str_to_cbuf(obj, &data, &size);  // before data and size are read
    return bytes_or_none(result, data, size);
}

PyMethodDef functions[] = {
    {"buf_to_bytes", buf_to_bytes, METH_O,
     "buf_to_bytes(obj, /)\n--\n\n"
     "The bytes that buf_to_cbuf takes from obj: the contents of its C-contiguous buffer."},
    {"obj_to_bytes", obj_to_bytes, METH_O,
     "obj_to_bytes(obj, /)\n--\n\n"
     "The bytes that obj_to_cbuf takes from obj (a bytes-like object, a str as UTF-8 or an object\n"
     "with __bytes__), or None for None, which has nothing to push."},
    {"str_to_bytes", str_to_bytes, METH_O,
     "str_to_bytes(obj, /)\n--\n\n"
     "The bytes that str_to_cbuf takes from obj: the UTF-8 encoding of a str."},
    {nullptr, nullptr, 0, nullptr},
};

int add_capi_table(PyObject* module) {
    PyObject* table = PyDict_New();
    if (table == nullptr) return -1;
    for (ExportedFunction const& f : exported_functions) {
        PyObject* capsule = PyCapsule_New(f.function, f.signature, nullptr);
        int const stored = capsule != nullptr ? PyDict_SetItemString(table, f.name, capsule) : -1;
        Py_XDECREF(capsule);
        if (stored < 0) {
            Py_DECREF(table);
            return -1;
        }
    }
    int const added = PyModule_AddObjectRef(module, "__qvx_capi__", table);
    Py_DECREF(table);
    return added;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&add_capi_table)},
    // Stateless: the capsules point at plain functions shared by every interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "orvix.common._conversions",
    "The C conversion functions of orvix.common, as capsules and as Python functions.",
    0,
    functions,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace orvix::common

PyMODINIT_FUNC PyInit__conversions() {
    return PyModuleDef_Init(&orvix::common::definition);
}
