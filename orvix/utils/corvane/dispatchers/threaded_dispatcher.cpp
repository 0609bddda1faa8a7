#include "orvix/utils/corvane/dispatchers/threaded_dispatcher.hpp"

#include <cstddef>

#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/dispatchers/common.hpp"
#include "orvix/utils/corvane/dispatchers/threaded_reader.hpp"
#include "orvix/utils/corvane/module/class_list.hpp"
#include "orvix/utils/corvane/module/overridable.hpp"
#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

constexpr const char kCinit[] = "orvix.utils.corvane.corvane.ThreadedDispatcher.__cinit__";
constexpr const char kSetupName[] = "orvix.utils.corvane.corvane.ThreadedDispatcher.setup";
constexpr const char kCloseName[] = "orvix.utils.corvane.corvane.ThreadedDispatcher.close";
constexpr const char kDeallocContext[] = "orvix.utils.corvane.corvane.ThreadedDispatcher.__dealloc__";

// What a push returns when the dispatcher has been cleared by the garbage
// collector and has no ring any more: what the ring, which clearing closed,
// answers after close ("refused: the ring is closed").
constexpr int kNoRing = -2;

StringConstant kSetup{"setup"};
StringConstant kClose{"close"};

OrvixThreadedDispatcherVTable vtable;

using Fields = OwnedFields<OrvixThreadedDispatcher, &OrvixThreadedDispatcher::_q, &OrvixThreadedDispatcher::callback>;

OrvixThreadedDispatcher& record(PyObject* self) noexcept { return threaded(self)->pub; }

// ---- Producer entries (any native thread, no interpreter lock) -------------
//
// `_q` is written by the constructor before the object can reach a producer
// (handing it over goes through Python code and so through the interpreter
// lock, which orders the write before the producer's read), and only the
// collector's clearing changes it afterwards, when no producer can hold the
// object any more.

int push(PyObject* self, const char* data, std::size_t size) {
    PyObject* q = record(self)._q;
    if (q == Py_None) return kNoRing;
    return orvix_spscqueue_vtable(q)->push_notify(q, data, size);
}

int push_var(PyObject* self, const char* data, std::size_t size) {
    PyObject* q = record(self)._q;
    if (q == Py_None) return kNoRing;
    return orvix_spscqueue_vtable(q)->push_var_notify(q, data, size);
}

// ---- setup / close ---------------------------------------------------------

int close_ring(PyObject* self) {
    ThreadedDispatcherObject* d = threaded(self);
    // A dispatcher cleared by the collector has no ring to close.
    if (d->pub._q == Py_None) return 0;
    // The ring's close wakes the reader and never blocks: the reader may be
    // waiting for the interpreter lock that the caller holds.
    orvix_spscqueue_vtable(d->pub._q)->close(d->pub._q);
    d->closed = true;
    return 0;
}

// The table entries: a Python subclass's override runs instead unless
// `skip_override` is set. Failures leave the exception pending.
template <int (*Implementation)(PyObject*), const StringConstant& Name, const char* TracebackName>
void overridable_entry(PyObject* self, int skip_override) {
    if (Override o = find_override(self, skip_override, &ThreadedDispatcherType, Name.get())) {
        if (!o.call({})) py::add_traceback(TracebackName, 1);
        return;
    }
    if (Implementation(self) < 0) py::add_traceback(TracebackName, 1);
}

void setup_entry(PyObject* self, int skip_override) {
    overridable_entry<&start_reader_thread, kSetup, kSetupName>(self, skip_override);
}

void close_entry(PyObject* self, int skip_override) {
    overridable_entry<&close_ring, kClose, kCloseName>(self, skip_override);
}

// The Python-level methods run the implementation directly; the function
// type adds their traceback entry.
template <int (*Implementation)(PyObject*)>
PyObject* method(py::Function&, PyObject* self, py::BoundArguments&) {
    if (Implementation(self) < 0) return nullptr;
    Py_RETURN_NONE;
}

constinit const py::FunctionSpec kSetupSpec{
    .name = "setup",
    .qualname = "ThreadedDispatcher.setup",
    .doc = "ThreadedDispatcher.setup(self) -> void",
    .params = {"setup", nullptr, 0, 0},
    .impl = &method<&start_reader_thread>,
};

constinit const py::FunctionSpec kCloseSpec{
    .name = "close",
    .qualname = "ThreadedDispatcher.close",
    .doc = "ThreadedDispatcher.close(self) -> void",
    .params = {"close", nullptr, 0, 0},
    .impl = &method<&close_ring>,
};

void fill_vtable() {
    vtable.push = &push;
    vtable.push_var = &push_var;
    vtable._reader = &run_reader;
    vtable._reader_var = &run_reader_var;
    vtable.setup = &setup_entry;
    vtable.close = &close_entry;
}

// ---- Construction ----------------------------------------------------------

constexpr const char* kParameterNames[] = {"callback",      "capacity",  "slot_size",    "zerocopy",
                                           "block_on_full", "overwrite", "variable_size"};
constexpr int kZerocopy = 3, kBlockOnFull = 4, kOverwrite = 5, kVariableSize = 6;

int construct(PyObject* self, PyObject* args, PyObject* kwargs) {
    ConstructorArguments a;
    if (parse_constructor_arguments(kParameterNames, args, kwargs, a) < 0) return -1;
    OrvixThreadedDispatcher& d = record(self);
    py::replace_field(d.callback, Py_NewRef(a.callback));
    d.variable_size = a.flag(kVariableSize);
    py::Ref ring = create_ring(a.slot_size, a.capacity,
                               {{RingOption::zerocopy, a.flag(kZerocopy)},
                                {RingOption::overwrite, a.flag(kOverwrite)},
                                {RingOption::block_on_full, a.flag(kBlockOnFull)}});
    if (!ring) return -1;
    py::replace_field(d._q, ring.release());
    d.push_fn = d.variable_size ? vtable.push_var : vtable.push;
    return 0;
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    py::Ref self = py::Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    record(self.get()).vtab = &vtable;
    Fields::init_none(record(self.get()));
    if (construct(self.get(), args, kwargs) < 0) {
        // Releasing the half-built object runs its deallocation (and close).
        py::add_traceback(kCinit, 1);
        return nullptr;
    }
    return self.release();
}

// ---- Collector support and deallocation ------------------------------------

// The reader is told the dispatcher is gone and the ring is closed, which
// ends the reader's wait. Without this a reader would wait for ever on a
// ring that only it still holds.
void let_reader_go(PyObject* self) {
    ReaderLink::dispatcher_gone(threaded(self));
    if (!threaded(self)->closed) close_ring(self);
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) { return Fields::traverse(record(self), visit, arg); }

int tp_clear(PyObject* self) {
    let_reader_go(self);
    Fields::clear(record(self));
    return 0;
}

void close_through_table(PyObject* self) { record(self).vtab->close(self, dealloc_skip_override(self)); }

void tp_dealloc(PyObject* self) {
    if (!close_for_dealloc(self, &tp_dealloc, &close_through_table, kDeallocContext)) return;
    // An override of close() need not have closed the ring; nothing else can
    // use it once the dispatcher is gone.
    let_reader_go(self);
    Fields::release(record(self));
    Py_TYPE(self)->tp_free(self);
}

const FunctionEntry kFunctions[] = {
    {"setup", kSetupSpec},
    {"close", kCloseSpec},
};

}  // namespace

PyTypeObject ThreadedDispatcherType =
    make_dispatcher_type("orvix.utils.corvane.corvane.ThreadedDispatcher", sizeof(ThreadedDispatcherObject),
                         &tp_dealloc, &tp_traverse, &tp_clear, &tp_new);

const ClassEntry threaded_dispatcher_class = {
    .type = &ThreadedDispatcherType,
    .vtable = &vtable,
    .fill_vtable = &fill_vtable,
    .reduce = &refuse_reduce_def,
    .setstate = &refuse_setstate_def,
    .functions = kFunctions,
};

}  // namespace orvix::corvane
