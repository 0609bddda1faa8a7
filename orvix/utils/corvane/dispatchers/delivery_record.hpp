// What each class counts on its consumer side, and how its reader stands:
// the consumer's half of stats(); the ring counts the producer's half.
//
//   delivered  messages handed to the callback (counted as the call starts,
//              so a callback that raises still had its message) or returned
//              by AsyncQueue.pop()
//   reader     "not started", "running", "stopped" (the reader ended with an
//              exception, kept as `error`), "closed" (close() or shutdown())
//
// Every reader delivers with the interpreter lock held, and stats() reads
// with it held, so the fields are plain: the lock orders them.
#pragma once

#include <Python.h>

#include <cstdint>

namespace orvix::corvane {

enum class ReaderState : unsigned char { not_started, running, stopped, closed };

class DeliveryRecord {
public:
    // Zero bytes are a valid record: objects from a zeroing allocator need
    // no constructor run.
    DeliveryRecord() noexcept = default;

    void count_delivery(std::uint64_t messages = 1) noexcept { delivered_ += messages; }

    // A reader (or AsyncQueue's dispatch task) was started: running, with
    // no error. Called before the reader can run, so its end is never
    // overwritten; reader_start_failed() undoes it when the start fails.
    void reader_started() noexcept;
    void reader_start_failed() noexcept;

    // The reader ends with `exception` (or the pending one, which stays
    // pending). The first end is the one kept: a reader that close() had already ended
    // stays "closed" (its cancellation is close()'s doing).
    void reader_stopped(PyObject* exception) noexcept;
    void reader_stopped_with_pending_error() noexcept;

    // close() / shutdown(): "closed", unless the reader had stopped before.
    void closed() noexcept;

    int traverse(visitproc visit, void* arg) const noexcept { return error_ ? visit(error_, arg) : 0; }
    void clear() noexcept { Py_CLEAR(error_); }

    // The stats() dict: the ring's counters (none when `ring` is None: the
    // collector has cleared the object), then this record's.
    PyObject* stats(PyObject* ring) const;

private:
    bool ended() const noexcept { return state_ == ReaderState::stopped || state_ == ReaderState::closed; }

    std::uint64_t delivered_ = 0;
    ReaderState state_ = ReaderState::not_started;
    PyObject* error_ = nullptr;   // owned: the exception that stopped the reader
};

}  // namespace orvix::corvane
