// The object fields a record owns, in the order the collector visits them,
// with what allocation, the collector and deallocation do to them. A field
// that is not set holds None, never null.
//
//     using Fields = OwnedFields<OrvixSyncDispatcher, &OrvixSyncDispatcher::_q, &OrvixSyncDispatcher::callback>;
#pragma once

#include <Python.h>

#include <utility>

#include "cpython_support/ref.hpp"

namespace orvix::corvane {

template <class Record, PyObject* Record::*... Fields>
struct OwnedFields {
    // Allocation: every field None.
    static void init_none(Record& r) noexcept { ((r.*Fields = Py_NewRef(Py_None)), ...); }

    static int traverse(Record& r, visitproc visit, void* arg) {
        int rc = 0;
        ((rc = r.*Fields ? visit(r.*Fields, arg) : 0, rc == 0) && ...);
        return rc;
    }

    // Collector clearing: each field back to None, the old object released
    // after the field no longer refers to it.
    static void clear(Record& r) noexcept { (py::replace_field(r.*Fields, Py_NewRef(Py_None)), ...); }

    // Deallocation: the references dropped for good.
    static void release(Record& r) noexcept { (Py_XDECREF(std::exchange(r.*Fields, nullptr)), ...); }
};

}  // namespace orvix::corvane
