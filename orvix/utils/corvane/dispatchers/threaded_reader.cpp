#include "orvix/utils/corvane/dispatchers/threaded_reader.hpp"

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "cpython_support/errors.hpp"
#include "cpython_support/interpreter_internals.hpp"
#include "cpython_support/ref.hpp"
#include "orvix/ringq/ring_result.hpp"
#include "orvix/ringq/ringq.h"
#include "orvix/utils/corvane/dispatchers/platform_thread.hpp"
#include "orvix/utils/corvane/module/member_names.hpp"

namespace orvix::corvane {
namespace {


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

int watch_forks();

}  // namespace

// What one reader loop owns: a reference to the ring and its share of the
// link. Released explicitly with the lock held, never by a destructor: a
// reader that the interpreter ends at shutdown is unwound without the lock.
//
// Shutdown. A session that cannot take the lock again (the interpreter is
// finalizing) stays as it is: attached, listed, holding its reference to
// the ring and its share of the link, and is never freed. Everything the
// list of attached sessions can reach therefore stays valid for the life of
// the process, with no lock of its own: the list is touched only with the
// interpreter lock held, and a stranded session never touches it again.
// Sessions live on the heap for that reason, the one of a caller's own
// thread (run_reader_here) too: its stack frame ends when the call does.
class ReaderSession {
public:
    // Attaches a reader to the dispatcher, delivering through `delivery`
    // unless a forked parent's carried delivery is waiting. Lock held.
    // 1: attached; 0: nothing to read (ring closed, or the dispatcher
    // cleared); -1: RuntimeError.
    int attach(PyObject* self, std::unique_ptr<ReaderDelivery> delivery) {
        ThreadedDispatcherObject* d = threaded(self);
        if (d->closed || d->pub._q == Py_None) return 0;
        ReaderLink* link = ReaderLink::of(d);
        if (!link) return -1;
        // The ring has one consumer: a second reader would race the first.
        if (link->reader_running_) {
            PyErr_Format(PyExc_RuntimeError, "the reader thread of this %s is already running", delivery->class_name());
            return -1;
        }
        if (watch_forks() < 0) return -1;
        link->reader_running_ = true;
        d->delivery.reader_started();
        carried_ = link->carried_ != nullptr;
        delivery_ = carried_ ? std::move(link->carried_) : std::move(delivery);
        link_ = link;
        ring_ = Py_NewRef(d->pub._q);
        // From now on a blocking push may wait: this reader will make room.
        orvix_spscqueue_vtable(ring_)->set_reader_present(ring_, 1);
        next_ = attached_;
        if (next_) next_->prev_ = this;
        attached_ = this;
        return 1;
    }

    // Lock held (the delivery may hold references).
    void detach() noexcept {
        delivery_.reset();
        (prev_ ? prev_->next_ : attached_) = next_;
        if (next_) next_->prev_ = prev_;
        prev_ = next_ = nullptr;
        link_->reader_running_ = false;
        if (!link_->dispatcher_) delete link_;
        link_ = nullptr;
        // Nothing makes room any more: a producer waiting for it stops
        // waiting, and blocking pushes are refused until the next reader.
        orvix_spscqueue_vtable(ring_)->set_reader_present(ring_, 0);
        Py_CLEAR(ring_);
    }

    // The loop; entered holding the lock through `lock`, and left either
    // finished (detached, the lock let go for good) or stranded by the
    // interpreter's finalization (see "Shutdown").
    void run(InterpreterLock& lock) {
        // What the parent process's reader had taken out and not yet
        // delivered when this process was forked from it.
        if (std::exchange(carried_, false) && !deliver_unlocked(lock, From::carried)) return;
        set_phase(Phase::in_ring);
        lock.release();
        // A delivery may leave what it shows in the ring until the callback
        // has it (ThreadedDispatcher's fixed-size messages: the bytes object
        // is copied straight from the ring).
        const From from = delivery_->stays_in_ring() ? From::shown : From::taken;
        while (delivery_->take(ring_, /*wait=*/true) == ringq::kHandedOut) {
            if (!deliver_unlocked(lock, from)) return;
            if (from == From::shown) {
                delivery_->leave_ring(ring_);
                set_phase(Phase::in_ring);
            }
        }
        // The ring is closed. What it still holds was stored before the
        // close (a closed ring refuses every push, so this ends) and is
        // delivered as close() promises, on this thread and in order, unless
        // the dispatcher itself is gone: then delivery stops at the first
        // message.
        while (delivery_->take(ring_, /*wait=*/false) == ringq::kHandedOut) {
            if (!deliver_unlocked(lock, From::taken)) return;
        }
        if (lock.reacquire()) finish(lock);
    }

    // The loop has ended with the lock: the session is detached and may be
    // freed. A stranded one never may.
    bool finished() const noexcept { return link_ == nullptr; }

    // ---- fork -----------------------------------------------------------
    //
    // The reader's ring calls run without the interpreter lock, so a fork
    // (which the forking thread makes holding the lock) can catch a reader
    // anywhere in its loop. `phase_` says where, so that the child can take
    // over the ring in a consistent state: the message being delivered at
    // the fork is the parent's (the child removes it), one taken out and not
    // yet delivered is delivered in the child too. What can be stepped over
    // is the pop_front that follows a delivery, which the parent waits for
    // (wait_until_forkable). A message the parent's reader takes off the
    // ring while the fork itself is under way (a producer pushing during
    // the fork) is the one case the child may miss: the reader says where it
    // is only once the ring call has returned.

    // Before a fork, in the parent, lock held: lets every reader finish the
    // ring step it is in, unless it is waiting for messages. No reader can
    // start another such step meanwhile: each is entered under the lock.
    static void wait_until_forkable() noexcept {
        for (ReaderSession* s = attached_; s; s = s->next_) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
            while (s->busy_in_ring() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        }
    }

    // In the child, lock held: the threads behind these sessions do not
    // exist here, so the child lets go of what they held.
    static void forget_all_after_fork() noexcept {
        while (ReaderSession* s = attached_) {
            const Phase phase = s->phase_.load(std::memory_order_acquire);
            if (phase == Phase::delivering && s->from_ == From::shown) s->delivery_->leave_ring(s->ring_);
            if (phase == Phase::holding && s->from_ == From::taken) s->link_->carried_ = std::move(s->delivery_);
            s->detach();
            delete s;
        }
    }

private:
    // How the message being delivered was handed out.
    enum class From : unsigned char {
        shown,     // it stays in the ring until leave_ring (wait_front, then pop_front)
        taken,     // out of the ring already
        carried,   // by the parent process's reader (see ReaderLink::carried_)
    };

    // What became of one message.
    enum class Delivery : unsigned char { delivered, callback_raised, not_made, dispatcher_gone };

    // What take() handed out to the callback, lock held. Anything but
    // `delivered` ends the loop; a failure (of the callback, or of making
    // its argument) is left pending for the caller to report.
    //
    // Plain pointers rather than owning ones on purpose: a callback that
    // blocks (say in time.sleep) while the interpreter exits is ended inside
    // the interpreter when it asks for the lock again, and the unwinding
    // must not run destructors that would drop references without the lock.
    Delivery deliver() {
        ThreadedDispatcherObject* d = link_->dispatcher();
        if (!d) return Delivery::dispatcher_gone;
        PyObject* callback = Py_NewRef(d->pub.callback);   // read afresh for every message
        std::size_t messages = 0;
        PyObject* argument = delivery_->argument(messages);
        if (argument) d->delivery.count_delivery(messages);
        PyObject* result = argument ? PyObject_CallOneArg(callback, argument) : nullptr;
        Delivery outcome = result ? Delivery::delivered : argument ? Delivery::callback_raised : Delivery::not_made;
        Py_XDECREF(result);
        if (argument && !delivery_->release(argument) && outcome == Delivery::delivered) outcome = Delivery::not_made;
        Py_DECREF(callback);
        // Asked again: the callback may have let the dispatcher go.
        if (outcome != Delivery::delivered && link_->dispatcher())
            link_->dispatcher()->delivery.reader_stopped_with_pending_error();
        return outcome;
    }

    // deliver() between two ring calls: takes the lock (a carried message
    // is delivered with it already held), delivers and lets the lock go
    // again. False once the loop has ended.
    bool deliver_unlocked(InterpreterLock& lock, From from) {
        const bool entered = from == From::carried;
        from_ = from;
        set_phase(Phase::holding);
        if (!entered && !lock.reacquire()) return false;
        set_phase(Phase::delivering);
        const Delivery outcome = deliver();
        if (outcome != Delivery::delivered) {
            // A message the callback received has been delivered, even if
            // the callback raised: one that wait_front only showed leaves the
            // ring now, or the next reader would hand it out again. Here,
            // under the lock and before detach(): pop_front never waits, and
            // once detached another reader may attach and take the ring.
            if (outcome == Delivery::callback_raised && from == From::shown) delivery_->leave_ring(ring_);
            // Detached before the report, which runs Python code (the
            // unraisable hook) that may let the lock go: a setup() that sees
            // the reader stopped finds the ring free for a new one.
            if (outcome == Delivery::dispatcher_gone) {
                finish(lock);
            } else {
                PyObject* error = PyErr_GetRaisedException();
                const std::string entry = delivery_->entry_name();
                detach();
                PyErr_SetRaisedException(error);
                py::report_unraisable(entry.c_str());
                lock.leave();
            }
            return false;
        }
        set_phase(from == From::shown ? Phase::popping : Phase::in_ring);
        if (!entered) lock.release();
        return true;
    }

    // Where the reader is; see "fork" above. Written by the reader thread;
    // read before a fork by the forking thread (acquire: it then also sees
    // the ring state the reader left, which the release store follows) and
    // in the child.
    enum class Phase : unsigned char { in_ring, holding, delivering, popping };
    void set_phase(Phase p) noexcept { phase_.store(p, std::memory_order_release); }

    // In a ring call that ends by itself soon: a pop_front, or a wait with
    // messages in the ring, which hands one out.
    bool busy_in_ring() const noexcept {
        const Phase p = phase_.load(std::memory_order_acquire);
        return p == Phase::popping ||
               (p == Phase::in_ring && orvix_spscqueue_vtable(ring_)->size(ring_) > 0);
    }

    void finish(InterpreterLock& lock) {
        detach();
        lock.leave();
    }

    PyObject* ring_ = nullptr;
    ReaderLink* link_ = nullptr;   // null once detached
    std::unique_ptr<ReaderDelivery> delivery_;
    std::atomic<Phase> phase_{Phase::in_ring};
    // How what is being delivered was handed out (read by the fork hook
    // after phase_).
    From from_ = From::taken;
    bool carried_ = false;    // the delivery came from ReaderLink::carried_, with something to hand over

    // Every attached session, so that a forked child can find them. Lock held.
    static inline ReaderSession* attached_ = nullptr;
    ReaderSession* prev_ = nullptr;
    ReaderSession* next_ = nullptr;
};

namespace {

PyObject* before_fork(PyObject*, PyObject*) {
    ReaderSession::wait_until_forkable();
    Py_RETURN_NONE;
}

PyObject* after_fork_in_child(PyObject*, PyObject*) {
    ReaderSession::forget_all_after_fork();
    Py_RETURN_NONE;
}

PyMethodDef before_fork_def = {"_threaded_readers_before_fork", before_fork, METH_NOARGS,
                               "Lets the ThreadedDispatcher readers finish their ring step before a fork."};
PyMethodDef after_fork_def = {"_threaded_readers_after_fork", after_fork_in_child, METH_NOARGS,
                              "Lets go of the ThreadedDispatcher readers that a forked child does not have."};

// os.register_at_fork runs both hooks with the lock held: before the fork
// in the parent, and in the child once the interpreter is usable there.
// Registered once per process, at the first reader; a platform without
// fork has no such hook.
int watch_forks() {
    static bool registered = false;
    if (registered) return 0;
    py::Ref os = py::Ref::steal(PyImport_ImportModule("os"));
    if (!os) return -1;
    py::Ref register_at_fork = py::Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        registered = true;
        return 0;
    }
    py::Ref before = py::Ref::steal(PyCFunction_New(&before_fork_def, nullptr));
    py::Ref after = py::Ref::steal(PyCFunction_New(&after_fork_def, nullptr));
    if (!before || !after) return -1;
    py::Ref kwargs = py::Ref::steal(Py_BuildValue("{sOsO}", "before", before.get(), "after_in_child", after.get()));
    if (!kwargs) return -1;
    py::Ref empty = py::Ref::steal(PyTuple_New(0));
    if (!empty || !py::Ref::steal(PyObject_Call(register_at_fork.get(), empty.get(), kwargs.get()))) return -1;
    registered = true;
    return 0;
}

}  // namespace

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

// Runs an attached session to its end and frees it, unless it is stranded
// (see ReaderSession, "Shutdown"): then it stays attached, and so allocated.
void run_session(ReaderSession* session, InterpreterLock& lock) {
    session->run(lock);
    if (session->finished()) delete session;
}

// The thread that setup() starts: it was handed an attached session.
void reader_thread_main(void* arg) {
    ReaderSession* session = static_cast<ReaderSession*>(arg);
    InterpreterLock lock;
    if (!lock.enter()) return;   // stranded before it began
    run_session(session, lock);
}

}  // namespace

void run_reader_here(PyObject* self, MakeDelivery make) {
    InterpreterLock lock;
    if (!lock.enter()) return;
    std::unique_ptr<ReaderDelivery> delivery = make(self);
    if (!delivery) {
        PyErr_WriteUnraisable(self);
        lock.leave();
        return;
    }
    const std::string entry = delivery->entry_name();
    auto* session = new (std::nothrow) ReaderSession;
    const int attached = session ? session->attach(self, std::move(delivery)) : (PyErr_NoMemory(), -1);
    if (attached < 0) py::report_unraisable(entry.c_str());
    if (attached <= 0) {
        delete session;
        lock.leave();
        return;
    }
    run_session(session, lock);
}

int start_reader_thread(PyObject* self, MakeDelivery make) {
    std::unique_ptr<ReaderDelivery> delivery = make(self);
    if (!delivery) return -1;
    auto* session = new (std::nothrow) ReaderSession;
    if (!session) {
        PyErr_NoMemory();
        return -1;
    }
    const int attached = session->attach(self, std::move(delivery));
    if (attached <= 0) {
        delete session;
        return attached;
    }
    const std::string failure = start_detached_thread(&reader_thread_main, session);
    if (!failure.empty()) {
        threaded(self)->delivery.reader_start_failed();
        session->detach();
        delete session;
        PyErr_Format(PyExc_RuntimeError, "can't start the reader thread: %s", failure.c_str());
        return -1;
    }
    return 0;
}


}  // namespace orvix::corvane
