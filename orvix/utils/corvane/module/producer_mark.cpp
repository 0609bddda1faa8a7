#include "orvix/utils/corvane/module/producer_mark.hpp"

#include "cpython_support/ref.hpp"

namespace orvix::corvane {
namespace {

constexpr OrvixProducerMark kMarks[] = {
    {ORVIX_PRODUCER_MARK_VERSION, ORVIX_ASYNC_DISPATCHER},
    {ORVIX_PRODUCER_MARK_VERSION, ORVIX_SYNC_DISPATCHER},
    {ORVIX_PRODUCER_MARK_VERSION, ORVIX_THREADED_DISPATCHER},
};

}  // namespace

int add_producer_mark(PyTypeObject* type, OrvixDispatcherKind kind) {
    const OrvixProducerMark* mark = nullptr;
    for (const OrvixProducerMark& m : kMarks)
        if (m.kind == kind) mark = &m;
    if (!mark || !(type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)) {
        PyErr_Format(PyExc_SystemError, "%s cannot carry the producer mark of kind %d", type->tp_name,
                     static_cast<int>(kind));
        return -1;
    }
    // No destructor: the mark is static and outlives every reader.
    py::Ref capsule = py::Ref::steal(
        PyCapsule_New(const_cast<OrvixProducerMark*>(mark), ORVIX_PRODUCER_MARK_CAPSULE, nullptr));
    py::Ref dict = py::Ref::steal(PyType_GetDict(type));
    if (!capsule || !dict || PyDict_SetItemString(dict.get(), ORVIX_PRODUCER_MARK_KEY, capsule.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

}  // namespace orvix::corvane
