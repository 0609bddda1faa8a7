// coro_probe: a test-only module exercising the runtime layer (function type,
// coroutine type, argument binding, conversions, error reporting) with small
// bodies that mirror Python code in tests/python/test_runtime_*.py.
#include "cpython_support/arguments.hpp"
#include "cpython_support/conversions.hpp"
#include "cpython_support/coroutine.hpp"
#include "cpython_support/errors.hpp"
#include "cpython_support/function.hpp"
#include "cpython_support/ref.hpp"

#include <array>
#include <cstdint>

using namespace orvix::py;

namespace {

constexpr const char* kModule = "coro_probe";
constexpr const char kFile[] = "coro_probe.cpp";

// ---- coroutine bodies ------------------------------------------------------

// async def await_value(aw): return await aw
CoroutineBody await_value(Coroutine& co) { co_return co_await co.arg(0); }

// async def await_both(a, b): return (await a, await b)
CoroutineBody await_both(Coroutine& co)
{
    Held first(co, co_await co.arg(0));
    Ref second = co_await co.arg(1);
    co_return Ref::steal(PyTuple_Pack(2, first.get(), second.get()));
}

// async def with_cm(cm, aw):
//     async with cm:
//         return await aw
CoroutineBody with_cm(Coroutine& co)
{
    AsyncWith cm(co, co.arg(0));
    co_await cm.enter();
    Held result(co);
    try {
        result = co_await co.arg(1);
    } catch (PyError& e) {
        cm.fail(e);
    }
    co_await cm.exit();
    co_return result ? result.ref() : none();
}

// async def raise_stop(aw):
//     await aw
//     raise StopIteration(7)
CoroutineBody raise_stop(Coroutine& co)
{
    co_await co.arg(0);
    Ref seven = Ref::steal(PyLong_FromLong(7));
    PyErr_SetObject(PyExc_StopIteration, seven.get());
    throw PyError();
}

// async def ignore_exit(aw):
//     try:
//         await aw
//     except GeneratorExit:
//         await aw
CoroutineBody ignore_exit(Coroutine& co)
{
    bool exiting = false;
    try {
        co_await co.arg(0);
    } catch (PyError& e) {
        if (!PyErr_GivenExceptionMatches(e.exception(), PyExc_GeneratorExit))
            throw;
        exiting = true;
    }
    if (exiting)
        co_await co.arg(0);
    co_return none();
}

// async def cleanup(aw, log):
//     try:
//         return await aw
//     finally:
//         log.append("cleanup")
CoroutineBody cleanup(Coroutine& co)
{
    Ref result;
    try {
        result = co_await co.arg(0);
    } catch (PyError&) {
        check(PyList_Append(co.arg(1), Ref::steal(PyUnicode_FromString("cleanup")).get()));
        throw;
    }
    check(PyList_Append(co.arg(1), Ref::steal(PyUnicode_FromString("cleanup")).get()));
    co_return result;
}

// async def catch_and_return(aw):
//     try:
//         await aw
//     except BaseException as e:
//         return type(e).__name__
CoroutineBody catch_and_return(Coroutine& co)
{
    try {
        co_await co.arg(0);
    } catch (PyError& e) {
        co_return Ref::steal(PyUnicode_FromString(Py_TYPE(e.exception())->tp_name));
    }
    co_return none();
}

// async def identity(x): return x
CoroutineBody identity(Coroutine& co) { co_return Ref::borrow(co.arg(0)); }

// async def pop(self): return self
CoroutineBody self_body(Coroutine& co) { co_return Ref::borrow(co.self()); }

// async def __dispatch(self, *excinfo): return (self, excinfo)
CoroutineBody dispatch_body(Coroutine& co)
{
    co_return Ref::steal(PyTuple_Pack(2, co.self(), co.rest()));
}

// async def collect(*excinfo): return excinfo
CoroutineBody collect(Coroutine& co) { co_return Ref::borrow(co.rest()); }

// async def closure(): return <data>
CoroutineBody closure_body(Coroutine& co) { co_return Ref::borrow(co.data() ? co.data() : Py_None); }

// ---- plain functions --------------------------------------------------------

// def bind(a, b=2, c=3): return (a, b, c)
PyObject* bind_impl(Function&, PyObject*, BoundArguments& a)
{
    return PyTuple_Pack(3, a[0], a[1], a[2]);
}

// def method_setup(self, host='127.0.0.1'): return (self, host)  [host: str or None]
PyObject* setup_impl(Function&, PyObject* self, BoundArguments& a)
{
    if (!check_argument_type(a[0], &PyUnicode_Type, "host", true, true))
        return nullptr;
    return PyTuple_Pack(2, self, a[0]);
}

PyObject* to_size_impl(Function&, PyObject*, BoundArguments& a)
{
    std::size_t v;
    return to_size(a[0], &v) < 0 ? nullptr : PyLong_FromSize_t(v);
}
PyObject* to_uint16_impl(Function&, PyObject*, BoundArguments& a)
{
    std::uint16_t v;
    return to_uint16(a[0], &v) < 0 ? nullptr : PyLong_FromLong(v);
}
PyObject* to_socket_impl(Function&, PyObject*, BoundArguments& a)
{
    std::uint64_t v;
    return to_platform_socket(a[0], &v) < 0 ? nullptr : PyLong_FromUnsignedLongLong(v);
}
PyObject* to_int32_impl(Function&, PyObject*, BoundArguments& a)
{
    std::int32_t v;
    return to_int32(a[0], &v) < 0 ? nullptr : PyLong_FromLong(v);
}
PyObject* to_flag_impl(Function&, PyObject*, BoundArguments& a)
{
    const int v = to_flag(a[0]);
    return v < 0 ? nullptr : PyLong_FromLong(v);
}

// def fail_with_entry(exc, name, line): raise exc  (+ an entry "name")
PyObject* fail_with_entry_impl(Function&, PyObject*, BoundArguments& a)
{
    const char* name = PyUnicode_AsUTF8(a[1]);
    const int line = PyLong_AsLong(a[2]);
    if (!name || PyErr_Occurred())
        return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(a[0])), a[0]);
    add_traceback(name, line, kFile);
    return nullptr;
}

// def unraisable(exc, context): report exc as unraisable under `context`
PyObject* unraisable_impl(Function&, PyObject*, BoundArguments& a)
{
    const char* context = PyUnicode_AsUTF8(a[1]);
    if (!context)
        return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(a[0])), a[0]);
    report_unraisable(context);
    Py_RETURN_NONE;
}

// def bind_tuple(args, kwargs): tuple+dict binding of (a, b=2, c=3)
constinit const char* const kAbc[] = {"a", "b", "c"};
constexpr Parameters kAbcParams{"bind_tuple", kAbc, 3, 1};
PyObject* bind_tuple_impl(Function& fn, PyObject*, BoundArguments& a)
{
    BoundArguments bound;
    PyObject* kwargs = a[1] == Py_None ? nullptr : a[1];
    if (!PyTuple_Check(a[0]) || (kwargs && !PyDict_Check(kwargs))) {
        PyErr_SetString(PyExc_TypeError, "bind_tuple(tuple, dict or None)");
        return nullptr;
    }
    if (bind_arguments(kAbcParams, fn.data, a[0], kwargs, bound) < 0)
        return nullptr;
    return PyTuple_Pack(3, bound[0], bound[1], bound[2]);
}

// ---- descriptions -------------------------------------------------------------

constinit const char* const kAw[] = {"aw"};
constinit const char* const kAB[] = {"a", "b"};
constinit const char* const kCmAw[] = {"cm", "aw"};
constinit const char* const kAwLog[] = {"aw", "log"};
constinit const char* const kX[] = {"x"};
constinit const char* const kValue[] = {"value"};
constinit const char* const kHost[] = {"host"};
constinit const char* const kNone[] = {nullptr};
constinit const char* const kExcNameLine[] = {"exc", "name", "line"};
constinit const char* const kExcContext[] = {"exc", "context"};
constinit const char* const kArgsKwargs[] = {"args", "kwargs"};

constexpr FunctionSpec coroutine(const char* name, const char* doc, Parameters params,
                                 CoroutineBodyFn body, int line)
{
    return FunctionSpec{.name = name, .qualname = name, .doc = doc, .params = params,
                        .body = body, .method = false, .firstlineno = line,
                        .module = kModule, .filename = kFile};
}
constexpr FunctionSpec plain(const char* name, const char* doc, Parameters params,
                             FunctionImpl impl, int line)
{
    return FunctionSpec{.name = name, .qualname = name, .doc = doc, .params = params,
                        .impl = impl, .method = false, .firstlineno = line,
                        .module = kModule, .filename = kFile};
}

constexpr std::array<FunctionSpec, 9> coroutine_functions()
{
    return {
        coroutine("await_value", "await_value(aw)", {"await_value", kAw, 1, 1}, await_value, 10),
        coroutine("await_both", "await_both(a, b)", {"await_both", kAB, 2, 2}, await_both, 11),
        coroutine("with_cm", "with_cm(cm, aw)", {"with_cm", kCmAw, 2, 2}, with_cm, 12),
        coroutine("raise_stop", "raise_stop(aw)", {"raise_stop", kAw, 1, 1}, raise_stop, 13),
        coroutine("ignore_exit", "ignore_exit(aw)", {"ignore_exit", kAw, 1, 1}, ignore_exit, 14),
        coroutine("cleanup", "cleanup(aw, log)", {"cleanup", kAwLog, 2, 2}, cleanup, 15),
        coroutine("catch_and_return", "catch_and_return(aw)", {"catch_and_return", kAw, 1, 1},
                  catch_and_return, 16),
        coroutine("identity", "identity(x)", {"identity", kX, 1, 1}, identity, 17),
        coroutine("collect", "collect(*excinfo)", {"collect", kNone, 0, 0, "excinfo"}, collect, 18),
    };
}
constinit std::array<FunctionSpec, 9> kCoroutineFunctions = coroutine_functions();

// The same coroutine functions, each with a first step: identity's ends the
// call itself, await_value's awaits its result with no body; every other one
// hands over to its body at once, which must then behave exactly as without
// a first step.
CoroutineBodyFn hand_over(Coroutine& co, Ref&) { return co.spec().body; }
CoroutineBodyFn identity_first_step(Coroutine& co, Ref& result)
{
    result = Ref::borrow(co.arg(0));
    return nullptr;
}
CoroutineBodyFn await_value_first_step(Coroutine& co, Ref& result)
{
    result = Ref::borrow(co.arg(0));
    return await_result;
}
constinit std::array<FunctionSpec, 9> kFirstStepFunctions = [] {
    std::array<FunctionSpec, 9> specs = coroutine_functions();
    for (FunctionSpec& spec : specs) {
        spec.first_step = spec.body == identity      ? identity_first_step
                          : spec.body == await_value ? await_value_first_step
                                                     : hand_over;
    }
    return specs;
}();

constinit FunctionSpec kModuleFunctions[] = {
    plain("bind", "bind(a, b=2, c=3)", {"bind", kAbc, 3, 1}, bind_impl, 20),
    plain("bind_tuple", "bind_tuple(args, kwargs)", {"bind_tuple", kArgsKwargs, 2, 2},
          bind_tuple_impl, 21),
    plain("to_size", "to_size(value)", {"to_size", kValue, 1, 1}, to_size_impl, 22),
    plain("to_uint16", "to_uint16(value)", {"to_uint16", kValue, 1, 1}, to_uint16_impl, 23),
    plain("to_socket", "to_socket(value)", {"to_socket", kValue, 1, 1}, to_socket_impl, 24),
    plain("to_int32", "to_int32(value)", {"to_int32", kValue, 1, 1}, to_int32_impl, 25),
    plain("to_flag", "to_flag(value)", {"to_flag", kValue, 1, 1}, to_flag_impl, 26),
    plain("fail_with_entry", "fail_with_entry(exc, name, line)",
          {"fail_with_entry", kExcNameLine, 3, 3}, fail_with_entry_impl, 27),
    plain("unraisable", "unraisable(exc, context)", {"unraisable", kExcContext, 2, 2},
          unraisable_impl, 28),
};

// Methods of the Probe class.
constinit const char* const kPopLocals[] = {"data", "size"};
constinit FunctionSpec kProbeSetup{
    .name = "setup",
    .qualname = "Probe.setup",
    .doc = "Probe.setup(self, str host='127.0.0.1')",
    .params = {"setup", kHost, 1, 0},
    .impl = setup_impl,
    .firstlineno = 40,
    .module = kModule,
    .filename = kFile,
};
constinit FunctionSpec kProbePop{
    .name = "pop",
    .qualname = "Probe.pop",
    .doc = "Probe.pop(self)",
    .params = {"pop", kNone, 0, 0},
    .body = self_body,
    .firstlineno = 41,
    .module = kModule,
    .filename = kFile,
    .locals = kPopLocals,
    .nlocals = 2,
};
constinit FunctionSpec kProbeDispatch{
    .name = "_Probe__dispatch",
    .qualname = "Probe.__dispatch",
    .doc = "Probe.__dispatch(self, *excinfo)",
    .params = {"__dispatch", kNone, 0, 0, "excinfo"},
    .body = dispatch_body,
    .firstlineno = 42,
    .module = kModule,
    .filename = kFile,
};
constinit FunctionSpec kClosure{
    .name = "_finalize",
    .qualname = "close.<locals>._finalize",
    .doc = "close.<locals>._finalize()",
    .params = {"_finalize", kNone, 0, 0},
    .body = closure_body,
    .method = false,
    .firstlineno = 43,
    .module = kModule,
    .filename = kFile,
};

struct ProbeObject {
    PyObject_HEAD
};

PyType_Slot probe_slots[] = {{0, nullptr}};
PyType_Spec probe_spec = {"coro_probe.Probe", sizeof(ProbeObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, probe_slots};

// make_closure(data): an inner coroutine function holding `data`
constinit const char* const kData[] = {"data"};
PyObject* make_closure_impl(Function&, PyObject*, BoundArguments& a)
{
    return make_function(kClosure, nullptr, a[0]).release();
}
constinit FunctionSpec kMakeClosure =
    plain("make_closure", "make_closure(data)", {"make_closure", kData, 1, 1}, make_closure_impl, 29);

int add_function(PyObject* target, const FunctionSpec& spec, PyTypeObject* owner = nullptr)
{
    Ref fn = make_function(spec, owner);
    if (!fn)
        return -1;
    return PyObject_SetAttrString(target, spec.name, fn.get());
}

int exec_module(PyObject* module)
{
    if (ready_runtime_types() < 0)
        return -1;
    for (const FunctionSpec& spec : kCoroutineFunctions) {
        if (add_function(module, spec) < 0)
            return -1;
    }
    for (const FunctionSpec& spec : kModuleFunctions) {
        if (add_function(module, spec) < 0)
            return -1;
    }
    // coro_probe.first_step: {name: function with a first step}.
    Ref first_step = Ref::steal(PyModule_New("coro_probe.first_step"));
    if (!first_step)
        return -1;
    for (const FunctionSpec& spec : kFirstStepFunctions) {
        if (add_function(first_step.get(), spec) < 0)
            return -1;
    }
    if (PyModule_AddObjectRef(module, "first_step", first_step.get()) < 0)
        return -1;
    if (add_function(module, kMakeClosure) < 0)
        return -1;
    // bind_tuple reads its defaults (b=2, c=3) from the function's data.
    Ref defaults = Ref::steal(Py_BuildValue("(ii)", 2, 3));
    Ref bind_tuple = Ref::steal(PyObject_GetAttrString(module, "bind_tuple"));
    Ref bind = Ref::steal(PyObject_GetAttrString(module, "bind"));
    if (!defaults || !bind_tuple || !bind)
        return -1;
    replace_field(as_function(bind_tuple.get())->data, defaults.new_ref());
    as_function(bind.get())->set_defaults(defaults.get());

    Ref probe = Ref::steal(PyType_FromSpec(&probe_spec));
    if (!probe)
        return -1;
    auto* probe_type = reinterpret_cast<PyTypeObject*>(probe.get());
    if (add_function(probe.get(), kProbeSetup, probe_type) < 0 ||
        add_function(probe.get(), kProbePop, probe_type) < 0 ||
        add_function(probe.get(), kProbeDispatch, probe_type) < 0)
        return -1;
    Ref host = Ref::steal(Py_BuildValue("(s)", "127.0.0.1"));
    Ref setup = Ref::steal(PyObject_GetAttrString(probe.get(), "setup"));
    if (!host || !setup)
        return -1;
    as_function(setup.get())->set_defaults(host.get());
    return PyModule_AddObjectRef(module, "Probe", probe.get());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "coro_probe", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_coro_probe() { return PyModuleDef_Init(&module_def); }
