// Pickling of AsyncQueue: the state tuple holds the six fields in the
// alphabetical order of their names, (_callback, _lock, _loop, _notify_cond,
// _q, _task), optionally followed by the instance dictionary of a subclass.
#include <Python.h>

#include "cpython_support/arguments.hpp"
#include "cpython_support/conversions.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/asyncqueue/async_queue.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {


// The layout checksum written by __reduce__, and the older layouts' sums
// that restoring still accepts.
constexpr long kChecksum = 0xe6d5d6e;
constexpr long kAcceptedChecksums[] = {kChecksum, 0x2a2f1a6, 0x7fa4a7c};
constexpr int kFieldCount = 6;

StringConstant kUnpickleName{"__qvx_unpickle_AsyncQueue"};
StringConstant kDict{"__dict__"};
StringConstant kUpdate{"update"};
StringConstant kNew{"__new__"};
StringConstant kPickle{"pickle"};
StringConstant kPickleError{"PickleError"};

// getattr(self, "__dict__", None): a subclass's instance dictionary, or None.
py::Ref instance_dict(PyObject* self) {
    py::Ref dict = py::Ref::steal(PyObject_GetAttr(self, kDict.get()));
    if (dict || !PyErr_ExceptionMatches(PyExc_AttributeError)) return dict;
    PyErr_Clear();
    return py::Ref::borrow(Py_None);
}

PyObject* reduce(PyObject* self) {
    OrvixAsyncQueue* q = async_queue(self);
    py::Ref fields = py::Ref::steal(PyTuple_Pack(kFieldCount, q->_callback, q->_lock, q->_loop, q->_notify_cond, q->_q, q->_task));
    if (!fields) return nullptr;
    py::Ref dict = instance_dict(self);
    if (!dict) return nullptr;
    const int has_dict = dict.get() == Py_None ? 0 : PyObject_IsTrue(dict.get());
    if (has_dict < 0) return nullptr;

    bool use_setstate = has_dict;
    if (has_dict) {
        py::Ref extended = py::Ref::steal(PyTuple_Pack(kFieldCount + 1, q->_callback, q->_lock, q->_loop, q->_notify_cond, q->_q, q->_task, dict.get()));
        if (!extended) return nullptr;
        fields = std::move(extended);
    } else {
        for (PyObject* field : {q->_callback, q->_lock, q->_loop, q->_notify_cond, q->_q, q->_task}) {
            if (field != Py_None) {
                use_setstate = true;
                break;
            }
        }
    }

    py::Ref unpickle = py::Ref::steal(lookup_global(kUnpickleName.get()));
    if (!unpickle) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (use_setstate) return Py_BuildValue("(O(OOO)O)", unpickle.get(), type, state().pickle_checksum, Py_None, fields.get());
    return Py_BuildValue("(O(OOO))", unpickle.get(), type, state().pickle_checksum, fields.get());
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    PyObject* result = reduce(self);
    if (!result) add_member_traceback(&AsyncQueueType, "__reduce__");
    return result;
}

// Writes the fields from a state tuple, in the order of the tuple. A missing
// element ends it with IndexError, the fields before it already replaced (a
// five-element state still replaces `_q`); a `_q` that is no ring leaves
// `_q` and `_task` as they were.
int restore_state(PyObject* self, PyObject* fields) {
    OrvixAsyncQueue* q = async_queue(self);
    const Py_ssize_t size = PyTuple_GET_SIZE(fields);
    auto element = [&](Py_ssize_t i) -> PyObject* {
        if (i < size) return PyTuple_GET_ITEM(fields, i);
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return nullptr;
    };
    PyObject** in_order[] = {&q->_callback, &q->_lock, &q->_loop, &q->_notify_cond};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* value = element(i);
        if (!value) return -1;
        py::replace_field(*in_order[i], Py_NewRef(value));
    }
    PyObject* ring = element(4);
    if (!ring) return -1;
    PyTypeObject* ring_type = state().spscqueue_type;
    if (ring != Py_None && !PyObject_TypeCheck(ring, ring_type)) {
        PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(ring)->tp_name, ring_type->tp_name);
        return -1;
    }
    py::replace_field(q->_q, Py_NewRef(ring));
    PyObject* task = element(5);
    if (!task) return -1;
    py::replace_field(q->_task, Py_NewRef(task));

    if (size <= kFieldCount) return 0;
    PyObject* extra = PyTuple_GET_ITEM(fields, kFieldCount);
    const int truthy = PyObject_IsTrue(extra);
    if (truthy <= 0) return truthy;
    py::Ref dict = py::Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return -1;
    // dict.update, with all it accepts (a mapping, or an iterable of pairs),
    // or the update method of whatever else serves as the dictionary.
    py::Ref updated = py::Ref::steal(PyObject_CallMethodOneArg(dict.get(), kUpdate.get(), extra));
    return updated ? 0 : -1;
}

PyObject* setstate_method(PyObject* self, PyObject* fields) {
    if (!PyTuple_CheckExact(fields)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(fields)->tp_name);
    } else if (restore_state(self, fields) == 0) {
        Py_RETURN_NONE;
    }
    add_member_traceback(&AsyncQueueType, "__setstate__");
    return nullptr;
}

// The state of an incompatible layout is refused with pickle.PickleError.
void raise_incompatible_checksum(long checksum) {
    py::Ref pickle = py::Ref::steal(PyImport_Import(kPickle.get()));
    if (!pickle) return;
    py::Ref error = py::Ref::steal(PyObject_GetAttr(pickle.get(), kPickleError.get()));
    if (!error) return;
    PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))", static_cast<int>(checksum),
                 static_cast<int>(kAcceptedChecksums[0]), static_cast<int>(kAcceptedChecksums[1]),
                 static_cast<int>(kAcceptedChecksums[2]), "_callback, _lock, _loop, _notify_cond, _q, _task");
}

PyObject* unpickle(py::Function&, PyObject*, py::BoundArguments& args) {
    PyObject* type = args[0];
    std::int32_t checksum;
    if (py::to_int32(args[1], &checksum) < 0) return nullptr;
    PyObject* fields = args[2];
    if (!py::check_argument_type(fields, &PyTuple_Type, "__qvx_state", true, true)) return nullptr;
    bool accepted = false;
    for (long sum : kAcceptedChecksums) accepted |= sum == checksum;
    if (!accepted) {
        raise_incompatible_checksum(checksum);
        return nullptr;
    }
    py::Ref self = py::Ref::steal(PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&AsyncQueueType), kNew.get(), type));
    if (!self) return nullptr;
    if (fields != Py_None && restore_state(self.get(), fields) < 0) return nullptr;
    return self.release();
}

constexpr const char* kUnpickleParameters[] = {"__qvx_type", "__qvx_checksum", "__qvx_state"};

constinit const py::FunctionSpec kUnpickleSpec = corvane_function({
    .name = "__qvx_unpickle_AsyncQueue",
    .qualname = "__qvx_unpickle_AsyncQueue",
    .doc = "__qvx_unpickle_AsyncQueue(__qvx_type, long __qvx_checksum, tuple __qvx_state)",
    .params = {"__qvx_unpickle_AsyncQueue", kUnpickleParameters, 3, 3},
    .impl = &unpickle,
    .method = false,
});

}  // namespace

// Text signatures only: __doc__ stays None, inspect.signature() reads the parameters.
const PyMethodDef async_queue_reduce_def = {"__reduce__", &reduce_method, METH_NOARGS, "__reduce__($self, /)\n--\n\n"};
const PyMethodDef async_queue_setstate_def = {"__setstate__", &setstate_method, METH_O,
                                              "__setstate__($self, state, /)\n--\n\n"};

const ModuleFunctionEntry unpickle_async_queue_function = {"__qvx_unpickle_AsyncQueue", kUnpickleSpec};

}  // namespace orvix::corvane
