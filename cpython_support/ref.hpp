// Owning references to Python objects and the pending-exception guard.
//
// Every PyObject* that code keeps goes into a Ref; whether the pointer came
// with a reference of its own ("new") or must gain one ("borrowed") is said
// once, where the Ref is made:
//
//     Ref name = Ref::steal(PyUnicode_FromString("x"));  // new reference
//     if (!name) return nullptr;                         // error pending
//     Ref same = Ref::borrow(PyTuple_GET_ITEM(t, 0));    // takes one more
//     return name.release();                             // hand it on
//
// Errors cross the interpreter boundary only as a pending Python exception
// plus a null / -1 result; a null Ref is how a failed call reads here.
#pragma once

#include <Python.h>

#include <utility>

namespace orvix::py {

class Ref {
public:
    constexpr Ref() noexcept = default;
    constexpr Ref(std::nullptr_t) noexcept {}

    // Takes over a new reference (null is allowed: it means "failed").
    [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes a reference of its own to a borrowed object (null is allowed).
    [[nodiscard]] static Ref borrow(PyObject* p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    [[nodiscard]] PyObject* get() const noexcept { return p_; }
    // Gives the reference away (to a caller that steals it).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new reference for a caller, keeping this one.
    [[nodiscard]] PyObject* new_ref() const noexcept { return Py_XNewRef(p_); }
    // Drops the object (or replaces it by a new reference that is stolen).
    // The old object is released last, so its destructor sees this Ref
    // already updated.
    void reset(PyObject* stolen = nullptr) noexcept
    {
        PyObject* old = std::exchange(p_, stolen);
        Py_XDECREF(old);
    }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* operator->() const noexcept { return p_; }

    // Address for C-API out-parameters that return a new reference.
    PyObject** out() noexcept
    {
        reset();
        return &p_;
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Sets a struct field that owns its object, releasing the old object only
// after the field holds the new one (the old object's destructor may run
// code that reads the field).
inline void replace_field(PyObject*& field, PyObject* stolen) noexcept
{
    PyObject* old = std::exchange(field, stolen);
    Py_XDECREF(old);
}

// Holds the pending exception aside while cleanup code runs that must not
// see it (or lose it), and puts it back on destruction:
//
//     { SavedError saved; Py_DECREF(obj); }   // obj's __del__ runs cleanly
class SavedError {
public:
    SavedError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~SavedError() { PyErr_SetRaisedException(exc_); }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;

    [[nodiscard]] PyObject* exception() const noexcept { return exc_; }
    // Drops the saved exception instead of restoring it.
    void discard() noexcept { Py_CLEAR(exc_); }

private:
    PyObject* exc_;
};

}  // namespace orvix::py
