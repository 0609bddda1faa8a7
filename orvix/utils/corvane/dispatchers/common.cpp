#include "orvix/utils/corvane/dispatchers/common.hpp"

#include <string>

#include "cpython_support/arguments.hpp"
#include "cpython_support/conversions.hpp"
#include "cpython_support/errors.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

StringConstant kSlotSize{"slot_size"};
StringConstant kCapacity{"capacity"};
StringConstant kZerocopy{"zerocopy"};
StringConstant kOverwrite{"overwrite"};
StringConstant kBlockOnFull{"block_on_full"};

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

PyObject* ring_keyword(RingOption option) {
    switch (option) {
    case RingOption::zerocopy: return kZerocopy.get();
    case RingOption::overwrite: return kOverwrite.get();
    case RingOption::block_on_full: return kBlockOnFull.get();
    }
    return nullptr;
}

constexpr const char kNoReduce[] = "no default __reduce__ due to non-trivial __cinit__";

// Binds the call (for the argument messages), then refuses.
template <const py::Parameters& Params>
PyObject* refuse_pickling(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::BoundArguments bound;
    if (py::bind_arguments(Params, nullptr, args, nargs, kwnames, bound) == 0)
        PyErr_SetString(PyExc_TypeError, kNoReduce);
    add_method_traceback(self, Params.func_name);
    return nullptr;
}

constexpr const char* kStateName[] = {"state"};
constexpr py::Parameters kReduceParameters{"__reduce__", nullptr, 0, 0};
constexpr py::Parameters kSetstateParameters{"__setstate__", kStateName, 1, 1};

// The docstrings are text signatures only, so __doc__ stays None and
// inspect.signature() reads the parameters.
template <const py::Parameters& Params>
PyMethodDef refusal(const char* signature) {
    return {Params.func_name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&refuse_pickling<Params>)),
            METH_FASTCALL | METH_KEYWORDS, signature};
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

py::Ref create_ring(std::size_t slot_size, std::size_t capacity, std::initializer_list<RingFlag> flags) {
    constexpr std::size_t kMaxKeywords = 2 + kMaxConstructorFlags;
    const std::size_t count = 2 + flags.size();
    py::Ref kwnames = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!kwnames) return nullptr;
    py::Ref values[kMaxKeywords];
    PyTuple_SET_ITEM(kwnames.get(), 0, Py_NewRef(kSlotSize.get()));
    values[0] = py::Ref::steal(PyLong_FromSize_t(slot_size));
    PyTuple_SET_ITEM(kwnames.get(), 1, Py_NewRef(kCapacity.get()));
    values[1] = py::Ref::steal(PyLong_FromSize_t(capacity));
    if (!values[0] || !values[1]) return nullptr;
    std::size_t i = 2;
    for (const RingFlag& flag : flags) {
        PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), Py_NewRef(ring_keyword(flag.option)));
        values[i++] = py::Ref::borrow(flag.value ? Py_True : Py_False);
    }
    // Vectorcall takes the argument values as one array of borrowed pointers.
    PyObject* argv[kMaxKeywords];
    for (std::size_t k = 0; k < count; ++k) argv[k] = values[k].get();
    return py::Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(state().spscqueue_type), argv, 0,
                                              kwnames.get()));
}

bool close_for_dealloc(PyObject* self, destructor own_dealloc, void (*close)(PyObject*), const char* context) {
    PyTypeObject* type = Py_TYPE(self);
    // A Python subclass's __del__ has already run in the subclass's own
    // deallocator; this catches the remaining case of a finalizer that
    // reaches here first.
    if (type->tp_finalize && type->tp_dealloc == own_dealloc && !PyObject_GC_IsFinalized(self)) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return false;   // resurrected
    }
    PyObject_GC_UnTrack(self);
    // The collector may be tearing down the subclass together with this
    // object: it empties the class's __dict__ (releasing an override of
    // close) without telling the class, whose attribute cache would then
    // hand the lookup below a freed function. Dropping the cache makes the
    // lookup read the dictionaries as they are now.
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) PyType_Modified(type);
    py::SavedError saved;
    // The count is 0 here; the call below makes and drops references to
    // self (a bound method for an override), which must not deallocate it
    // a second time.
    Py_SET_REFCNT(self, Py_REFCNT(self) + 1);
    close(self);
    if (PyErr_Occurred()) py::report_unraisable(context);
    Py_SET_REFCNT(self, Py_REFCNT(self) - 1);
    if (Py_REFCNT(self) == 0) return true;
    // Something kept a reference: an override stored self, or an unraisable
    // hook kept close's error, whose traceback holds the frame that holds
    // self. The object lives on, as after a resurrecting __del__; it is
    // deallocated again when that reference goes.
    PyObject_GC_Track(self);
    // A Python subclass's deallocator drops its reference to the type once
    // this returns; the living object still needs it.
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) Py_INCREF(type);
    return false;
}

const PyMethodDef refuse_reduce_def = refusal<kReduceParameters>("__reduce__($self)\n--\n\n");
const PyMethodDef refuse_setstate_def = refusal<kSetstateParameters>("__setstate__($self, state)\n--\n\n");

PyTypeObject make_dispatcher_type(const char* name, Py_ssize_t basicsize, destructor dealloc, traverseproc traverse,
                                  inquiry clear, newfunc new_object) {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = name;
    type.tp_basicsize = basicsize;
    type.tp_dealloc = dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
    type.tp_traverse = traverse;
    type.tp_clear = clear;
    type.tp_new = new_object;
    return type;
}

void add_method_traceback(PyObject* self, const char* method) {
    PyTypeObject* type = Py_TYPE(self);
    while (type->tp_base && PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) type = type->tp_base;
    py::add_traceback((std::string(type->tp_name) + '.' + method).c_str(), 1);
}

}  // namespace orvix::corvane
