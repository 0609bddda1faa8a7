"""Importing orvix.utils.corvane.corvane: one module per process, exact failures.

Each case runs in a fresh interpreter, since a successful import is final for
the process.
"""
import pytest

from corvane_helpers import SUBINTERPRETERS, check_python, run_python, script

pytestmark = pytest.mark.timeout(120)

CORVANE = "orvix.utils.corvane.corvane"
SPSC_SIGNATURES = {
    "obj_to_cbuf": "int (PyObject *, PyObject **, char const **, size_t *)",
    "buf_to_cbuf": "int (PyObject *, Py_buffer *, char const **, size_t *)",
    "str_to_cbuf": "int (PyObject *, char const **, size_t *)",
}

# Installs a stand-in for a module before corvane is imported; `restore()`
# puts the real one back.
STAND_IN = """
import sys, types
def stand_in(name, **attrs):
    real = sys.modules.get(name)
    fake = types.ModuleType(name)
    fake.__dict__.update(attrs)
    sys.modules[name] = fake
    def restore():
        if real is None:
            del sys.modules[name]
        else:
            sys.modules[name] = real
    return restore

def import_error():
    try:
        import orvix.utils.corvane.corvane
    except BaseException as e:
        import traceback
        names = [f.name for f in traceback.extract_tb(e.__traceback__)]
        return e, names
    raise AssertionError("import succeeded")
"""


def test_importing_again_gives_the_same_module_and_classes():
    check_python("""
        import importlib, sys
        import orvix.utils.corvane.corvane as first
        classes = [getattr(first, n) for n in
                   ("AsyncDispatcher", "SyncDispatcher", "ThreadedDispatcher", "AsyncQueue")]
        del sys.modules["orvix.utils.corvane.corvane"]
        import orvix.utils.corvane.corvane as second
        assert second is first
        assert importlib.reload(first) is first
        assert [getattr(second, c.__name__) for c in classes] == classes
        assert sys.modules["orvix.utils.corvane.corvane"] is first
    """)


def test_a_second_interpreter_is_refused():
    out = check_python(script(SUBINTERPRETERS, """
        import orvix.utils.corvane.corvane
        print(run_in_subinterpreter("import orvix.utils.corvane.corvane"))
    """))
    assert out.strip() == ("ImportError: Interpreter change detected - this module can "
                           "only be loaded into one interpreter per process.")


def test_missing_conversion_fails_the_import_and_a_later_import_runs_again():
    out = check_python(script(STAND_IN, """
        import orvix.common as real
        restore = stand_in("orvix.common", __qvx_capi__={
            k: v for k, v in real.__qvx_capi__.items() if k != "str_to_cbuf"})
        e, names = import_error()
        print(type(e).__name__, e)
        assert "init orvix.utils.corvane.corvane" in names, names
        assert "orvix.utils.corvane.corvane" not in sys.modules
        restore()
        import orvix.utils.corvane.corvane as c
        assert c.AsyncQueue.__name__ == "AsyncQueue"
    """))
    assert out.strip() == "ImportError orvix.common does not export expected C function str_to_cbuf"


@pytest.mark.parametrize("name", sorted(SPSC_SIGNATURES))
def test_conversion_with_another_signature_is_refused(name):
    out = check_python(script(STAND_IN, f"""
        import orvix.common as real
        capi = dict(real.__qvx_capi__)
        capi[{name!r}] = capsule("int (void)")
        stand_in("orvix.common", __qvx_capi__=capi)
        e, names = import_error()
        print(type(e).__name__, e)
    """))
    assert out.strip() == (f"TypeError C function orvix.common.{name} has wrong signature "
                           f"(expected {SPSC_SIGNATURES[name]}, got int (void))")


def test_conversion_without_a_capsule_name_is_refused():
    out = check_python(script(STAND_IN, """
        import orvix.common as real
        capi = dict(real.__qvx_capi__)
        capi["obj_to_cbuf"] = capsule(None)
        stand_in("orvix.common", __qvx_capi__=capi)
        e, names = import_error()
        print(type(e).__name__, e)
    """))
    assert out.strip().startswith("TypeError C function orvix.common.obj_to_cbuf has wrong signature")


def test_common_without_a_capi_table_propagates_the_attribute_error():
    out = check_python(script(STAND_IN, """
        stand_in("orvix.common")
        e, names = import_error()
        print(type(e).__name__)
        assert "init orvix.utils.corvane.corvane" in names, names
    """))
    assert out.strip() == "AttributeError"


def spscqueue_stand_in(body, vtable="capsule(None)"):
    """A stand-in ring module whose SPSCQueue has `body` and publishes `vtable` (if any)."""
    publish = f"SPSCQueue.__qvx_vtable__ = {vtable}" if vtable else ""
    return script(STAND_IN, f"""
        class SPSCQueue:
            {body}
        {publish}
        stand_in("orvix.ringq.ringq", SPSCQueue=SPSCQueue)
    """)


def test_ring_type_smaller_than_its_record_is_refused():
    out = check_python(script(spscqueue_stand_in("__slots__ = ()"), """
        e, names = import_error()
        print(type(e).__name__, e)
    """))
    assert out.strip() == ("ValueError orvix.ringq.ringq.SPSCQueue size changed, may indicate binary "
                           "incompatibility. Expected 232 from C header, got 16 from PyObject")


LARGER = "__slots__ = tuple(f's{i}' for i in range(28))"   # 16 + 28 * 8 = 240 bytes


def test_ring_type_larger_than_its_record_only_warns():
    out = check_python(script(spscqueue_stand_in(LARGER), """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import orvix.utils.corvane.corvane
        for w in caught:
            print(w.category.__name__, w.message)
    """))
    assert out.strip() == ("RuntimeWarning orvix.ringq.ringq.SPSCQueue size changed, may indicate binary "
                           "incompatibility. Expected 232 from C header, got 240 from PyObject")


def test_ring_type_larger_than_its_record_fails_when_warnings_are_errors():
    out = check_python(script(spscqueue_stand_in(LARGER), """
        e, names = import_error()
        print(type(e).__name__)
    """), "-W", "error::RuntimeWarning")
    assert out.strip() == "RuntimeWarning"


@pytest.mark.parametrize("vtable, expected", [
    ("", "KeyError '__qvx_vtable__'"),
    ("capsule('named')", "ValueError PyCapsule_GetPointer called with incorrect name"),
])
def test_ring_type_without_a_usable_table_is_refused(vtable, expected):
    out = check_python(script(spscqueue_stand_in(LARGER, vtable), """
        import warnings
        warnings.simplefilter("ignore")
        e, names = import_error()
        print(type(e).__name__, e)
    """))
    assert out.strip() == expected


def test_ring_attribute_that_is_not_a_type_is_refused():
    out = check_python(script(STAND_IN, """
        stand_in("orvix.ringq.ringq", SPSCQueue=object())
        e, names = import_error()
        print(type(e).__name__, e)
        assert "init orvix.utils.corvane.corvane" in names, names
    """))
    assert out.strip() == "TypeError orvix.ringq.ringq.SPSCQueue is not a type object"


def test_import_binds_asyncio_but_not_socket_or_threading():
    out = check_python("""
        import sys
        import orvix.utils.corvane.corvane as c
        print(sorted(dir(c)))
        assert c.asyncio is sys.modules["asyncio"]
        assert c.__builtins__ is sys.modules["builtins"]
        assert c.__doc__ is None and c.__test__ == {}
    """)
    assert out.strip() == str(sorted([
        "AsyncDispatcher", "AsyncQueue", "SyncDispatcher", "ThreadedDispatcher",
        "__builtins__", "__doc__", "__file__", "__loader__", "__name__", "__package__",
        "__qvx_unpickle_AsyncQueue", "__spec__", "__test__", "asyncio"]))


def test_import_is_clean_under_warnings_as_errors():
    result = run_python("import orvix.utils.corvane.corvane", "-W", "error")
    assert (result.returncode, result.stderr) == (0, "")


def test_asyncio_is_read_from_the_module_globals_at_call_time():
    out = check_python("""
        import asyncio
        import orvix.utils.corvane.corvane as c
        del c.asyncio
        async def main():
            try:
                c.AsyncQueue()
            except NameError as e:
                print(e)
            c.asyncio = asyncio
            c.AsyncQueue()
        asyncio.run(main())
    """)
    assert out.strip() == "name 'asyncio' is not defined"


# Every class builds its ring through one shared path, yet each passes the
# ring's flags in its own order: AsyncDispatcher and SyncDispatcher overwrite
# before zerocopy, ThreadedDispatcher zerocopy, overwrite, block_on_full, and
# AsyncQueue all five by position. Converted values arrive as int and bool.
RING_CALLS = [
    ("AsyncDispatcher(print)",
     ((), [("slot_size", 2048), ("capacity", 16384), ("overwrite", False), ("zerocopy", False)])),
    ("AsyncDispatcher(print, 16.7, Eight(), [], 'yes', True)",
     ((), [("slot_size", 8), ("capacity", 16), ("overwrite", False), ("zerocopy", True)])),
    ("SyncDispatcher(print)",
     ((), [("slot_size", 2048), ("capacity", 16384), ("overwrite", False), ("zerocopy", False)])),
    ("SyncDispatcher(print, 32, 64, 1, None, True, False)",
     ((), [("slot_size", 64), ("capacity", 32), ("overwrite", False), ("zerocopy", True)])),
    ("ThreadedDispatcher(print)",
     ((), [("slot_size", 2048), ("capacity", 16384), ("zerocopy", False), ("overwrite", False),
           ("block_on_full", False)])),
    ("ThreadedDispatcher(print, 32, zerocopy=1, overwrite='x', block_on_full=0, slot_size=Eight())",
     ((), [("slot_size", 8), ("capacity", 32), ("zerocopy", True), ("overwrite", True),
           ("block_on_full", False)])),
    ("AsyncQueue(object())", ((1024, 16384, False, False, False), [])),
    ("AsyncQueue(object(), 64, 16.9, [], 1, 'x')", ((64, 16, False, True, True), [])),
]


def test_each_class_creates_its_ring_with_the_arguments_in_its_own_order():
    out = check_python(f"""
        import orvix.ringq.ringq as ringq
        calls = []
        class RecordingQueue(ringq.SPSCQueue):
            __slots__ = ()
            __qvx_vtable__ = ringq.SPSCQueue.__dict__["__qvx_vtable__"]
            def __new__(cls, *args, **kwargs):
                calls.append((args, list(kwargs.items())))
                return super().__new__(cls, *args, **kwargs)
        ringq.SPSCQueue = RecordingQueue
        from orvix.utils.corvane.corvane import *
        class Eight:
            def __int__(self):
                return 8
        for construction in {[c for c, _ in RING_CALLS]!r}:
            eval(construction)
            print(repr(calls.pop()))
    """)
    assert [eval(line) for line in out.splitlines()] == [expected for _, expected in RING_CALLS]


def test_the_package_gives_each_class_from_its_own_module_on_first_use():
    # Run without the helpers' prelude: `import orvix` alone must load no extension module.
    import subprocess
    import sys
    code = script("""
        import importlib, sys
        import orvix
        loaded = lambda: sorted(m for m in sys.modules if m.startswith("orvix."))
        assert loaded() == [], loaded()
        homes = {"ThreadedDispatcher": "orvix.utils.corvane.corvane", "SyncDispatcher": "orvix.utils.corvane.corvane",
                 "AsyncDispatcher": "orvix.utils.corvane.corvane", "AsyncQueue": "orvix.utils.corvane.corvane",
                 "ThreadedBatchDispatcher": "orvix.batch", "AsyncBatchDispatcher": "orvix.batch",
                 "Batch": "orvix.batch", "SharedRing": "orvix.shm", "SharedProducer": "orvix.shm",
                 "Feed": "orvix.feed"}
        assert set(orvix.__all__) == {"__version__", "get_cmake_dir", "get_include", *homes}
        assert set(homes) <= set(dir(orvix)) and "get_include" in dir(orvix)
        orvix.get_include()
        assert loaded() == [], loaded()
        from orvix import ThreadedDispatcher
        assert "orvix.utils.corvane.corvane" in loaded(), loaded()   # with the modules it imports itself
        assert not [m for m in loaded() if m.startswith(("orvix.batch", "orvix.shm", "orvix.feed"))], loaded()
        for name, home in homes.items():
            assert getattr(orvix, name) is getattr(importlib.import_module(home), name), name
        namespace = {}
        exec("from orvix import *", namespace)
        assert {n: namespace[n] for n in homes} == {n: getattr(orvix, n) for n in homes}
        for name in ("SPSCQueue", "batch_", "__wrapped__"):
            try:
                getattr(orvix, name)
            except AttributeError as e:
                assert str(e) == f"module 'orvix' has no attribute {name!r}", e
            else:
                raise AssertionError(name)
        try:
            from orvix import NoSuchThing
        except ImportError as e:
            assert "NoSuchThing" in str(e), e
        else:
            raise AssertionError("NoSuchThing")
    """)
    result = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
