// The type slots AsyncDispatcher and SyncDispatcher share. A class supplies
//
//     struct AsyncDispatcherClass {
//         using Record = OrvixAsyncDispatcher;
//         using Fields = OwnedFields<Record, &Record::_q, ...>;
//         static constexpr const char kDeallocContext[] = "...AsyncDispatcher.__dealloc__";
//         static void close_on_dealloc(PyObject* self);   // the class's way of calling close
//     };
//
// and takes its allocation, construction, traversal, clearing and
// deallocation from SocketDispatcherSlots<AsyncDispatcherClass>.
#pragma once

#include <Python.h>

#include <new>
#include <span>

#include "cpython_support/errors.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/utils/corvane/dispatchers/common.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"

namespace orvix::corvane {

template <class Class>
struct SocketDispatcherSlots {
    using Record = typename Class::Record;
    using Object = SocketDispatcherObject<Record, typename Class::Private>;

    static Record& record(PyObject* self) noexcept { return reinterpret_cast<Object*>(self)->rec(); }

    // tp_alloc plus what every instance holds before its arguments are
    // parsed: the table, None in every object field, and no socket handle
    // (the invalid value, never 0, which a close() run while deallocating a
    // half-built object would take for a real descriptor).
    static py::Ref allocate(PyTypeObject* type, const void* vtable) {
        py::Ref obj = py::Ref::steal(type->tp_alloc(type, 0));
        if (!obj) return obj;
        Object& d = *reinterpret_cast<Object*>(obj.get());
        Record& r = d.rec();
        new (&d.tail) SocketDispatcherTail{r._sock_fd};   // `_sock_fd`: no handle
        new (&d.own) typename Class::Private{};
        r.vtab = static_cast<decltype(r.vtab)>(vtable);
        Class::Fields::init_none(r);
        return obj;
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        return Class::Fields::traverse(record(self), visit, arg);
    }

    static int clear(PyObject* self) {
        // Releasing `_socket` may close the handle: no producer may use it.
        socket_core(self).wake_handle.retire();
        Class::Fields::clear(record(self));
        return 0;
    }

    static void dealloc(PyObject* self) {
        if (!close_for_dealloc(self, dealloc, Class::close_on_dealloc, Class::kDeallocContext)) return;
        socket_core(self).wake_handle.retire();
        Class::Fields::release(record(self));
        Py_TYPE(self)->tp_free(self);
    }

    static PyTypeObject make_type(const char* name, newfunc tp_new) {
        return make_dispatcher_type(name, sizeof(Object), dealloc, traverse, clear, tp_new);
    }

    // The constructor's shared part: allocation, the arguments bound and
    // converted under "__cinit__" (`names`: callback, capacity, slot_size,
    // then the class's flags), the ring created with the flags at the given
    // positions, `_q` and `callback` stored. Null with the exception and the
    // traceback entry `traceback` on failure.
    struct RingFlagPositions {
        int overwrite;
        int zerocopy;
    };
    static py::Ref construct(PyTypeObject* type, const void* vtable, std::span<const char* const> names,
                             RingFlagPositions flags, PyObject* args, PyObject* kwargs, const char* traceback,
                             ConstructorArguments& a) {
        py::Ref obj = allocate(type, vtable);
        if (!obj) return obj;
        if (parse_constructor_arguments(names, args, kwargs, a) < 0) {
            py::add_traceback(traceback, 1);
            return nullptr;
        }
        py::Ref ring = create_ring(a.slot_size, a.capacity,
                                   {{RingOption::overwrite, a.flag(flags.overwrite)},
                                    {RingOption::zerocopy, a.flag(flags.zerocopy)}});
        if (!ring) {
            py::add_traceback(traceback, 1);
            return nullptr;
        }
        Record& r = record(obj.get());
        py::replace_field(r._q, ring.release());
        py::replace_field(r.callback, Py_NewRef(a.callback));
        return obj;
    }
};

}  // namespace orvix::corvane
