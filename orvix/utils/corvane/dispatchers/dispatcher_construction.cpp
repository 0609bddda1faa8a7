#include "orvix/utils/corvane/dispatchers/dispatcher_construction.hpp"

#include <utility>

#include "cpython_support/arguments.hpp"
#include "cpython_support/conversions.hpp"
#include "cpython_support/errors.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

StringConstant kSlotSize{"slot_size"};
StringConstant kCapacity{"capacity"};
StringConstant kOverwrite{"overwrite"};
StringConstant kZerocopy{"zerocopy"};
StringConstant kBlockOnFull{"block_on_full"};

PyObject* keyword(RingOption option) {
    switch (option) {
    case RingOption::overwrite: return kOverwrite.get();
    case RingOption::zerocopy: return kZerocopy.get();
    case RingOption::block_on_full: return kBlockOnFull.get();
    }
    return nullptr;
}

constexpr std::size_t kDefaultCapacity = 16384;
constexpr std::size_t kDefaultSlotSize = 2048;
constexpr int kFixedParameters = 3;   // callback, capacity, slot_size

// (16384, 2048, False, ...) with `flags` Falses: the defaults of every
// parameter after `callback`. Built once per flag count, kept for good.
PyObject* constructor_defaults(int flags) {
    static PyObject* cache[kMaxConstructorFlags + 1] = {};
    PyObject*& defaults = cache[flags];
    if (defaults) return defaults;
    py::Ref tuple = py::Ref::steal(PyTuple_New(2 + flags));
    if (!tuple) return nullptr;
    PyObject* capacity = PyLong_FromSize_t(kDefaultCapacity);
    if (!capacity) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 0, capacity);
    PyObject* slot_size = PyLong_FromSize_t(kDefaultSlotSize);
    if (!slot_size) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), 1, slot_size);
    for (int i = 0; i < flags; ++i) PyTuple_SET_ITEM(tuple.get(), 2 + i, Py_NewRef(Py_False));
    defaults = tuple.release();
    return defaults;
}

}  // namespace

int parse_constructor_arguments(std::span<const char* const> names, PyObject* args, PyObject* kwargs,
                                ConstructorArguments& out) {
    const int flags = static_cast<int>(names.size()) - kFixedParameters;
    if (flags < 0 || flags > kMaxConstructorFlags) {
        PyErr_SetString(PyExc_SystemError, "a dispatcher constructor with an unexpected parameter list");
        return -1;
    }
    PyObject* defaults = constructor_defaults(flags);
    if (!defaults) return -1;
    const py::Parameters params{"__cinit__", names.data(), static_cast<int>(names.size()), 1};
    py::BoundArguments bound;
    if (py::bind_arguments(params, defaults, args, kwargs, bound) < 0) return -1;

    out.callback = bound[0];
    if (py::to_size(bound[1], &out.capacity) < 0 || py::to_size(bound[2], &out.slot_size) < 0) return -1;
    for (int i = 0; i < flags; ++i) {
        const int value = py::to_flag(bound[kFixedParameters + i]);
        if (value < 0) return -1;
        out.flags[i] = value != 0;
    }
    return 0;
}

py::Ref create_ring(const ConstructorSpec& spec, const ConstructorArguments& a) {
    constexpr std::size_t kMaxKeywords = 2 + kMaxConstructorFlags;
    const Py_ssize_t count = 2 + static_cast<Py_ssize_t>(spec.ring_flags.size());
    if (count > static_cast<Py_ssize_t>(kMaxKeywords)) {
        PyErr_SetString(PyExc_SystemError, "a dispatcher passes more ring flags than there are");
        return nullptr;
    }
    py::Ref kwnames = py::Ref::steal(PyTuple_New(count));
    if (!kwnames) return nullptr;
    py::Ref values[kMaxKeywords];
    PyTuple_SET_ITEM(kwnames.get(), 0, Py_NewRef(kSlotSize.get()));
    values[0] = py::Ref::steal(PyLong_FromSize_t(a.slot_size));
    PyTuple_SET_ITEM(kwnames.get(), 1, Py_NewRef(kCapacity.get()));
    values[1] = py::Ref::steal(PyLong_FromSize_t(a.capacity));
    if (!values[0] || !values[1]) return nullptr;
    Py_ssize_t i = 2;
    for (const RingFlag& flag : spec.ring_flags) {
        PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(keyword(flag.option)));
        values[i++] = py::Ref::borrow(a.flag(flag.position) ? Py_True : Py_False);
    }
    // Vectorcall takes the argument values as one array of borrowed pointers.
    PyObject* argv[kMaxKeywords];
    for (Py_ssize_t k = 0; k < count; ++k) argv[k] = values[k].get();
    return py::Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(state().spscqueue_type), argv, 0,
                                              kwnames.get()));
}

}  // namespace orvix::corvane
