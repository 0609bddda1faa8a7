// The mark by which producer.h's orvix_producer_target recognizes a class
// that native producers push into, and which kind of dispatcher record its
// instances have: a capsule named ORVIX_PRODUCER_MARK_CAPSULE in the class's
// own dictionary under ORVIX_PRODUCER_MARK_KEY, pointing at a static
// OrvixProducerMark. Why a Python class cannot forge it is argued beside
// orvix_producer_kind in producer.h.
#pragma once

#include <Python.h>

#include "orvix/utils/corvane/producer.h"

namespace orvix::corvane {

// Marks `type`, which must be immutable (made by C code, and nobody changes
// its dictionary afterwards), as a dispatcher of `kind`. 0, or -1 with an
// exception.
int add_producer_mark(PyTypeObject* type, OrvixDispatcherKind kind);

}  // namespace orvix::corvane
