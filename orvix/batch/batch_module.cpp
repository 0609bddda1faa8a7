// orvix.batch._batch: module definition, create and exec steps. The classes
// are re-exported by orvix/batch/__init__.py, and on Linux, where the module
// also holds the rings in shared memory that the batch dispatchers consume
// (orvix/shm/shared_ring_types.hpp), SharedRing and SharedProducer by
// orvix/shm/__init__.py: one module, so that no module reads another's
// objects through a cast.
//
// The module is built on corvane_parts, with its own copy of their state
// (module_state.hpp), which the exec step fills the way corvane's does: the
// constants, the ring type, and `asyncio` among the module's globals, where
// the shared reader code looks it up.
#include <Python.h>

#include "cpython_support/class_signature.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/module_frame.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/batch/async_batch_dispatcher.hpp"
#include "orvix/batch/batch_object.hpp"
#include "orvix/batch/threaded_batch_dispatcher.hpp"
#if ORVIX_SHARED_RING
#include "orvix/shm/shared_ring_types.hpp"
#endif
#include "orvix/utils/corvane/module/function_objects.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/module_steps.hpp"

namespace orvix::batch {
namespace {

constinit py::ModuleFrame frame{"orvix.batch._batch"};

struct ClassWithSignature {
    const corvane::ClassEntry& cls;
    const char* signature;
};

const ClassWithSignature kClasses[] = {
    {threaded_batch_dispatcher_class, kThreadedBatchSignature},
    {async_batch_dispatcher_class, kAsyncBatchSignature},
};

int bind_asyncio(PyObject* module) {
    py::Ref asyncio = py::Ref::steal(PyImport_ImportModule("asyncio"));
    return asyncio ? PyObject_SetAttrString(module, "asyncio", asyncio.get()) : -1;
}

int batch_exec(PyObject* module) {
    switch (frame.begin_exec(module)) {
    case py::ExecStart::already_executed: return 0;
    case py::ExecStart::failed: return -1;
    case py::ExecStart::proceed: break;
    }
    corvane::ModuleState& st = corvane::detail::module_state;
    py::replace_field(st.module_dict, Py_NewRef(frame.dict()));
    py::replace_field(st.builtins, Py_NewRef(frame.builtins()));

    if (corvane::create_constants(st) < 0) return frame.fail();
    if (py::ready_runtime_types() < 0) return frame.fail_at(__LINE__);
    if (frame.add_to_sys_modules() < 0) return frame.fail_at(__LINE__);
    if (corvane::create_tuples(st) < 0) return frame.fail_at(__LINE__);
    if (ready_batch_types() < 0) return frame.fail_at(__LINE__);
    if (PyModule_AddObjectRef(module, "Batch", reinterpret_cast<PyObject*>(&BatchType)) < 0)
        return frame.fail_at(__LINE__);
    for (const ClassWithSignature& c : kClasses) {
        if (corvane::register_class(module, c.cls) < 0) return frame.fail_at(__LINE__);
    }
    if (corvane::import_spscqueue(st) < 0) return frame.fail_at(__LINE__);
    if (bind_asyncio(module) < 0) return frame.fail_at(__LINE__);
#if ORVIX_SHARED_RING
    if (shm::add_shared_ring_types(module) < 0) return frame.fail_at(__LINE__);
#endif
    for (const ClassWithSignature& c : kClasses) {
        for (const corvane::FunctionEntry& function : c.cls.functions) {
            if (corvane::add_function(c.cls.type, function) < 0) return frame.fail_at(__LINE__);
        }
        if (py::set_class_signature(c.cls.type, c.signature) < 0) return frame.fail_at(__LINE__);
    }
    return 0;
}

PyObject* batch_create(PyObject* spec, PyModuleDef*) { return frame.create(spec); }

PyModuleDef_Slot batch_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&batch_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&batch_exec)},
    {0, nullptr},
};

PyModuleDef batch_definition = {
    PyModuleDef_HEAD_INIT, "_batch", "Batch delivery: the reader hands its callback every message present at once.",
    0, nullptr, batch_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace orvix::batch

PyMODINIT_FUNC PyInit__batch() { return PyModuleDef_Init(&orvix::batch::batch_definition); }
