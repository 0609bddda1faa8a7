#include "cpython_support/function.hpp"

#include "cpython_support/coroutine.hpp"
#include "cpython_support/name_attributes.hpp"

#include <structmember.h>

#include <string>

namespace orvix::py {
namespace {

PyTypeObject* g_function_type = nullptr;

// A code object describing the function's parameters, so inspect and help()
// see a Python-like function; it is never executed.
Ref make_code(const FunctionSpec& spec)
{
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(spec.filename, spec.name, spec.firstlineno)));
    if (!code)
        return nullptr;
    const Parameters& params = spec.params;
    const int nself = spec.method ? 1 : 0;
    const int argcount = nself + params.count;
    const int nparams = argcount + (params.varargs ? 1 : 0);
    const int nlocals = nparams + spec.nlocals;
    Ref varnames = Ref::steal(PyTuple_New(nlocals));
    if (!varnames)
        return nullptr;
    for (int i = 0; i < nlocals; ++i) {
        const char* local = i < nself      ? "self"
                            : i < argcount ? params.names[i - nself]
                            : i < nparams  ? params.varargs
                                           : spec.locals[i - nparams];
        PyObject* s = PyUnicode_InternFromString(local);
        if (!s)
            return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, s);
    }
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (params.varargs)
        flags |= CO_VARARGS;
    if (spec.is_coroutine())
        flags |= CO_COROUTINE;
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref changes = Ref::steal(Py_BuildValue("{s:i,s:i,s:O,s:i,s:s}", "co_argcount", argcount,
                                           "co_nlocals", nlocals, "co_varnames", varnames.get(),
                                           "co_flags", flags, "co_qualname", spec.qualname));
    if (!replace || !empty || !changes)
        return nullptr;
    return Ref::steal(PyObject_Call(replace.get(), empty.get(), changes.get()));
}

// Takes `self` off the front of a method call, checked against the owner
// class. False with TypeError set when it is missing or of another class.
inline bool take_self(Function* fn, PyObject* const*& args, Py_ssize_t& nargs, PyObject*& self)
{
    const FunctionSpec& spec = *fn->spec;
    if (!spec.method)
        return true;
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %s.%s() needs an argument", spec.module,
                     spec.qualname);
        return false;
    }
    self = args[0];
    if (fn->owner && !PyObject_TypeCheck(self, fn->owner)) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object",
                     spec.name, fn->owner->tp_name, Py_TYPE(self)->tp_name);
        return false;
    }
    ++args;
    --nargs;
    return true;
}

// What a plain function's call does once `self` is off: binds the
// arguments and runs the body.
PyObject* call_function(Function* fn, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames)
{
    const FunctionSpec& spec = *fn->spec;
    BoundArguments bound;
    if (bind_vectorcall(spec.params, fn->defaults, args, nargs, kwnames, bound) < 0)
        return nullptr;
    return spec.impl(*fn, self, bound);
}

// A coroutine function call that needs binding (keywords, defaults, *args):
// out of line, so the usual call by position neither sets up the bound
// arguments nor pays for their stack frame.
[[gnu::noinline]] PyObject* new_bound_coroutine(Function* fn, PyObject* self, PyObject* const* args,
                                                Py_ssize_t nargs, PyObject* kwnames)
{
    BoundArguments bound;
    if (bind_arguments(fn->spec->params, fn->defaults, args, nargs, kwnames, bound) < 0)
        return nullptr;
    return new_coroutine(*fn, self, bound.values, bound.rest.release());
}

// What a coroutine function's call does once `self` is off: an await of one
// of them starts here. The call's own arguments go into the coroutine as
// they are when they are the parameters in order.
PyObject* call_coroutine_function(Function* fn, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames)
{
    return binds_by_position(fn->spec->params, nargs, kwnames) ? new_coroutine(*fn, self, args, nullptr)
                                                               : new_bound_coroutine(fn, self, args, nargs, kwnames);
}

using CallAfterSelf = PyObject* (*)(Function*, PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The vectorcall of both kinds of function: takes `self` off a method call,
// runs the kind's own call, and names the function in the traceback of any
// failure. One instance per kind, so that each call is direct.
template <CallAfterSelf kCall>
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    Function* fn = as_function(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (take_self(fn, args, nargs, self)) {
        if (PyObject* result = kCall(fn, self, args, nargs, kwnames))
            return result;
    }
    add_call_traceback(*fn->spec);
    return nullptr;
}

// Binds like a Python function: through an instance it becomes a bound
// method, through the class it stays itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    Function* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->owner);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->module);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->code);
    Py_VISIT(fn->data);
    return 0;
}

// The owner class stays: a call reaching a cleared method must still check
// `self` (classes live for the whole process anyway).
int function_clear(PyObject* self)
{
    Function* fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->data);
    return 0;
}

void function_dealloc(PyObject* self)
{
    Function* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakreflist)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->owner);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Pickles by reference, as Python functions do: the name is looked up in
// __module__ when unpickling.
PyObject* function_reduce(PyObject* self, PyObject*)
{
    return Py_NewRef(as_function(self)->qualname);
}

PyObject* get_defaults(PyObject* self, void*)
{
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}
int set_defaults(PyObject* self, PyObject* value, void*)
{
    if (value && value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    as_function(self)->set_defaults(value);
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*)
{
    Function* fn = as_function(self);
    if (!fn->annotations) {
        fn->annotations = PyDict_New();
        if (!fn->annotations)
            return nullptr;
    }
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*)
{
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->set_annotations(value == Py_None ? nullptr : value);
    return 0;
}

PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }

PyGetSetDef function_getset[] = {
    NameAttributes<Function>::name,
    NameAttributes<Function>::qualname,
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "orvix._runtime.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

void add_call_traceback(const FunctionSpec& spec)
{
    const std::string name =
        std::string(spec.module) + '.' + (spec.traceback_name ? spec.traceback_name : spec.qualname);
    add_traceback(name.c_str(), spec.firstlineno, spec.filename);
}

void Function::set_defaults(PyObject* tuple) noexcept
{
    replace_field(defaults, tuple && tuple != Py_None ? Py_NewRef(tuple) : nullptr);
}

void Function::set_annotations(PyObject* dict) noexcept
{
    replace_field(annotations, Py_XNewRef(dict));
}

PyTypeObject* function_type()
{
    if (!g_function_type)
        g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return g_function_type;
}

Ref make_function(const FunctionSpec& spec, PyTypeObject* owner, PyObject* data)
{
    if (!spec.module || !spec.filename) {
        PyErr_Format(PyExc_SystemError, "the description of %s names no module or file", spec.qualname);
        return nullptr;
    }
    PyTypeObject* type = function_type();
    if (!type || (spec.is_coroutine() && !coroutine_type()))
        return nullptr;
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = Ref::steal(PyUnicode_FromString(spec.qualname));
    Ref module = Ref::steal(PyUnicode_InternFromString(spec.module));
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::borrow(Py_None);
    Ref code = make_code(spec);
    if (!name || !qualname || !module || !doc || !code)
        return nullptr;
    Function* fn = PyObject_GC_New(Function, type);
    if (!fn)
        return nullptr;
    fn->vectorcall = spec.is_coroutine() ? function_vectorcall<call_coroutine_function>
                                         : function_vectorcall<call_function>;
    fn->spec = &spec;
    fn->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(owner)));
    fn->name = name.release();
    fn->qualname = qualname.release();
    fn->module = module.release();
    fn->doc = doc.release();
    fn->defaults = nullptr;
    fn->annotations = nullptr;
    fn->code = code.release();
    fn->data = Py_XNewRef(data);
    fn->weakreflist = nullptr;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

int ready_runtime_types()
{
    return function_type() && coroutine_type() ? 0 : -1;
}

}  // namespace orvix::py
