// The type slots of the three dispatcher classes: one construction path, one
// collector protocol, one deallocation. A class supplies
//
//     struct ThreadedDispatcherClass {
//         using Record = OrvixThreadedDispatcher;          // the public record, first in the object
//         using Object = ThreadedDispatcherObject;         // the whole object
//         using Fields = OwnedFields<Record, &Record::_q, &Record::callback>;
//         static PyTypeObject* type();                     // the static class
//         static constexpr ConstructorSpec kConstructor{...};
//         static void prepare(PyObject* self);             // table and None fields, before the arguments
//         static void configure(Record& r, const ConstructorArguments& a);   // after the ring
//         static void close_on_dealloc(PyObject* self);    // the class's way of calling close
//         static void let_go(PyObject* self);              // what must end before the fields go
//         static DeliveryRecord& delivery(PyObject* self); // what stats() reports of the reader
//     };
//
// and takes tp_new, tp_traverse, tp_clear and tp_dealloc from
// DispatcherSlots<ThreadedDispatcherClass>.
#pragma once

#include <Python.h>

#include <span>

#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/dispatcher_construction.hpp"
#include "orvix/utils/corvane/dispatchers/dispatcher_deallocation.hpp"
#include "orvix/utils/corvane/dispatchers/pickling_refusal.hpp"
#include "orvix/utils/corvane/module/class_entry.hpp"

namespace orvix::corvane {

template <class Class>
struct DispatcherSlots {
    using Record = typename Class::Record;

    static Record& record(PyObject* self) noexcept { return *reinterpret_cast<Record*>(self); }

    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        ConstructorArguments a;
        py::Ref obj = construct_dispatcher<Record>(type, Class::type(), Class::kConstructor, args, kwargs, a,
                                                   Class::prepare);
        if (!obj) return nullptr;
        Class::configure(record(obj.get()), a);
        return obj.release();
    }

    // The reader's error is visited too: its traceback may lead back here.
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        if (const int rc = Class::Fields::traverse(record(self), visit, arg)) return rc;
        return Class::delivery(self).traverse(visit, arg);
    }

    static int clear(PyObject* self) {
        Class::let_go(self);
        Class::Fields::clear(record(self));
        Class::delivery(self).clear();
        return 0;
    }

    static void dealloc(PyObject* self) {
        if (!close_for_dealloc(self, dealloc, Class::close_on_dealloc, Class::type())) return;
        // An override of close() need not have done what let_go does.
        Class::let_go(self);
        Class::Fields::release(record(self));
        Class::delivery(self).clear();
        Py_TYPE(self)->tp_free(self);
    }

    // A dispatcher's static type: subclassable, collected, immutable from
    // Python, without instance dictionary or weak-reference slot.
    static PyTypeObject make_type(const char* name) {
        PyTypeObject type{};
        type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
        type.tp_name = name;
        type.tp_basicsize = sizeof(typename Class::Object);
        type.tp_dealloc = dealloc;
        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
        type.tp_traverse = traverse;
        type.tp_clear = clear;
        type.tp_new = tp_new;
        return type;
    }

    // The class's registration with the module; dispatchers refuse pickling,
    // and native producers push into them as into a dispatcher of `kind`.
    static ClassEntry class_entry(const void* vtable, void (*fill_vtable)(), std::span<const FunctionEntry> functions,
                                  OrvixDispatcherKind kind) {
        return {
            .type = Class::type(),
            .vtable = vtable,
            .fill_vtable = fill_vtable,
            .reduce = &refuse_reduce_def,
            .setstate = &refuse_setstate_def,
            .functions = functions,
            .producer_kind = kind,
        };
    }
};

}  // namespace orvix::corvane
