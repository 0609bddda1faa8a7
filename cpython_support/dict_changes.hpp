// Whether a dictionary may have changed since a stamp was taken of it,
// through the dictionary watchers of the public API (PyDict_AddWatcher,
// PyDict_Watch: 3.12 and later).
//
//   std::uint64_t s = py::dict_stamp(dict);   // watches `dict` from now on
//   ...
//   py::dict_unchanged(s)                     // true: no watched dictionary
//                                             // changed, or was freed, since
//
// One count of changes serves every watched dictionary: a change of any of
// them makes every stamp stale. That is coarse, but it never misses one: the
// interpreter calls the watcher for every mutation of a watched dictionary
// (an item added, set, deleted, the dictionary cleared, cloned into or
// freed), whichever path made it, the specialized attribute stores included.
// A freed dictionary counts as changed, so a new one at the same address
// never matches an old stamp. 0 is no stamp: it matches nothing (no watcher
// could be had, or the interpreter is not the one the watcher belongs to).
// Called with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstdint>

namespace orvix::py {

std::uint64_t dict_stamp(PyObject* dict) noexcept;
bool dict_unchanged(std::uint64_t stamp) noexcept;

}  // namespace orvix::py
