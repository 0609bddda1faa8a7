#include "orvix/utils/corvane/dispatchers/readers_at_exit.hpp"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "cpython_support/ref.hpp"

namespace orvix::corvane {
namespace {

// Plain pointers: a listed dispatcher is kept alive by its running reader
// (whose target is one of its bound methods) and is forgotten before it is
// released. Touched only with the interpreter lock held.
std::vector<std::pair<PyObject*, StopReader>>& listed() {
    static auto* readers = new std::vector<std::pair<PyObject*, StopReader>>;   // never freed, like the module state
    return *readers;
}

PyObject* stop_all(PyObject*, PyObject*) {
    // A copy: a stop may run Python code (none today), and readers leave
    // on their own threads only after this returns.
    const auto readers = listed();
    for (auto [dispatcher, stop] : readers) stop(dispatcher);
    Py_RETURN_NONE;
}

PyMethodDef stop_all_def = {"_stop_sync_readers", stop_all, METH_NOARGS,
                            "Stops every SyncDispatcher reader the way close() does (interpreter exit)."};

// threading._register_atexit: called by threading._shutdown before it joins
// the non-daemon threads, which is exactly when the readers must be told.
int register_exit_hook() {
    static bool registered = false;
    if (registered) return 0;
    py::Ref threading = py::Ref::steal(PyImport_ImportModule("threading"));
    if (!threading) return -1;
    py::Ref hook = py::Ref::steal(PyCFunction_New(&stop_all_def, nullptr));
    if (!hook) return -1;
    if (!py::Ref::steal(PyObject_CallMethod(threading.get(), "_register_atexit", "O", hook.get()))) {
        // Too late: the interpreter is already shutting down its threads
        // (a reader started from a threading atexit hook). Nothing would
        // run the hook now; the reader is the caller's to close.
        if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    registered = true;
    return 0;
}

}  // namespace

int stop_reader_at_exit(PyObject* dispatcher, StopReader stop) {
    if (register_exit_hook() < 0) return -1;
    try {
        listed().emplace_back(dispatcher, stop);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

void forget_reader_at_exit(PyObject* dispatcher) noexcept {
    auto& readers = listed();
    std::erase_if(readers, [dispatcher](const auto& entry) { return entry.first == dispatcher; });
}

}  // namespace orvix::corvane
