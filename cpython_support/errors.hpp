// Traceback entries for native functions and reporting of errors that
// cannot propagate to a caller.
#pragma once

#include <Python.h>

namespace orvix::py {

// Appends an entry "File <filename>, line <lineno>, in <funcname>" to the
// traceback of the pending exception, as if a Python frame named funcname
// had been unwound. The code object behind the entry is cached per
// (funcname, lineno, filename), so repeated errors cost one dict lookup and a
// frame. Does nothing without a pending exception; never fails (if the entry
// cannot be built, the original exception stays pending unchanged).
//
//     if (!result) {
//         add_traceback("orvix.pkg.mod.Class.method", 42, "orvix/pkg/mod");
//         return nullptr;
//     }
void add_traceback(const char* funcname, int lineno, const char* filename);

// For an error that has nowhere to go (a native reader thread, a
// deallocator): prints the pending exception with its traceback through the
// interpreter's standard printing (sys.excepthook, as PyErr_PrintEx(0) does;
// SystemExit is printed rather than allowed to end the process), then passes
// the same exception to sys.unraisablehook with `context` (a str built from
// the text, or None when that cannot be made). Clears the pending exception;
// does nothing without one.
//
//     report_unraisable("orvix.pkg.mod.Class.__dealloc__");
void report_unraisable(const char* context);

// Raises SystemError "error return without exception set" when a function
// reported failure without an exception; keeps the pending one otherwise.
// For code that returns null after calling third-party entry points.
void ensure_error_set() noexcept;

}  // namespace orvix::py
