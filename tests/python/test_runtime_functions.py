"""The runtime's function type, argument binding, conversions and error
reporting, through the test module ``coro_probe``."""
import asyncio
import inspect
import pickle
import pydoc
import sys

import pytest

import coro_probe as probe


def messages(call, *cases):
    out = []
    for args, kwargs in cases:
        with pytest.raises(TypeError) as info:
            call(*args, **kwargs)
        out.append(str(info.value))
    return out


# ---- binding -------------------------------------------------------------------------

def test_binding_by_position_keyword_and_default():
    assert probe.bind(1) == (1, 2, 3)
    assert probe.bind(1, 5) == (1, 5, 3)
    assert probe.bind(c=9, a=1) == (1, 2, 9)
    assert probe.bind(1, c=4, b=0) == (1, 0, 4)


def test_binding_messages():
    assert messages(probe.bind, ((), {}), ((1, 2, 3, 4), {}), ((1,), {"a": 2}),
                    ((1,), {"zz": 2}), ((), {"b": 1}), ((), {"c": 1, "b": 2})) == [
        "bind() takes at least 1 positional argument (0 given)",
        "bind() takes at most 3 positional arguments (4 given)",
        "bind() got multiple values for keyword argument 'a'",
        "bind() got an unexpected keyword argument 'zz'",
        "bind() takes at least 1 positional argument (0 given)",
        "bind() takes at least 1 positional argument (0 given)"]
    p = probe.Probe()
    assert messages(p.setup, (("a", "b"), {}), ((), {"port": 1})) == [
        "setup() takes at most 1 positional argument (2 given)",
        "setup() got an unexpected keyword argument 'port'"]
    assert messages(p.pop, ((1,), {})) == ["pop() takes exactly 0 positional arguments (1 given)"]
    assert messages(probe.to_size, ((1, 2), {}), ((), {})) == [
        "to_size() takes exactly 1 positional argument (2 given)",
        "to_size() takes exactly 1 positional argument (0 given)"]


def test_binding_from_tuple_and_dict():
    assert probe.bind_tuple((1,), None) == (1, 2, 3)
    assert probe.bind_tuple((1,), {"c": 7}) == (1, 2, 7)
    assert messages(probe.bind_tuple, (((), {}), {}), (((1,), {1: 2}), {}),
                    (((1,), {"a": 2}), {}), (((1, 2, 3, 4), None), {})) == [
        "bind_tuple() takes at least 1 positional argument (0 given)",
        "bind_tuple() keywords must be strings",
        "bind_tuple() got multiple values for keyword argument 'a'",
        "bind_tuple() takes at most 3 positional arguments (4 given)"]


def test_varargs_collects_extra_positionals():
    c = probe.collect(1, 2, 3)
    with pytest.raises(StopIteration) as info:
        c.send(None)
    assert info.value.value == (1, 2, 3)
    assert messages(probe.collect, ((), {"x": 1})) == [
        "collect() got an unexpected keyword argument 'x'"]
    p = probe.Probe()
    c = p._Probe__dispatch(ValueError, None, None)
    with pytest.raises(StopIteration) as info:
        c.send(None)
    assert info.value.value == (p, (ValueError, None, None))


def test_argument_type_check():
    p = probe.Probe()
    assert p.setup(None) == (p, None)
    with pytest.raises(TypeError, match=r"^Argument 'host' has incorrect type \(expected str, got int\)$"):
        p.setup(5)

    class Text(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got Text"):
        p.setup(Text("x"))  # exact type demanded


# ---- methods -------------------------------------------------------------------------------

def test_binds_as_a_method():
    p = probe.Probe()
    fn = probe.Probe.__dict__["setup"]
    assert probe.Probe.setup is fn
    bound = p.setup
    assert bound.__self__ is p and bound.__func__ is fn
    assert p.setup() == (p, "127.0.0.1")
    assert probe.Probe.setup(p, "h") == (p, "h")
    assert fn.__get__(None, probe.Probe) is fn


def test_self_is_checked():
    with pytest.raises(TypeError) as info:
        probe.Probe.setup(5)
    assert str(info.value) == ("descriptor 'setup' for 'coro_probe.Probe' objects doesn't apply "
                               "to a 'int' object")
    with pytest.raises(TypeError) as info:
        probe.Probe.setup()
    assert str(info.value) == "unbound method coro_probe.Probe.setup() needs an argument"

    class Sub(probe.Probe):
        pass

    s = Sub()
    assert s.setup("x") == (s, "x")


# ---- introspection ----------------------------------------------------------------

def test_attributes():
    fn = probe.Probe.setup
    assert (fn.__name__, fn.__qualname__, fn.__module__) == ("setup", "Probe.setup", "coro_probe")
    assert fn.__doc__ == "Probe.setup(self, str host='127.0.0.1')"
    assert fn.__defaults__ == ("127.0.0.1",) and fn.__kwdefaults__ is None
    assert fn.__annotations__ == {}
    assert repr(fn).startswith("<function Probe.setup at 0x")
    dispatch = probe.Probe.__dict__["_Probe__dispatch"]
    assert (dispatch.__name__, dispatch.__qualname__) == ("_Probe__dispatch", "Probe.__dispatch")


def test_code_object():
    code = probe.Probe.setup.__code__
    assert code.co_argcount == 2 and code.co_varnames == ("self", "host")
    assert code.co_filename == "coro_probe.cpp" and code.co_firstlineno == 40
    assert code.co_name == "setup" and code.co_qualname == "Probe.setup"
    assert not code.co_flags & inspect.CO_COROUTINE
    code = probe.Probe.pop.__code__
    assert code.co_argcount == 1 and code.co_varnames == ("self", "data", "size")
    assert code.co_nlocals == 3
    code = probe.Probe.__dict__["_Probe__dispatch"].__code__
    assert code.co_argcount == 1 and code.co_varnames == ("self", "excinfo")
    assert code.co_flags & inspect.CO_COROUTINE and code.co_flags & inspect.CO_VARARGS


def test_signature_and_coroutine_marking():
    assert str(inspect.signature(probe.bind)) == "(a, b=2, c=3)"
    assert str(inspect.signature(probe.Probe.setup)) == "(self, host='127.0.0.1')"
    assert str(inspect.signature(probe.Probe().setup)) == "(host='127.0.0.1')"
    assert str(inspect.signature(probe.collect)) == "(*excinfo)"
    for fn in (probe.identity, probe.Probe.pop, probe.Probe().pop, probe.collect):
        assert asyncio.iscoroutinefunction(fn) and inspect.iscoroutinefunction(fn)
    for fn in (probe.bind, probe.Probe.setup, probe.Probe().setup):
        assert not asyncio.iscoroutinefunction(fn) and not inspect.iscoroutinefunction(fn)


def test_help_renders():
    text = pydoc.render_doc(probe.Probe, renderer=pydoc.plaintext)
    assert "setup(self, host='127.0.0.1')" in text
    assert "Probe.setup(self, str host='127.0.0.1')" in text
    assert "async pop(self)" in text


def test_settable_attributes():
    fn = probe.make_closure(None)
    fn.__annotations__ = {"return": "None"}
    assert fn.__annotations__ == {"return": "None"}
    fn.__doc__ = "changed"
    assert fn.__doc__ == "changed"
    with pytest.raises(TypeError):
        fn.__defaults__ = [1]
    with pytest.raises(TypeError):
        fn.__name__ = None
    with pytest.raises(AttributeError):
        fn.__code__ = probe.bind.__code__
    with pytest.raises(TypeError):
        type(fn)()


def test_defaults_take_effect():
    fn = probe.make_closure(None)  # any function: defaults are the function's own
    assert fn.__defaults__ is None
    saved = probe.bind.__defaults__
    try:
        probe.bind.__defaults__ = (20, 30)
        assert probe.bind(1) == (1, 20, 30)
        probe.bind.__defaults__ = None
        with pytest.raises(TypeError, match=r"^bind\(\) takes exactly 3 positional arguments \(1 given\)$"):
            probe.bind(1)
    finally:
        probe.bind.__defaults__ = saved


def test_pickles_by_reference():
    assert pickle.loads(pickle.dumps(probe.bind)) is probe.bind


def test_closure_data():
    token = object()
    fn = probe.make_closure(token)
    assert fn.__qualname__ == "close.<locals>._finalize"
    c = fn()
    with pytest.raises(StopIteration) as info:
        c.send(None)
    assert info.value.value is token


# ---- conversions ------------------------------------------------------------------------

class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class MyInt(int):
    pass


def overflow(call, value):
    with pytest.raises(OverflowError) as info:
        call(value)
    return str(info.value)


def test_size_conversion():
    assert probe.to_size(0) == 0 and probe.to_size(2**64 - 1) == 2**64 - 1
    assert probe.to_size(True) == 1 and probe.to_size(MyInt(5)) == 5
    assert probe.to_size(3.9) == 3 and probe.to_size(IntLike(7)) == 7
    assert overflow(probe.to_size, -1) == "can't convert negative value to size_t"
    assert overflow(probe.to_size, -2**70) == "can't convert negative value to size_t"
    assert overflow(probe.to_size, 2**64) == "int too big to convert"
    assert overflow(probe.to_size, -1.5) == "can't convert negative value to size_t"
    with pytest.raises(TypeError, match=r"^an integer is required$"):
        probe.to_size("3")
    with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type str\)$"):
        probe.to_size(IntLike("x"))
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type MyInt\)"):
        assert probe.to_size(IntLike(MyInt(4))) == 4
    with pytest.raises(OverflowError):
        probe.to_size(float("inf"))
    with pytest.raises(ValueError):
        probe.to_size(float("nan"))


def test_narrow_and_signed_conversions():
    assert probe.to_uint16(65535) == 65535
    assert overflow(probe.to_uint16, 65536) == "value too large to convert to uint16_t"
    assert overflow(probe.to_uint16, -1) == "can't convert negative value to uint16_t"
    assert overflow(probe.to_uint16, 2**80) == "int too big to convert"
    assert probe.to_socket(2**64 - 1) == 2**64 - 1
    assert overflow(probe.to_socket, -1) == "can't convert negative value to PLATFORM_SOCKET"
    assert probe.to_int32(-2**31) == -2**31 and probe.to_int32(2**31 - 1) == 2**31 - 1
    assert overflow(probe.to_int32, 2**31) == "value too large to convert to int"
    assert overflow(probe.to_int32, -2**31 - 1) == "value too large to convert to int"
    assert probe.to_int32(IntLike(-3)) == -3


def test_flag_conversion():
    class Bad:
        def __bool__(self):
            raise KeyError("truth")

    assert [probe.to_flag(v) for v in (True, False, None, 0, 2, "", "x", [], [0])] == [
        1, 0, 0, 0, 1, 0, 1, 0, 1]
    with pytest.raises(KeyError):
        probe.to_flag(Bad())


# ---- errors ----------------------------------------------------------------------------------

def entries(tb):
    out = []
    while tb:
        code = tb.tb_frame.f_code
        out.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out


def test_traceback_entry_is_added_and_cached():
    for _ in range(2):
        error = ValueError("x")
        with pytest.raises(ValueError) as info:
            probe.fail_with_entry(error, "pkg.mod.Cls.meth", 77)
        assert info.value is error
        # innermost last: the added entry, then the function's own
        assert entries(info.tb)[-2:] == [("coro_probe.fail_with_entry", "coro_probe.cpp", 27),
                                         ("pkg.mod.Cls.meth", "coro_probe.cpp", 77)]


def test_failed_call_gains_the_qualified_entry():
    with pytest.raises(TypeError) as info:
        probe.Probe().setup(1)
    assert entries(info.tb)[-1] == ("coro_probe.Probe.setup", "coro_probe.cpp", 40)


@pytest.mark.parametrize("exc", [KeyError("k"), SystemExit(3)])
def test_unraisable_report(exc, monkeypatch):
    printed, hooked = [], []
    monkeypatch.setattr(sys, "excepthook", lambda *a: printed.append(a[1]))
    monkeypatch.setattr(sys, "unraisablehook", lambda u: hooked.append((u.exc_value, u.object)))
    probe.unraisable(exc, "pkg.mod.Cls.__dealloc__")
    assert hooked == [(exc, "pkg.mod.Cls.__dealloc__")]
    if isinstance(exc, SystemExit):
        assert printed == []  # printed without going through the exiting path
    else:
        assert printed == [exc]
