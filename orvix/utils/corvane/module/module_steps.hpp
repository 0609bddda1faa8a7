// The steps of a module exec that orvix's modules built on corvane_parts
// share: the state's constants, class registration with its table capsule,
// and the imports of the ring type, `type` and the buffer conversions. Each
// step may run again after a failed import and keeps what it made before.
#pragma once

#include <Python.h>

#include "orvix/utils/corvane/module/class_entry.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"

namespace orvix::corvane {

// The state's constants and every registered string constant.
int create_constants(ModuleState& st);
int create_tuples(ModuleState& st);

// fill_vtable(), PyType_Ready, the table published as "__qvx_vtable__",
// the class stored in `module` under its tp_name's last component, then the
// pickling hooks. 0, or -1 with an exception.
int register_class(PyObject* module, const ClassEntry& entry);

// orvix.ringq.ringq.SPSCQueue (checked for its size and table), the builtin
// `type` and orvix.common's conversions, kept in the state.
int import_spscqueue(ModuleState& st);
int import_type_type(ModuleState& st);
int import_conversions(ModuleState& st);

}  // namespace orvix::corvane
