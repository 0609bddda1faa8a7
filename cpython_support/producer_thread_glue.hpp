// What the Python types of native producer threads (orvix.feed's Feed,
// orvix.net's receivers) do alike around their ProducerThread: attaching as
// the ring's one producer with the interpreter lock released, reading a
// join() timeout as threading does, waiting for the thread in slices that
// let a KeyboardInterrupt through, and (ProducerThreadType) the methods and
// slots of such a type.
#pragma once

#include <Python.h>

#include <optional>
#include <system_error>
#include <utility>

#include "orvix/common/producer_thread.hpp"

namespace cpython_support {

// Makes the thread the ring's one producer. A producer in the way that was
// interrupted (a stopped feed, say) is on its way out: waits for it a few
// seconds, with the lock released. 0, or -1 with RuntimeError.
int attach_producer_thread(orvix::common::ProducerThread& thread);

// join()'s timeout: None (no limit), or seconds; negative looks without
// waiting, NaN raises ValueError, beyond about 30 years is no limit. 0 or -1.
int parse_join_timeout(PyObject* obj, std::optional<double>& timeout);

// Waits for a started thread with the interpreter lock released; reaps it
// once finished. 1 finished, 0 timed out, -1 with an exception (a signal
// handler's).
int wait_for_producer_thread(orvix::common::ProducerThread& thread, std::optional<double> timeout);

// The methods and slots every type owning a native producer thread has.
// Object is its instance record: PyObject_HEAD, then
//     PyObject* target;   // what the thread pushes into; owned until the thread is joined
//     Thread* thread;     // with lifecycle() (a ProducerThread) and start()
//     bool starting;      // start() runs (it may let the lock go while it waits to attach)
// and it names itself and its target in messages: Object::kNoun ("feed"),
// Object::kTargetNoun ("dispatcher"). While the thread runs the reference to
// the target is the thread's, so the collector is not shown it.
// Nothing here waits for the thread while holding the interpreter lock: the
// thread never needs the lock, but the reader that would make room for a
// waiting push may.
template <class Object>
struct ProducerThreadType {
    static Object* of(PyObject* self) { return reinterpret_cast<Object*>(self); }
    static bool running(const Object* o) { return o->thread && o->thread->lifecycle().running(); }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        if (!running(of(self))) Py_VISIT(of(self)->target);
        return 0;
    }

    static int clear(PyObject* self) {
        if (!running(of(self))) Py_CLEAR(of(self)->target);
        return 0;
    }

    // Stops and joins a running thread, with the lock released: the stop
    // ends the thread's waits at once, its wait in the ring included, but the
    // lock may be what the reader freeing that room needs next.
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        auto* thread = std::exchange(of(self)->thread, nullptr);
        Py_BEGIN_ALLOW_THREADS
        delete thread;
        Py_END_ALLOW_THREADS
        Py_CLEAR(of(self)->target);
        type->tp_free(self);
        Py_DECREF(type);
    }

    static PyObject* start(PyObject* self, PyObject*) {
        Object* o = of(self);
        orvix::common::ProducerThread& lifecycle = o->thread->lifecycle();
        if (o->starting || lifecycle.started()) {
            PyErr_Format(PyExc_RuntimeError, "the %s was already started", Object::kNoun);
            return nullptr;
        }
        if (o->target == nullptr) {  // only after the collector cleared it
            PyErr_Format(PyExc_RuntimeError, "the %s no longer has a %s", Object::kNoun, Object::kTargetNoun);
            return nullptr;
        }
        o->starting = true;
        const int attached = attach_producer_thread(lifecycle);
        o->starting = false;
        if (attached < 0) return nullptr;
        try {
            o->thread->start();
        } catch (const std::system_error& e) {
            lifecycle.detach();
            PyErr_Format(PyExc_RuntimeError, "can't start the %s's thread: %s", Object::kNoun, e.what());
            return nullptr;
        }
        Py_RETURN_NONE;
    }

    // Waits for the thread; lets go of the target once it has finished. 1, 0 (timed out) or -1.
    static int wait(Object* o, std::optional<double> timeout) {
        const int finished = wait_for_producer_thread(o->thread->lifecycle(), timeout);
        if (finished == 1) Py_CLEAR(o->target);
        return finished;
    }

    static PyObject* join(PyObject* self, PyObject* args, PyObject* kwds) {
        static const char* keywords[] = {"timeout", nullptr};
        PyObject* timeout_obj = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:join", const_cast<char**>(keywords), &timeout_obj))
            return nullptr;
        std::optional<double> timeout;
        if (parse_join_timeout(timeout_obj, timeout) < 0) return nullptr;
        if (!of(self)->thread->lifecycle().started()) {
            PyErr_Format(PyExc_RuntimeError, "cannot join a %s before it is started", Object::kNoun);
            return nullptr;
        }
        const int finished = wait(of(self), timeout);
        return finished < 0 ? nullptr : PyBool_FromLong(finished);
    }

    static PyObject* stop(PyObject* self, PyObject*) {
        of(self)->thread->lifecycle().request_stop();
        Py_RETURN_NONE;
    }

    static PyObject* is_running(PyObject* self, void*) { return PyBool_FromLong(running(of(self))); }

    static PyObject* enter(PyObject* self, PyObject*) {
        PyObject* started = start(self, nullptr);
        if (started == nullptr) return nullptr;
        Py_DECREF(started);
        return Py_NewRef(self);
    }

    // Stops the thread unless it has finished, then joins it.
    static PyObject* exit(PyObject* self, PyObject*) {
        Object* o = of(self);
        if (running(o)) o->thread->lifecycle().request_stop();
        if (o->thread->lifecycle().started() && wait(o, std::nullopt) < 0) return nullptr;
        Py_RETURN_NONE;
    }
};

}  // namespace cpython_support
