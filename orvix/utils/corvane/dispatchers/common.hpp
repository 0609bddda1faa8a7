// What the three dispatcher classes share: their constructor arguments, the
// ring each one creates, deallocation through `close`, the refusal to
// pickle, and garbage-collector support for their object fields.
//
// A dispatcher's tp_new reads roughly:
//
//     static constexpr const char* kNames[] = {"callback", "capacity", "slot_size",
//                                              "zerocopy", "overwrite", "variable_size"};
//     ConstructorArguments a;
//     if (parse_constructor_arguments(kNames, args, kwargs, a) < 0) ...
//     py::Ref ring = create_ring(a.slot_size, a.capacity,
//                                {{RingOption::overwrite, a.flag(4)}, {RingOption::zerocopy, a.flag(3)}});
//
// and its tp_dealloc:
//
//     if (!close_for_dealloc(self, &dealloc, &close_through_table, "...Dispatcher.__dealloc__")) return;
//     Fields::release(record(self));
//     Py_TYPE(self)->tp_free(self);
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <utility>

#include "cpython_support/ref.hpp"

namespace orvix::corvane {

// ---- Object fields ---------------------------------------------------------

// The object fields a record owns, in the order the collector visits them.
// A field that is not set holds None, never null.
template <class Record, PyObject* Record::*... Fields>
struct OwnedFields {
    // Allocation: every field None.
    static void init_none(Record& r) noexcept { ((r.*Fields = Py_NewRef(Py_None)), ...); }

    static int traverse(Record& r, visitproc visit, void* arg) {
        int rc = 0;
        ((rc = r.*Fields ? visit(r.*Fields, arg) : 0, rc == 0) && ...);
        return rc;
    }

    // Collector clearing: each field back to None, the old object released
    // after the field no longer refers to it.
    static void clear(Record& r) noexcept { (py::replace_field(r.*Fields, Py_NewRef(Py_None)), ...); }

    // Deallocation: the references dropped for good.
    static void release(Record& r) noexcept { (Py_XDECREF(std::exchange(r.*Fields, nullptr)), ...); }
};

// ---- Construction ----------------------------------------------------------

inline constexpr int kMaxConstructorFlags = 5;

// The constructor arguments every dispatcher takes: `callback`, `capacity`,
// `slot_size`, then the class's flags, all with defaults but the callback
// (16384, 2048, False...).
struct ConstructorArguments {
    PyObject* callback = nullptr;   // borrowed from the call
    std::size_t capacity = 0;
    std::size_t slot_size = 0;
    std::array<bool, kMaxConstructorFlags> flags{};   // in parameter order

    // The flag at parameter position `position` (0-based, so the first flag is 3).
    bool flag(int position) const noexcept { return flags[position - 3]; }
};

// Binds the call to `names` ("callback", "capacity", "slot_size", flags...)
// under the name "__cinit__" and converts the values in parameter order:
// sizes as unsigned 64-bit, flags by truth value. The first failure ends it.
// Returns 0, or -1 with the exception set.
int parse_constructor_arguments(std::span<const char* const> names, PyObject* args, PyObject* kwargs,
                                ConstructorArguments& out);

// ---- The ring --------------------------------------------------------------

enum class RingOption { zerocopy, overwrite, block_on_full };

struct RingFlag {
    RingOption option;
    bool value;
};

// SPSCQueue(slot_size=..., capacity=..., <flags>...), keywords only, in the
// order given. New reference, or null with the queue's exception.
py::Ref create_ring(std::size_t slot_size, std::size_t capacity, std::initializer_list<RingFlag> flags);

// ---- Deallocation ----------------------------------------------------------

// The first half of a dispatcher's tp_dealloc. Runs a finalizer that has not
// run yet, untracks the object, and calls `close(self)` with the pending
// exception set aside and the object kept alive for the call, so an override
// in Python sees a live object. An exception that `close` leaves is printed
// and passed to the unraisable hook with `context`. Returns false when the
// finalizer or the close resurrected the object (deallocation must stop
// there); otherwise the caller releases its fields and frees the memory.
bool close_for_dealloc(PyObject* self, destructor own_dealloc, void (*close)(PyObject*), const char* context);

// The `skip_override` for the close that deallocation runs through the
// table: 0, except for an instance of a Python subclass that the collector
// tore down together with its instances. Such a class has lost its
// dictionary and MRO, so no override can be looked up (the lookup would fail
// with AttributeError); the class's own close runs instead.
inline int dealloc_skip_override(PyObject* self) noexcept { return Py_TYPE(self)->tp_mro == nullptr; }

// ---- Pickling --------------------------------------------------------------

// __reduce__() and __setstate__(state) of the dispatchers: both raise
// TypeError "no default __reduce__ due to non-trivial __cinit__" (after
// __setstate__ has checked that it got exactly one argument).
extern const PyMethodDef refuse_reduce_def;
extern const PyMethodDef refuse_setstate_def;

// ---- The class -------------------------------------------------------------

// A dispatcher's static type: subclassable, collected, immutable from
// Python, without instance dictionary or weak-reference slot.
PyTypeObject make_dispatcher_type(const char* name, Py_ssize_t basicsize, destructor dealloc, traverseproc traverse,
                                  inquiry clear, newfunc new_object);

// ---- Names -----------------------------------------------------------------

// "orvix.utils.corvane.corvane.<Class>.<method>" for the corvane class that
// `self` is an instance of (its nearest static base), for traceback entries
// of methods that the classes share.
void add_method_traceback(PyObject* self, const char* method);

}  // namespace orvix::corvane
