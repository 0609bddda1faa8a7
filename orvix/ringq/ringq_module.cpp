// orvix.ringq.ringq: the module that holds the SPSCQueue type and names the
// results its native entries return.
#include <Python.h>

#include "cpython_support/ref.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/ringq/spsc_queue_type.hpp"

namespace orvix::ringq {
namespace {

int exec_module(PyObject* module)
{
    py::Ref type = py::Ref::steal(make_spsc_queue_type(module));
    if (!type || PyModule_AddObjectRef(module, "SPSCQueue", type.get()) < 0) return -1;
    const struct {
        const char* name;
        int value;
    } results[] = {
        {"RESULT_STORED", ORVIX_RING_STORED},       {"RESULT_FULL", ORVIX_RING_FULL},
        {"RESULT_TOO_LARGE", ORVIX_RING_TOO_LARGE}, {"RESULT_CLOSED", ORVIX_RING_CLOSED},
        {"RESULT_WRONG_MODE", ORVIX_RING_WRONG_MODE},
    };
    for (const auto& r : results)
        if (PyModule_AddIntConstant(module, r.name, r.value) < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Each interpreter gets its own type; the method table is plain code.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "orvix.ringq.ringq",
    "The lock-free single-producer/single-consumer message ring, SPSCQueue.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace orvix::ringq

PyMODINIT_FUNC PyInit_ringq() { return PyModuleDef_Init(&orvix::ringq::definition); }
