// The AsyncQueue type: allocation, the constructor, collector support and
// release, and the class's registration entry.
#include "orvix/utils/corvane/asyncqueue/async_queue.hpp"

#include <cstddef>

#include "cpython_support/arguments.hpp"
#include "cpython_support/conversions.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/owned_fields.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

constexpr const char kNoRunningLoop[] = "AsyncQueue must be created inside a running event loop.";

StringConstant kAsyncio{"asyncio"};
StringConstant kLock{"Lock"};
StringConstant kCondition{"Condition"};
StringConstant kGetRunningLoop{"get_running_loop"};

OrvixAsyncQueueVTable vtable;

void fill_vtable() { vtable.start_dispatcher = &start_dispatcher_entry; }

// Collector traversal and clearing visit the fields in record order.
using Fields = OwnedFields<OrvixAsyncQueue, &OrvixAsyncQueue::_q, &OrvixAsyncQueue::_loop,
                           &OrvixAsyncQueue::_callback, &OrvixAsyncQueue::_lock,
                           &OrvixAsyncQueue::_notify_cond, &OrvixAsyncQueue::_task>;

// ---- Construction ----------------------------------------------------------

constexpr const char* kParameterNames[] = {"loop", "slot_size", "capacity", "overwrite", "zerocopy", "block_on_full"};
constexpr py::Parameters kParameters{"__init__", kParameterNames, 6, 0};
enum Parameter { kLoop, kSlotSize, kCapacity, kOverwrite, kZerocopy, kBlockOnFull };

// (None, 1024, 16384, False, False, False), made on first use and kept for
// the life of the process like the rest of the module's constants.
PyObject* constructor_defaults() {
    static PyObject* defaults = nullptr;
    if (!defaults) defaults = Py_BuildValue("(OnnOOO)", Py_None, Py_ssize_t{1024}, Py_ssize_t{16384}, Py_False, Py_False, Py_False);
    return defaults;
}

// The ring, built positionally: SPSCQueue(slot_size, capacity, overwrite, zerocopy, block_on_full).
py::Ref create_ring(std::size_t slot_size, std::size_t capacity, const int (&flags)[3]) {
    py::Ref args[5] = {
        py::Ref::steal(PyLong_FromSize_t(slot_size)),
        py::Ref::steal(PyLong_FromSize_t(capacity)),
        py::Ref::steal(PyBool_FromLong(flags[0])),
        py::Ref::steal(PyBool_FromLong(flags[1])),
        py::Ref::steal(PyBool_FromLong(flags[2])),
    };
    if (!args[0] || !args[1]) return {};
    PyObject* vector[5] = {args[0].get(), args[1].get(), args[2].get(), args[3].get(), args[4].get()};
    return py::Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(state().spscqueue_type), vector, 5, nullptr));
}

// asyncio.get_running_loop(), with "no running loop" reported in this class's
// own words; the interpreter's error stays attached as the context.
py::Ref running_loop(PyObject* asyncio) {
    py::Ref loop = py::Ref::steal(PyObject_CallMethodNoArgs(asyncio, kGetRunningLoop.get()));
    if (loop || !PyErr_ExceptionMatches(PyExc_RuntimeError)) return loop;
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, kNoRunningLoop);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetContext(error, cause);  // steals `cause`
    PyErr_SetRaisedException(error);
    return {};
}

int construct(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* defaults = constructor_defaults();
    if (!defaults) return -1;
    py::BoundArguments a;
    if (py::bind_arguments(kParameters, defaults, args, kwargs, a) < 0) return -1;
    std::size_t slot_size, capacity;
    if (py::to_size(a[kSlotSize], &slot_size) < 0 || py::to_size(a[kCapacity], &capacity) < 0) return -1;
    int flags[3];
    for (int i = 0; i < 3; ++i) {
        flags[i] = py::to_flag(a[kOverwrite + i]);
        if (flags[i] < 0) return -1;
    }

    OrvixAsyncQueue* q = async_queue(self);
    py::Ref ring = create_ring(slot_size, capacity, flags);
    if (!ring) return -1;
    py::replace_field(q->_q, ring.release());

    py::Ref asyncio = py::Ref::steal(lookup_global(kAsyncio.get()));
    if (!asyncio) return -1;
    py::Ref lock = py::Ref::steal(PyObject_CallMethodNoArgs(asyncio.get(), kLock.get()));
    if (!lock) return -1;
    py::replace_field(q->_lock, lock.release());
    // Producers and consumers serialise on this one lock, through either name.
    py::Ref condition = py::Ref::steal(PyObject_CallMethodOneArg(asyncio.get(), kCondition.get(), q->_lock));
    if (!condition) return -1;
    py::replace_field(q->_notify_cond, condition.release());

    py::Ref loop = a[kLoop] != Py_None ? py::Ref::borrow(a[kLoop]) : running_loop(asyncio.get());
    if (!loop) return -1;
    py::replace_field(q->_loop, loop.release());
    return 0;
}

int tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (construct(self, args, kwargs) == 0) return 0;
    add_member_traceback(&AsyncQueueType, "__init__");
    return -1;
}

// A blank instance: every field None, the constructor not run.
PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    // The base allocation refuses abstract classes with the usual message.
    PyObject* self = PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)
                         ? PyBaseObject_Type.tp_new(type, state().empty_tuple, nullptr)
                         : type->tp_alloc(type, 0);
    if (!self) return nullptr;
    OrvixAsyncQueue* q = async_queue(self);
    q->vtab = &vtable;
    Fields::init_none(*q);
    return self;
}

// ---- Collector support and release -----------------------------------------

int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    if (const int rc = Fields::traverse(*async_queue(self), visit, arg)) return rc;
    return queue_delivery(self).traverse(visit, arg);
}

int tp_clear(PyObject* self) {
    Fields::clear(*async_queue(self));
    queue_delivery(self).clear();
    return 0;
}

void tp_dealloc(PyObject* self) {
    // A subclass's finalizer runs first; if it resurrects the object, the
    // release stops here. (A subclass's own deallocation has already run it.)
    if (Py_TYPE(self)->tp_finalize && Py_TYPE(self)->tp_dealloc == &tp_dealloc && !PyObject_GC_IsFinalized(self)) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    }
    PyObject_GC_UnTrack(self);
    Fields::release(*async_queue(self));
    queue_delivery(self).clear();
    Py_TYPE(self)->tp_free(self);
}

// start_dispatcher first, then the class's method table order.
const FunctionEntry kFunctions[] = {
    {"start_dispatcher", kStartDispatcherSpec},
    {"push_buf", kPushBufSpec},
    {"push_obj", kPushObjSpec},
    {"push_str", kPushStrSpec},
    {"pop", kPopSpec},
    {"_AsyncQueue__dispatch", kDispatchSpec},
    {"shutdown", kShutdownSpec},
    {"stats", kStatsSpec},
};

PyTypeObject make_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "orvix.utils.corvane.corvane.AsyncQueue";
    type.tp_basicsize = sizeof(AsyncQueueObject);
    type.tp_dealloc = &tp_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
    type.tp_doc =
        "AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, bool overwrite=False, "
        "bool zerocopy=False, bool block_on_full=False)";
    type.tp_traverse = &tp_traverse;
    type.tp_clear = &tp_clear;
    type.tp_init = &tp_init;
    type.tp_new = &tp_new;
    return type;
}

}  // namespace

PyTypeObject AsyncQueueType = make_type();

const ClassEntry async_queue_class = {
    .type = &AsyncQueueType,
    .vtable = &vtable,
    .fill_vtable = &fill_vtable,
    .reduce = &async_queue_reduce_def,
    .setstate = &async_queue_setstate_def,
    .functions = kFunctions,
};

}  // namespace orvix::corvane
