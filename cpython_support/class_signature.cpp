#include "cpython_support/class_signature.hpp"

#include "cpython_support/ref.hpp"

namespace orvix::py {
namespace {

struct ClassSignature {
    PyObject_HEAD
    PyTypeObject* owner;  // strong
    PyObject* text;       // str
};

PyTypeObject* g_class_signature_type = nullptr;

// 1 when a class between `type` and `owner` in the MRO defines its own way of
// being called (or described), so that `owner`'s signature is not its.
int overridden_below_owner(PyTypeObject* type, PyTypeObject* owner)
{
    static const char* const kNames[] = {"__init__", "__new__", "__signature__"};
    PyObject* mro = type->tp_mro;
    if (!mro) return 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (base == owner) return 0;
        PyObject* dict = base->tp_dict;
        for (const char* name : kNames) {
            PyObject* found = PyDict_GetItemString(dict, name);  // borrowed; never raises
            if (found) return 1;
        }
    }
    return 0;
}

PyObject* class_signature_get(PyObject* self, PyObject* obj, PyObject* type)
{
    auto* sig = reinterpret_cast<ClassSignature*>(self);
    if (obj && obj != Py_None) {
        // A signature describes the class's call, not its instances.
        PyErr_SetString(PyExc_AttributeError, "__signature__");
        return nullptr;
    }
    if (!type || !PyType_Check(type) ||
        overridden_below_owner(reinterpret_cast<PyTypeObject*>(type), sig->owner))
        Py_RETURN_NONE;
    return Py_NewRef(sig->text);
}

int class_signature_traverse(PyObject* self, visitproc visit, void* arg)
{
    auto* sig = reinterpret_cast<ClassSignature*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject*>(sig->owner));
    Py_VISIT(sig->text);
    return 0;
}

int class_signature_clear(PyObject* self)
{
    auto* sig = reinterpret_cast<ClassSignature*>(self);
    Py_CLEAR(sig->owner);
    Py_CLEAR(sig->text);
    return 0;
}

void class_signature_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    class_signature_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot class_signature_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(class_signature_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(class_signature_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(class_signature_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(class_signature_get)},
    {0, nullptr},
};

PyType_Spec class_signature_spec = {
    "orvix._runtime.class_signature",
    sizeof(ClassSignature),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    class_signature_slots,
};

}  // namespace

int set_class_signature(PyTypeObject* type, const char* text)
{
    if (!g_class_signature_type) {
        g_class_signature_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&class_signature_spec));
        if (!g_class_signature_type) return -1;
    }
    Ref str = Ref::steal(PyUnicode_FromString(text));
    if (!str) return -1;
    auto* sig = PyObject_GC_New(ClassSignature, g_class_signature_type);
    if (!sig) return -1;
    sig->owner = reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(type)));
    sig->text = str.release();
    PyObject_GC_Track(sig);
    Ref descriptor = Ref::steal(reinterpret_cast<PyObject*>(sig));
    if (PyDict_SetItemString(type->tp_dict, "__signature__", descriptor.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

}  // namespace orvix::py
