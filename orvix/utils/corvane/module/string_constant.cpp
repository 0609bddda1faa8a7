#include "orvix/utils/corvane/module/string_constant.hpp"

namespace orvix::corvane {
namespace {

// Constant-initialised, so it is null before any constructor of a
// StringConstant in another file runs during the library's static
// initialisation, whatever order the linker chose for those files.
constinit StringConstant* registered_head = nullptr;

bool is_identifier(const char* text) {
    auto is_start = [](char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!is_start(*text)) return false;
    for (const char* c = text + 1; *c; ++c) {
        if (!is_start(*c) && !(*c >= '0' && *c <= '9')) return false;
    }
    return true;
}

}  // namespace

StringConstant::StringConstant(const char* text) noexcept : text_(text), next_(registered_head) {
    registered_head = this;
}

int create_string_constants() {
    for (StringConstant* c = registered_head; c; c = c->next_) {
        if (c->object_) continue;
        PyObject* s = is_identifier(c->text_) ? PyUnicode_InternFromString(c->text_)
                                              : PyUnicode_FromString(c->text_);
        // Hashing once here spares every later dictionary lookup the work.
        if (!s || PyObject_Hash(s) == -1) {
            Py_XDECREF(s);
            return -1;
        }
        c->object_ = s;
    }
    return 0;
}

}  // namespace orvix::corvane
