// The call signature of a native class, for inspect.signature() and help().
//
// A native class whose constructor parses its own arguments (tp_new) and
// whose docstring is not of the "Name(...)\n--\n\n" form has no
// __text_signature__, so inspect.signature(cls) fails. inspect consults a
// class attribute __signature__ before anything else and accepts a text
// there; this descriptor provides it:
//
//     set_class_signature(&ThingType, "(callback, capacity=16384)");
//
// It answers only on the class that owns it and on subclasses that define no
// __init__, __new__ or __signature__ of their own (for the others it is None,
// so inspect goes on to their own definitions), and it is not an attribute of
// instances.
#pragma once

#include <Python.h>

namespace orvix::py {

// Stores the descriptor under "__signature__" in `type`'s dictionary (the
// class may be immutable: its dictionary is changed in place and its
// attribute cache invalidated). `text` is static: "(a, b=1, *, c=None)".
// Returns 0, or -1 with an exception set.
int set_class_signature(PyTypeObject* type, const char* text);

}  // namespace orvix::py
