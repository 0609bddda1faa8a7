// Binding C functions that another extension module exports as capsules in
// its `__qvx_capi__` dictionary, keyed by name, each capsule named after the
// exact C signature the caller was compiled against.
#pragma once

#include <Python.h>

namespace orvix::corvane {

// Stores the pointer of `module`.__qvx_capi__[name] (`module_name` is the
// name it was imported under) in `*function` when the
// capsule's name is exactly `signature`. Returns 0, or -1 with:
//   ImportError "<module> does not export expected C function <name>"
//   TypeError   "C function <module>.<name> has wrong signature (expected <signature>, got <capsule name>)"
// or the error of the attribute lookup or of the capsule itself.
int import_c_function(PyObject* module, const char* module_name, const char* name, const char* signature,
                      void** function);

// Typed convenience over the above.
template <class Fn>
int import_c_function(PyObject* module, const char* module_name, const char* name, const char* signature,
                      Fn* function) {
    void* pointer = nullptr;
    if (import_c_function(module, module_name, name, signature, &pointer) < 0) return -1;
    *function = reinterpret_cast<Fn>(pointer);
    return 0;
}

}  // namespace orvix::corvane
