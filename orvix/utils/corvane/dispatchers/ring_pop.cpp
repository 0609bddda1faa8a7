#include "orvix/utils/corvane/dispatchers/ring_pop.hpp"

#include <cstddef>

#include "cpython_support/errors.hpp"
#include "orvix/ringq/ring_result.hpp"
#include "orvix/utils/corvane/dispatchers/socket_dispatcher_object.hpp"

namespace orvix::corvane {

PyObject* pop_message(PyObject* self, RingPop pop, const char* traceback_name) {
    PyObject* q = socket_head(self)._q;
    if (q == Py_None) Py_RETURN_NONE;
    const char* data;
    std::size_t size;
    if ((orvix_spscqueue_vtable(q)->*pop)(q, &data, &size) != ringq::kHandedOut) Py_RETURN_NONE;
    PyObject* msg = PyBytes_FromStringAndSize(data, static_cast<Py_ssize_t>(size));
    if (!msg) py::add_traceback(traceback_name, 1);
    return msg;
}

}  // namespace orvix::corvane
