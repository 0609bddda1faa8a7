// Python string constants that live as long as the process.
//
// A file that needs a string object declares it once at namespace scope,
// next to the code that uses it:
//
//     namespace { orvix::corvane::StringConstant kGetRunningLoop{"get_running_loop"}; }
//     ...
//     PyObject_GetAttr(asyncio, kGetRunningLoop.get());
//
// Every constant links itself into one list while the shared library is
// loaded; the module's exec step creates all of them before any class code
// runs. Identifier-like texts are interned, so attribute and keyword lookups
// hit the interpreter's pointer-equality fast paths.
#pragma once

#include <Python.h>

namespace orvix::corvane {

class StringConstant {
public:
    // `text` must outlive the process (a string literal).
    explicit StringConstant(const char* text) noexcept;

    StringConstant(const StringConstant&) = delete;
    StringConstant& operator=(const StringConstant&) = delete;

    // Borrowed reference; valid once the module has been imported.
    PyObject* get() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

private:
    friend int create_string_constants();

    const char* text_;
    PyObject* object_ = nullptr;
    StringConstant* next_;
};

// Creates every registered constant that does not exist yet (a failed import
// keeps the ones already made). Returns 0, or -1 with an exception set.
int create_string_constants();

}  // namespace orvix::corvane
