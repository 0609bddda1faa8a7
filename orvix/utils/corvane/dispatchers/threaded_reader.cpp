#include "orvix/utils/corvane/dispatchers/threaded_reader.hpp"

#include <new>
#include <string>

#include "cpython_support/errors.hpp"
#include "cpython_support/interpreter_internals.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/dispatchers/platform_thread.hpp"

namespace orvix::corvane {
namespace {

constexpr const char kReaderContext[] = "orvix.utils.corvane.corvane.ThreadedDispatcher._reader";
constexpr const char kReaderVarContext[] = "orvix.utils.corvane.corvane.ThreadedDispatcher._reader_var";

// The reader's one thread state, made when the loop starts and kept for its
// whole life, so that a message costs a hand-over of the lock rather than
// the creation and destruction of a thread state.
//
// Once the interpreter has begun to finalize, a thread that asks for the
// lock is ended by the interpreter on the spot; the reader asks first and
// leaves quietly instead, touching nothing of Python's any more (what it
// holds is left to the dying interpreter). The check and the request cannot
// be made one step, so the functions that may still be ended that way are
// not noexcept: the thread is unwound through them.
class InterpreterLock {
public:
    // Takes the lock for the first time, making the thread state (or
    // reusing the one this thread already has). False when finalizing.
    bool enter() {
        if (py::internals::interpreter_finalizing()) return false;
        gil_state_ = PyGILState_Ensure();
        return true;
    }
    void release() noexcept { thread_state_ = PyEval_SaveThread(); }
    bool reacquire() {
        if (py::internals::interpreter_finalizing()) return false;
        PyEval_RestoreThread(thread_state_);
        return true;
    }
    // Lets the lock go for good (and the thread state that enter() made).
    void leave() noexcept { PyGILState_Release(gil_state_); }

private:
    PyGILState_STATE gil_state_{};
    PyThreadState* thread_state_ = nullptr;
};

}  // namespace

// What one reader loop owns: a reference to the ring and its share of the
// link. Released explicitly with the lock held, never by a destructor: a
// reader that the interpreter ends at shutdown is unwound without the lock.
class ReaderSession {
public:
    // Attaches a reader to the dispatcher. Lock held. 1: attached; 0: nothing
    // to read (ring closed, or the dispatcher cleared); -1: RuntimeError.
    int attach(PyObject* self, bool variable) {
        ThreadedDispatcherObject* d = threaded(self);
        if (d->closed || d->pub._q == Py_None) return 0;
        ReaderLink* link = ReaderLink::of(d);
        if (!link) return -1;
        // The ring has one consumer: a second reader would race the first.
        if (link->reader_running_) {
            PyErr_SetString(PyExc_RuntimeError, "the reader thread of this ThreadedDispatcher is already running");
            return -1;
        }
        link->reader_running_ = true;
        link_ = link;
        ring_ = Py_NewRef(d->pub._q);
        variable_ = variable;
        return 1;
    }

    // Lock held.
    void detach() noexcept {
        link_->reader_running_ = false;
        if (!link_->dispatcher_) delete link_;
        link_ = nullptr;
        Py_CLEAR(ring_);
    }

    // The loop; entered and left holding the lock through `lock`.
    void run(InterpreterLock& lock) {
        const OrvixSPSCQueueVTable* ring = orvix_spscqueue_vtable(ring_);
        lock.release();
        for (;;) {
            const char* data = nullptr;
            std::size_t size = 0;
            // In variable-size mode the wait takes the record out itself; in
            // fixed-size mode the message stays in its slot until pop_front,
            // so the bytes object below is copied straight from the ring.
            const int got = variable_ ? ring->wait_pop_var(ring_, &data, &size) : ring->wait_front(ring_, &data, &size);
            if (got != 1) break;
            if (!lock.reacquire()) return;
            if (!deliver(data, size)) {
                finish(lock);
                return;
            }
            lock.release();
            if (!variable_) ring->pop_front(ring_);
        }
        if (lock.reacquire()) finish(lock);
    }

private:
    // One message to the callback, lock held. False ends the loop: the
    // dispatcher is gone, or the callback (or making the bytes) failed, which
    // is reported here.
    //
    // Plain pointers rather than owning ones on purpose: a callback that
    // blocks (say in time.sleep) while the interpreter exits is ended inside
    // the interpreter when it asks for the lock again, and the unwinding
    // must not run destructors that would drop references without the lock.
    bool deliver(const char* data, std::size_t size) {
        ThreadedDispatcherObject* d = link_->dispatcher();
        if (!d) return false;
        PyObject* callback = Py_NewRef(d->pub.callback);   // read afresh for every message
        PyObject* message = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
        PyObject* result = message ? PyObject_CallOneArg(callback, message) : nullptr;
        const bool delivered = result != nullptr;
        Py_XDECREF(result);
        Py_XDECREF(message);
        Py_DECREF(callback);
        if (!delivered) py::report_unraisable(variable_ ? kReaderVarContext : kReaderContext);
        return delivered;
    }

    void finish(InterpreterLock& lock) {
        detach();
        lock.leave();
    }

    PyObject* ring_ = nullptr;
    ReaderLink* link_ = nullptr;
    bool variable_ = false;
};

ReaderLink* ReaderLink::of(ThreadedDispatcherObject* dispatcher) {
    if (!dispatcher->link) {
        dispatcher->link = new (std::nothrow) ReaderLink(dispatcher);
        if (!dispatcher->link) PyErr_NoMemory();
    }
    return dispatcher->link;
}

void ReaderLink::dispatcher_gone(ThreadedDispatcherObject* dispatcher) noexcept {
    ReaderLink* link = dispatcher->link;
    if (!link) return;
    dispatcher->link = nullptr;
    link->dispatcher_ = nullptr;
    if (!link->reader_running_) delete link;
}

namespace {

// The thread that setup() starts: it was handed an attached session.
void reader_thread_main(void* arg) {
    ReaderSession* session = static_cast<ReaderSession*>(arg);
    InterpreterLock lock;
    if (!lock.enter()) return;
    session->run(lock);
    delete session;
}

void run_reader_here(PyObject* self, bool variable) {
    InterpreterLock lock;
    if (!lock.enter()) return;
    ReaderSession session;
    const int attached = session.attach(self, variable);
    if (attached < 0) py::report_unraisable(variable ? kReaderVarContext : kReaderContext);
    if (attached <= 0) {
        lock.leave();
        return;
    }
    session.run(lock);
}

}  // namespace

int start_reader_thread(PyObject* self) {
    const bool variable = threaded(self)->pub.variable_size != 0;
    auto* session = new (std::nothrow) ReaderSession;
    if (!session) {
        PyErr_NoMemory();
        return -1;
    }
    const int attached = session->attach(self, variable);
    if (attached <= 0) {
        delete session;
        return attached;
    }
    const std::string failure = start_detached_thread(&reader_thread_main, session);
    if (!failure.empty()) {
        session->detach();
        delete session;
        PyErr_Format(PyExc_RuntimeError, "can't start the reader thread: %s", failure.c_str());
        return -1;
    }
    return 0;
}

void run_reader(PyObject* self) { run_reader_here(self, false); }
void run_reader_var(PyObject* self) { run_reader_here(self, true); }

}  // namespace orvix::corvane
