// The one construction path of the three dispatcher classes: allocation,
// the constructor arguments, the ring, `_q` and `callback`.
//
//     constexpr RingFlag kRingFlags[] = {   // the ring's flags, in the order the class passes them
//         {RingOption::zerocopy, 3}, {RingOption::overwrite, 5}, {RingOption::block_on_full, 4}};
//     constexpr ConstructorSpec kConstructor{
//         .names = kNames,   // "callback", "capacity", "slot_size", then the class's flags
//         .ring_flags = kRingFlags,
//     };
//     ConstructorArguments a;
//     py::Ref obj = construct_dispatcher<OrvixThreadedDispatcher>(type, &ThreadedDispatcherType, kConstructor,
//                                                                 args, kwargs, a, prepare);
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"

namespace orvix::corvane {

inline constexpr int kMaxConstructorFlags = 5;

// The constructor arguments every dispatcher takes: `callback`, `capacity`,
// `slot_size`, then the class's flags, all with defaults but the callback
// (16384, 2048, False...).
struct ConstructorArguments {
    PyObject* callback = nullptr;   // borrowed from the call
    std::size_t capacity = 0;
    std::size_t slot_size = 0;
    std::array<bool, kMaxConstructorFlags> flags{};   // in parameter order
    std::size_t max_batch = 0;      // orvix.batch's classes: the most messages one batch holds
    PyObject* ring = nullptr;       // borrowed: a ring to consume instead of a new one (orvix.batch's `ring=`)

    // The flag at parameter position `position` (0-based, so the first flag is 3).
    bool flag(int position) const noexcept { return flags[position - 3]; }
};

// A class whose parameter list is not `callback, capacity, slot_size`, then
// flags, binds its arguments itself. 0, or -1 with the exception set.
using ParseArguments = int (*)(PyObject* args, PyObject* kwargs, ConstructorArguments& out);

// The ring's flags that a dispatcher passes on.
enum class RingOption { overwrite, zerocopy, block_on_full };

// One of them, and the parameter position (0-based) of the flag that gives its value.
struct RingFlag {
    RingOption option;
    int position;
};

// A class's parameter list, and the ring flags it passes after `slot_size`
// and `capacity`, in its own order: the classes do not all agree on one.
struct ConstructorSpec {
    std::span<const char* const> names;
    std::span<const RingFlag> ring_flags;
    ParseArguments parse = nullptr;   // instead of parse_constructor_arguments(names, ...)
};

// Binds the call to `names` under the name "__cinit__" and converts the
// values in parameter order: sizes as unsigned 64-bit, flags by truth value.
// The first failure ends it. Returns 0, or -1 with the exception set.
int parse_constructor_arguments(std::span<const char* const> names, PyObject* args, PyObject* kwargs,
                                ConstructorArguments& out);

// SPSCQueue(slot_size=..., capacity=..., then the class's ring flags in its
// order), keywords only. New reference, or null with the queue's exception.
py::Ref create_ring(const ConstructorSpec& spec, const ConstructorArguments& a);

// tp_alloc, then `prepare(obj)` (what every instance holds before its
// arguments are parsed: its table, None in every object field), then the
// arguments, the ring and `callback` stored. Null with the exception and
// the traceback entry "<owner>.__cinit__" on failure; releasing the
// half-built object runs its deallocation.
template <class Record, class Prepare>
py::Ref construct_dispatcher(PyTypeObject* type, PyTypeObject* owner, const ConstructorSpec& spec, PyObject* args,
                             PyObject* kwargs, ConstructorArguments& a, Prepare prepare) {
    py::Ref obj = py::Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return obj;
    prepare(obj.get());
    Record& r = *reinterpret_cast<Record*>(obj.get());
    if ((spec.parse ? spec.parse(args, kwargs, a) : parse_constructor_arguments(spec.names, args, kwargs, a)) < 0) {
        add_member_traceback(owner, "__cinit__");
        return nullptr;
    }
    py::replace_field(r.callback, Py_NewRef(a.callback));
    py::Ref ring = a.ring ? py::Ref::borrow(a.ring) : create_ring(spec, a);
    if (!ring) {
        add_member_traceback(owner, "__cinit__");
        return nullptr;
    }
    py::replace_field(r._q, ring.release());
    return obj;
}

}  // namespace orvix::corvane
