#include "orvix/utils/corvane/dispatchers/pickling_refusal.hpp"

#include "cpython_support/arguments.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"

namespace orvix::corvane {
namespace {

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

const PyMethodDef refuse_reduce_def = refusal<kReduceParameters>("__reduce__($self)\n--\n\n");
const PyMethodDef refuse_setstate_def = refusal<kSetstateParameters>("__setstate__($self, state)\n--\n\n");

}  // namespace orvix::corvane
