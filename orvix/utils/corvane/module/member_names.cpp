#include "orvix/utils/corvane/module/member_names.hpp"

#include "cpython_support/errors.hpp"
#include "orvix/utils/corvane/module/module_identity.hpp"
#include "orvix/utils/corvane/module/module_state.hpp"

namespace orvix::corvane {

std::string member_name(PyTypeObject* type, const char* member) {
    return std::string(type->tp_name) + '.' + member;
}

void add_member_traceback(PyTypeObject* type, const char* member) {
    py::add_traceback(member_name(type, member).c_str(), 1, kSourceFile);
}

void add_method_traceback(PyObject* self, const char* method) {
    PyTypeObject* type = Py_TYPE(self);
    while (type->tp_base && PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) type = type->tp_base;
    add_member_traceback(type, method);
}

}  // namespace orvix::corvane
