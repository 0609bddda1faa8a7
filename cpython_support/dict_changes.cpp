#include "cpython_support/dict_changes.hpp"

namespace orvix::py {
namespace {

// The count of changes of watched dictionaries, starting at 1 (0 is no
// stamp); guarded by the interpreter lock, like the watcher's calls.
std::uint64_t changes = 1;
// The watcher, and the interpreter it was registered in (a watcher belongs
// to one interpreter; another one gets no stamps).
int watcher = -1;
PyInterpreterState* watcher_interpreter = nullptr;

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
{
    ++changes;
    return 0;
}

bool have_watcher() noexcept
{
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    if (watcher >= 0) return interpreter == watcher_interpreter;
    if (watcher_interpreter) return false;  // no watcher to be had: asked once
    watcher_interpreter = interpreter;
    watcher = PyDict_AddWatcher(count_change);
    if (watcher < 0) PyErr_Clear();  // all eight taken: no stamps
    return watcher >= 0;
}

}  // namespace

std::uint64_t dict_stamp(PyObject* dict) noexcept
{
    if (!have_watcher()) return 0;
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return 0;
    }
    return changes;
}

bool dict_unchanged(std::uint64_t stamp) noexcept { return stamp != 0 && stamp == changes; }

}  // namespace orvix::py
