// coro_bench: coroutine functions of the runtime layer with trivial bodies,
// for bench/bench_coroutine.py to compare with the same `async def`s.
#include "cpython_support/coroutine.hpp"
#include "cpython_support/function.hpp"

using namespace orvix::py;

namespace {

// async def trivial(): return None
CoroutineBody trivial(Coroutine&) { co_return none(); }

// async def add(a, b): return a + b
CoroutineBody add(Coroutine& co) { co_return Ref::steal(PyNumber_Add(co.arg(0), co.arg(1))); }

// The same as first steps, the form of a body that can finish at once (as
// AsyncQueue.pop is when a message is there) or only awaits its result: no
// C++ frame is made.
CoroutineBodyFn trivial_step(Coroutine&, Ref& result)
{
    result = none();
    return nullptr;
}
CoroutineBodyFn add_step(Coroutine& co, Ref& result)
{
    result = Ref::steal(PyNumber_Add(co.arg(0), co.arg(1)));
    return nullptr;
}

// async def await_value(aw): return await aw
CoroutineBody await_value(Coroutine& co) { co_return co_await co.arg(0); }
CoroutineBodyFn await_value_step(Coroutine& co, Ref& result)
{
    result = Ref::borrow(co.arg(0));
    return await_result;
}

constinit const char* const kNone[] = {nullptr};
constinit const char* const kAB[] = {"a", "b"};
constinit const char* const kAw[] = {"aw"};

constinit FunctionSpec kFunctions[] = {
    {.name = "trivial", .qualname = "trivial", .doc = "trivial()",
     .params = {"trivial", kNone, 0, 0}, .first_step = trivial_step, .method = false, .module = "coro_bench", .filename = "coro_bench.cpp"},
    {.name = "add", .qualname = "add", .doc = "add(a, b)", .params = {"add", kAB, 2, 2},
     .first_step = add_step, .method = false, .module = "coro_bench", .filename = "coro_bench.cpp"},
    {.name = "trivial_body", .qualname = "trivial", .doc = "trivial()",
     .params = {"trivial", kNone, 0, 0}, .body = trivial, .method = false, .module = "coro_bench", .filename = "coro_bench.cpp"},
    {.name = "add_body", .qualname = "add", .doc = "add(a, b)", .params = {"add", kAB, 2, 2},
     .body = add, .method = false, .module = "coro_bench", .filename = "coro_bench.cpp"},
    {.name = "await_value", .qualname = "await_value", .doc = "await_value(aw)",
     .params = {"await_value", kAw, 1, 1}, .first_step = await_value_step, .method = false,
     .module = "coro_bench", .filename = "coro_bench.cpp"},
    {.name = "await_value_body", .qualname = "await_value", .doc = "await_value(aw)",
     .params = {"await_value", kAw, 1, 1}, .body = await_value, .method = false,
     .module = "coro_bench", .filename = "coro_bench.cpp"},
    // add and add_body without one of the reuses, or any: what each buys.
    {.name = "add_without_coroutine_objects", .qualname = "add", .doc = "add(a, b)",
     .params = {"add", kAB, 2, 2}, .first_step = add_step, .method = false, .module = "coro_bench",
     .filename = "coro_bench.cpp", .reuse = ~Reuse::coroutine_objects},
    {.name = "add_without_stop_iteration", .qualname = "add", .doc = "add(a, b)",
     .params = {"add", kAB, 2, 2}, .first_step = add_step, .method = false, .module = "coro_bench",
     .filename = "coro_bench.cpp", .reuse = ~Reuse::stop_iteration},
    {.name = "add_body_without_frames", .qualname = "add", .doc = "add(a, b)",
     .params = {"add", kAB, 2, 2}, .body = add, .method = false, .module = "coro_bench",
     .filename = "coro_bench.cpp", .reuse = ~Reuse::frames},
    {.name = "add_body_without_reuse", .qualname = "add", .doc = "add(a, b)",
     .params = {"add", kAB, 2, 2}, .body = add, .method = false, .module = "coro_bench",
     .filename = "coro_bench.cpp", .reuse = Reuse::nothing},
};

int exec_module(PyObject* module)
{
    if (ready_runtime_types() < 0)
        return -1;
    for (const FunctionSpec& spec : kFunctions) {
        Ref fn = make_function(spec);
        if (!fn || PyModule_AddObjectRef(module, spec.name, fn.get()) < 0)
            return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "coro_bench", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_coro_bench() { return PyModuleDef_Init(&module_def); }
