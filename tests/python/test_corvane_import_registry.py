"""What the import of orvix.utils.corvane.corvane registers: classes and function objects."""
import asyncio
import inspect

import pytest

import orvix.utils.corvane.corvane as corvane
from corvane_helpers import check_python

MODULE = "orvix.utils.corvane.corvane"
CLASS_NAMES = ["AsyncDispatcher", "SyncDispatcher", "ThreadedDispatcher", "AsyncQueue"]
CLASSES = [getattr(corvane, name) for name in CLASS_NAMES]

# owner, key in the owner's dictionary, coroutine?, docstring, signature
FUNCTIONS = [
    ("AsyncDispatcher", "setup", False,
     "AsyncDispatcher.setup(self, str host='127.0.0.1') -> void", "(self, host='127.0.0.1')"),
    ("AsyncDispatcher", "_reader", True, "AsyncDispatcher._reader(self, loop, sock)", "(self, loop, sock)"),
    ("AsyncDispatcher", "close", False, "AsyncDispatcher.close(self) -> None", "(self) -> 'None'"),
    ("SyncDispatcher", "setup", False,
     "SyncDispatcher.setup(self, str host='127.0.0.1') -> void", "(self, host='127.0.0.1')"),
    ("SyncDispatcher", "_try_pop", False, "SyncDispatcher._try_pop(self) -> void", "(self)"),
    ("SyncDispatcher", "_try_pop_var", False, "SyncDispatcher._try_pop_var(self) -> void", "(self)"),
    ("SyncDispatcher", "close", False, "SyncDispatcher.close(self) -> void", "(self)"),
    ("ThreadedDispatcher", "setup", False, "ThreadedDispatcher.setup(self) -> void", "(self)"),
    ("ThreadedDispatcher", "close", False, "ThreadedDispatcher.close(self) -> void", "(self)"),
    ("AsyncQueue", "start_dispatcher", False, "AsyncQueue.start_dispatcher(self, callback)", "(self, callback)"),
    ("AsyncQueue", "push_buf", True, "AsyncQueue.push_buf(self, msg)", "(self, msg)"),
    ("AsyncQueue", "push_obj", True, "AsyncQueue.push_obj(self, msg)", "(self, msg)"),
    ("AsyncQueue", "push_str", True, "AsyncQueue.push_str(self, msg)", "(self, msg)"),
    ("AsyncQueue", "pop", True, "AsyncQueue.pop(self)", "(self)"),
    ("AsyncQueue", "_AsyncQueue__dispatch", True, "AsyncQueue.__dispatch(self)", "(self)"),
    ("AsyncQueue", "shutdown", True, "AsyncQueue.shutdown(self, *excinfo)", "(self, *excinfo)"),
]


def capsule_name_and_pointer(capsule):
    import ctypes
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, (ctypes.py_object,)
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, (ctypes.py_object, ctypes.c_char_p)
    return get_name(capsule), get_pointer(capsule, None)


@pytest.mark.parametrize("cls", CLASSES, ids=CLASS_NAMES)
class TestClasses:
    def test_names(self, cls):
        assert (cls.__module__, cls.__qualname__) == (MODULE, cls.__name__)
        assert getattr(corvane, cls.__name__) is cls

    def test_immutable_from_python(self, cls):
        with pytest.raises(TypeError):
            cls.extra = 1
        with pytest.raises(TypeError):
            del cls.__qvx_vtable__
        assert "extra" not in cls.__dict__

    def test_subclassable_without_instance_dict_or_weakref(self, cls):
        class Sub(cls):
            pass
        assert issubclass(Sub, cls)
        assert cls.__bases__ == (object,)
        assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
        assert cls.__flags__ & (1 << 14), "takes part in garbage collection"

    def test_publishes_its_table_as_an_unnamed_capsule(self, cls):
        capsule = cls.__dict__["__qvx_vtable__"]
        assert type(capsule).__name__ == "PyCapsule"
        name, pointer = capsule_name_and_pointer(capsule)
        assert name is None and pointer

    def test_pickling_hooks_are_its_own(self, cls):
        assert cls.__reduce__ is not object.__reduce__
        assert "__reduce__" in cls.__dict__ and "__setstate__" in cls.__dict__


def test_class_docstrings():
    assert [c.__doc__ for c in CLASSES[:3]] == [None, None, None]
    assert corvane.AsyncQueue.__doc__ == (
        "AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, bool overwrite=False, "
        "bool zerocopy=False, bool block_on_full=False)")


def test_function_objects_in_class_dictionaries_in_creation_order():
    keys = [(o, k) for o, k, *_ in FUNCTIONS]
    present = [(c.__name__, k) for c in CLASSES for k in c.__dict__ if (c.__name__, k) in keys]
    assert present == keys


@pytest.mark.parametrize("owner, key, coroutine, doc, signature", FUNCTIONS,
                         ids=[f"{o}.{k}" for o, k, *_ in FUNCTIONS])
def test_function_object(owner, key, coroutine, doc, signature):
    function = getattr(corvane, owner).__dict__[key]
    name = key.replace("_AsyncQueue__", "__")
    assert function.__module__ == MODULE
    assert function.__qualname__ == f"{owner}.{name}"
    assert function.__doc__ == doc
    assert asyncio.iscoroutinefunction(function) is coroutine
    assert inspect.iscoroutinefunction(function) is coroutine
    assert str(inspect.signature(function)) == signature
    assert function.__code__.co_filename == "orvix/utils/corvane/corvane"
    assert hasattr(type(function), "__get__"), "binds as a method"


def test_function_extras():
    c = corvane
    assert c.AsyncDispatcher.setup.__defaults__ == ("127.0.0.1",)
    assert c.SyncDispatcher.setup.__defaults__ is c.AsyncDispatcher.setup.__defaults__
    assert c.AsyncDispatcher.close.__annotations__ == {"return": "None"}
    assert c.SyncDispatcher.close.__annotations__ == {}
    assert c.AsyncQueue.pop.__defaults__ is None
    assert c.AsyncQueue.__dict__["_AsyncQueue__dispatch"].__qualname__ == "AsyncQueue.__dispatch"


def test_unpickling_function():
    function = corvane.__qvx_unpickle_AsyncQueue
    assert function.__module__ == MODULE
    assert function.__qualname__ == "__qvx_unpickle_AsyncQueue"
    assert function.__doc__ == "__qvx_unpickle_AsyncQueue(__qvx_type, long __qvx_checksum, tuple __qvx_state)"
    assert not asyncio.iscoroutinefunction(function)
    assert str(inspect.signature(function)) == "(__qvx_type, __qvx_checksum, __qvx_state)"


@pytest.mark.timeout(60)
def test_setup_does_not_add_socket_or_threading_to_the_module():
    check_python("""
        import asyncio
        import orvix.utils.corvane.corvane as c
        before = sorted(dir(c))
        async def callback(message):
            pass
        async def main():
            d = c.AsyncDispatcher(callback)
            d.setup()
            d.close()
        asyncio.run(main())
        assert "socket" in __import__("sys").modules
        assert sorted(dir(c)) == before, set(dir(c)) ^ set(before)
        assert "socket" not in before and "threading" not in before
    """)
