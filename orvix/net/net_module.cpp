// orvix.net._net: native receivers that carry data from other machines into
// any dispatcher without the interpreter lock, re-exported by orvix.net.
#include <Python.h>

#include <cstddef>

#include "orvix/net/net_types.hpp"
#include "orvix/net/udp_source.hpp"

namespace {

// Each module instance (one per interpreter) holds its own types.
struct ModuleState {
    PyObject* udp_receiver;
};

ModuleState* state_of(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

int add_type(PyObject* module, const char* name, PyObject* type, PyObject** slot) {
    if (type == nullptr) return -1;
    *slot = type;
    return PyModule_AddObjectRef(module, name, type);
}

int exec_module(PyObject* module) {
    ModuleState* state = state_of(module);
    if (add_type(module, "UdpReceiver", orvix::net::make_udp_receiver_type(module), &state->udp_receiver) < 0)
        return -1;
    return PyModule_AddIntConstant(module, "METADATA_SIZE", sizeof(orvix::net::UdpMetadata));
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(state_of(module)->udp_receiver);
    return 0;
}

int clear_module(PyObject* module) {
    Py_CLEAR(state_of(module)->udp_receiver);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orvix.net._net", "Native network receivers behind orvix.net.", sizeof(ModuleState),
    nullptr, module_slots, traverse_module, clear_module, free_module,
};

}  // namespace

PyMODINIT_FUNC PyInit__net() { return PyModuleDef_Init(&module_def); }
