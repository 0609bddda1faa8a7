// Test-only module: calls the conversion functions of orvix.common the way a
// native consumer does, through the capsules of orvix.common.__qvx_capi__
// (found by their signature texts), and hands the views and owner references
// those functions return to Python so the tests can watch their lifetimes.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "cpython_support/ref.hpp"
#include "orvix/common/conversions.h"

namespace {

using orvix::py::Ref;

orvix_obj_to_cbuf_fn obj_to_cbuf = nullptr;
orvix_buf_to_cbuf_fn buf_to_cbuf = nullptr;
orvix_str_to_cbuf_fn str_to_cbuf = nullptr;

// A failing conversion's result must be exactly -1 and come with an exception.
PyObject* check_failure(int result) {
    if (result != -1 || !PyErr_Occurred()) {
        PyErr_Format(PyExc_AssertionError, "conversion returned %d (exception set: %d)", result,
                     PyErr_Occurred() != nullptr);
    }
    return nullptr;
}

constexpr char held_view_name[] = "common_capi_probe.held_view";

void release_held_view(PyObject* capsule) {
    auto* view = static_cast<Py_buffer*>(PyCapsule_GetPointer(capsule, held_view_name));
    if (view->buf != nullptr) PyBuffer_Release(view);
    delete view;
}

// hold_buf(obj) -> (bytes, holder): the bytes buf_to_cbuf described, and a
// capsule that keeps its view until the capsule is released.
PyObject* hold_buf(PyObject*, PyObject* obj) {
    auto* view = new Py_buffer{};
    char const* data = nullptr;
    size_t size = 0;
    int const result = buf_to_cbuf(obj, view, &data, &size);
    Ref holder = Ref::steal(PyCapsule_New(view, held_view_name, release_held_view));
    if (!holder) {
        if (view->buf != nullptr) PyBuffer_Release(view);
        delete view;
        return nullptr;
    }
    if (result == -1) {
        if (view->buf != nullptr) {
            PyErr_SetString(PyExc_AssertionError, "buf_to_cbuf failed but left a view to release");
            return nullptr;
        }
        return check_failure(result);
    }
    Ref const bytes = Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)));
    if (!bytes) return nullptr;
    return PyTuple_Pack(2, bytes.get(), holder.get());
}

// convert_obj(obj) -> (result, bytes or None, owner or None)
PyObject* convert_obj(PyObject*, PyObject* obj) {
    Ref owner;
    char const* data = nullptr;
    size_t size = 0;
    int const result = obj_to_cbuf(obj, owner.out(), &data, &size);
    if (result == -1) {
        if (owner) {
            PyErr_SetString(PyExc_AssertionError, "obj_to_cbuf failed but returned an owner");
            return nullptr;
        }
        return check_failure(result);
    }
    Ref const bytes = result == 0 ? Ref::steal(PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size)))
                                  : Ref::borrow(Py_None);
    if (!bytes) return nullptr;
    return Py_BuildValue("(iOO)", result, bytes.get(), owner ? owner.get() : Py_None);
}

// convert_str(obj) -> (result, bytes, address of the bytes)
PyObject* convert_str(PyObject*, PyObject* obj) {
    char const* data = nullptr;
    size_t size = 0;
    int const result = str_to_cbuf(obj, &data, &size);
    if (result == -1) return check_failure(result);
    return Py_BuildValue("(iy#K)", result, data, static_cast<Py_ssize_t>(size),
                         static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(data)));
}

PyMethodDef functions[] = {
    {"hold_buf", hold_buf, METH_O, nullptr},
    {"convert_obj", convert_obj, METH_O, nullptr},
    {"convert_str", convert_str, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

void* capsule_pointer(PyObject* capi, char const* name, char const* signature) {
    PyObject* capsule = PyDict_GetItemString(capi, name);  // borrowed
    if (capsule == nullptr) {
        PyErr_Format(PyExc_ImportError, "orvix.common does not export %s", name);
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, signature);  // checks the name
}

int bind_functions(PyObject*) {
    Ref const common = Ref::steal(PyImport_ImportModule("orvix.common"));
    if (!common) return -1;
    Ref const capi = Ref::steal(PyObject_GetAttrString(common.get(), "__qvx_capi__"));
    if (!capi) return -1;
    obj_to_cbuf = reinterpret_cast<orvix_obj_to_cbuf_fn>(
        capsule_pointer(capi.get(), "obj_to_cbuf", ORVIX_OBJ_TO_CBUF_SIGNATURE));
    buf_to_cbuf = reinterpret_cast<orvix_buf_to_cbuf_fn>(
        capsule_pointer(capi.get(), "buf_to_cbuf", ORVIX_BUF_TO_CBUF_SIGNATURE));
    str_to_cbuf = reinterpret_cast<orvix_str_to_cbuf_fn>(
        capsule_pointer(capi.get(), "str_to_cbuf", ORVIX_STR_TO_CBUF_SIGNATURE));
    return obj_to_cbuf && buf_to_cbuf && str_to_cbuf ? 0 : -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&bind_functions)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "common_capi_probe", nullptr, 0, functions, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_common_capi_probe() { return PyModuleDef_Init(&definition); }
