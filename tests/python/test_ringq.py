"""SPSCQueue from Python: construction, the Python API, and the C-level table."""
import ctypes
import pickle
import subprocess
import sys
import threading
import time
from collections import deque

import pytest
from hypothesis import given, settings, strategies as st

from orvix.ringq import ringq
from orvix.ringq.ringq import SPSCQueue


# ---- construction -----------------------------------------------------------

def test_import_is_warning_free():
    subprocess.run([sys.executable, "-W", "error", "-c", "import orvix.ringq.ringq"], check=True, timeout=60)


def test_defaults_and_repr():
    q = SPSCQueue()
    assert (q.slot_size, q.capacity, q.overwrite, q.zerocopy, q.block_on_full) == (1024, 16384, False, False, False)
    assert repr(q) == ("SPSCQueue(slot_size=1024, capacity=16384, overwrite=False, zerocopy=False, "
                       "block_on_full=False)")
    assert (len(q), q.closed, q.dropped, q.refused) == (0, False, 0, 0)


def test_parameters_by_position_and_keyword():
    q = SPSCQueue(64, 100, True, True, True)  # as AsyncQueue calls it
    assert (q.slot_size, q.capacity, q.overwrite, q.zerocopy, q.block_on_full) == (64, 128, True, True, True)
    q = SPSCQueue(zerocopy=False, overwrite=True, capacity=16384, slot_size=2048, block_on_full=False)
    assert (q.slot_size, q.capacity, q.overwrite) == (2048, 16384, True)
    assert SPSCQueue(overwrite=[]).overwrite is False
    assert SPSCQueue(overwrite="no").overwrite is True
    assert SPSCQueue(slot_size=10.9).slot_size == 10  # through __int__, as the dispatchers convert


def test_large_default_rings_cost_no_memory_up_front():
    rings = [SPSCQueue(slot_size=2048, capacity=16384) for _ in range(64)]  # 2 GiB if touched
    assert all(r.push(b"x") for r in rings)


@pytest.mark.parametrize("args, kwargs, error, text", [
    ((0,), {}, ValueError, "slot_size must be at least 1"),
    ((8, 0), {}, ValueError, "capacity must be at least 1"),
    ((-1,), {}, OverflowError, "can't convert negative value to size_t"),
    ((2 ** 64,), {}, OverflowError, None),
    ((2 ** 40, 2 ** 40), {}, OverflowError, "slot_size * capacity is too large"),
    ((2 ** 62, 2), {}, OverflowError, "too large"),
    ((2 ** 40, 2 ** 20), {}, MemoryError, "cannot allocate a ring of 1048576 slots of 1099511627776 bytes"),
    (("8",), {}, TypeError, None),
    ((None,), {}, TypeError, None),
    ((1, 2, 3, 4, 5, 6), {}, TypeError, "at most 5 arguments"),
    ((), {"size": 3}, TypeError, "size"),
    ((8,), {"slot_size": 8}, TypeError, "slot_size"),
])
def test_construction_errors(args, kwargs, error, text):
    with pytest.raises(error) as info:
        SPSCQueue(*args, **kwargs)
    if text:
        assert text in str(info.value)


# ---- the interface other modules rely on ------------------------------------

def _capsule_pointer(capsule):
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    assert get_name(capsule) is None  # an unnamed capsule
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return get_pointer(capsule, None)


def test_instance_size_and_method_table():
    assert SPSCQueue.__basicsize__ == 232
    pointer = _capsule_pointer(SPSCQueue.__dict__["__qvx_vtable__"])
    q = SPSCQueue()
    # The table pointer sits right after the 16-byte object header.
    assert ctypes.c_void_p.from_address(id(q) + 16).value == pointer


class _VTable(ctypes.Structure):
    _push = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t)
    _pop = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p),
                            ctypes.POINTER(ctypes.c_size_t))
    _plain = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
    _fields_ = [("push_notify", _push), ("push", _push), ("push_var_notify", _push), ("push_var", _push),
                ("size", ctypes.CFUNCTYPE(ctypes.c_size_t, ctypes.c_void_p)), ("wait_front", _pop),
                ("pop_front", _plain), ("try_pop", _pop), ("wait_pop_var", _pop), ("try_pop_var", _pop),
                ("close", _plain)]


class NativeView:
    """Calls a queue through its C-level table, as a native producer does (ctypes drops the GIL)."""

    def __init__(self, q):
        self.q, self.addr = q, id(q)
        self.vt = _VTable.from_address(_capsule_pointer(type(q).__qvx_vtable__))

    def push(self, entry, data):
        return getattr(self.vt, entry)(self.addr, data, len(data))

    def pop(self, entry):
        data, size = ctypes.c_void_p(), ctypes.c_size_t()
        result = getattr(self.vt, entry)(self.addr, ctypes.byref(data), ctypes.byref(size))
        return result, (ctypes.string_at(data.value, size.value) if result == 1 else None)

    def __getattr__(self, name):
        entry = getattr(self.vt, name)
        return lambda: entry(self.addr)


def test_table_results():
    q = SPSCQueue(8, 2)
    n = NativeView(q)
    assert n.push("push", b"123456789") == ringq.RESULT_TOO_LARGE == -1
    assert n.push("push", b"a") == ringq.RESULT_STORED == 1
    assert n.push("push_notify", b"b") == 1
    assert n.push("push", b"c") == ringq.RESULT_FULL == 0
    assert n.push("push_var", b"c") == ringq.RESULT_WRONG_MODE == -3
    assert n.size() == 2 == len(q)
    assert n.pop("wait_front") == (1, b"a")
    assert n.pop("wait_front") == (1, b"a")  # still the head
    n.pop_front()
    assert n.pop("try_pop") == (1, b"b")
    assert n.pop("try_pop") == (0, None)
    n.close()
    assert q.closed
    assert n.pop("wait_front") == (ringq.RESULT_CLOSED, None)
    assert n.push("push_notify", b"x") == ringq.RESULT_CLOSED == -2


@pytest.mark.timeout(30)
@pytest.mark.parametrize("variable", [False, True])
def test_native_reader_thread_gets_everything_then_ends_on_close(variable, scale):
    q = SPSCQueue(slot_size=32, capacity=64, block_on_full=True)
    n = NativeView(q)
    count = 20000 // scale
    got = []

    def reader():  # the ThreadedDispatcher's loop
        while True:
            result, data = n.pop("wait_pop_var" if variable else "wait_front")
            if result != 1:
                got.append(result)
                return
            got.append(data)
            if not variable:
                n.pop_front()

    t = threading.Thread(target=reader)
    t.start()
    for i in range(count):  # the ring is smaller than the burst: the pushes wait for room
        assert n.push("push_var_notify" if variable else "push_notify", b"%d" % i) == 1
    while len(q):
        time.sleep(0.001)
    n.close()
    t.join(10)
    assert not t.is_alive()
    assert got == [b"%d" % i for i in range(count)] + [ringq.RESULT_CLOSED]
    assert q.refused == 0


@pytest.mark.timeout(30)
def test_close_releases_a_blocked_native_producer():
    q = SPSCQueue(slot_size=8, capacity=1, block_on_full=True)
    n = NativeView(q)
    assert n.push("push_notify", b"a") == 1
    assert q.push(b"c") is False  # a Python push never waits, even with block_on_full
    results = []
    t = threading.Thread(target=lambda: results.append(n.push("push_notify", b"b")))
    t.start()
    t.join(0.05)
    assert t.is_alive()
    q.close()
    t.join(10)
    assert results == [ringq.RESULT_CLOSED]


# ---- the Python API ---------------------------------------------------------

def test_push_and_pop_bytes_like_objects():
    q = SPSCQueue(slot_size=16, capacity=8)
    for message in (b"bytes", bytearray(b"bytearray"), memoryview(b"view"), b"", memoryview(b"abcdef")[1:4]):
        assert q.push(message) is True
    assert [q.pop() for _ in range(6)] == [b"bytes", b"bytearray", b"view", b"", b"bcd", None]


def test_bad_messages():
    q = SPSCQueue(slot_size=4, capacity=2)
    with pytest.raises(TypeError):
        q.push("text")
    with pytest.raises(TypeError):
        q.push(None)
    with pytest.raises(BufferError):
        q.push(memoryview(b"abcdef")[::2])
    with pytest.raises(ValueError, match=r"a message of 5 bytes is larger than slot_size \(4\)"):
        q.push(b"12345")
    v = SPSCQueue(slot_size=4, capacity=2)
    with pytest.raises(ValueError, match="larger than the largest variable-size record"):
        v.push_var(bytes(v.max_var_size + 1))
    with pytest.raises(TypeError):
        q.pop(1)


def test_first_use_fixes_the_mode():
    q = SPSCQueue(slot_size=8, capacity=4)
    assert q.pop() is None
    with pytest.raises(RuntimeError, match="fixed-size messages: use push"):
        q.push_var(b"x")
    with pytest.raises(RuntimeError, match="fixed-size messages"):
        q.pop_var()
    v = SPSCQueue(slot_size=8, capacity=64)
    assert v.push_var(b"x" * 100) is True  # records are not bound by slot_size
    with pytest.raises(RuntimeError, match="variable-size messages: use push_var"):
        v.push(b"x")
    assert v.pop_var() == b"x" * 100


def test_full_queue_refuses_and_counts():
    q = SPSCQueue(slot_size=8, capacity=2)
    assert [q.push(b"%d" % i) for i in range(4)] == [True, True, False, False]
    assert (len(q), q.refused, q.dropped) == (2, 2, 0)
    assert q.pop() == b"0"
    assert q.push(b"4") is True
    assert [q.pop(), q.pop(), q.pop()] == [b"1", b"4", None]


@pytest.mark.parametrize("zerocopy", [False, True])
def test_overwrite_drops_the_oldest(zerocopy):
    q = SPSCQueue(slot_size=8, capacity=4, overwrite=True, zerocopy=zerocopy)
    assert all(q.push(b"%d" % i) for i in range(10))
    assert (len(q), q.dropped, q.refused) == (4, 6, 0)
    assert [q.pop() for _ in range(5)] == [b"6", b"7", b"8", b"9", None]


def test_close_stops_pushes_but_pops_drain():
    q = SPSCQueue(slot_size=8, capacity=4)
    q.push(b"a")
    q.close()
    q.close()  # twice is fine
    with pytest.raises(RuntimeError, match="closed"):
        q.push(b"b")
    assert (q.closed, q.pop(), q.pop()) == (True, b"a", None)


def test_subclass_and_pickling():
    class Sub(SPSCQueue):
        def twice(self, m):
            return self.push(m) and self.push(m)

    s = Sub(8, 4)
    assert s.twice(b"x") and len(s) == 2
    assert repr(s).startswith("Sub(slot_size=8")
    assert NativeView(s).pop("try_pop") == (1, b"x")
    with pytest.raises(TypeError):
        pickle.dumps(SPSCQueue())
    with pytest.raises(AttributeError):
        SPSCQueue().capacity = 3
    with pytest.raises(TypeError):
        SPSCQueue.push = None


# ---- random operation sequences against a model ------------------------------

class FixedModel:
    def __init__(self, q):
        self.items = deque(maxlen=q.capacity if q.overwrite else None)
        self.q = q

    def push(self, data):
        if len(data) > self.q.slot_size:
            return ValueError
        if not self.q.overwrite and len(self.items) == self.q.capacity:
            return False
        self.items.append(data)
        return True


class VariableModel:
    """The byte ring: 8-byte headers, 8-byte padding, the end of a lap skipped."""

    def __init__(self, q):
        self.ring_bytes = 2 * (q.max_var_size + 8)
        self.head = self.tail = 0
        self.items = deque()  # (end position, data)
        self.q = q

    def push(self, data):
        if len(data) > self.q.max_var_size:
            return ValueError
        record = 8 + (len(data) + 7) // 8 * 8
        left = self.ring_bytes - self.tail % self.ring_bytes
        need = record if record <= left else left + record
        while self.tail + need - self.head > self.ring_bytes:
            if not self.q.overwrite:
                return False
            self.head = self.items.popleft()[0]
        self.tail += need
        self.items.append((self.tail, data))
        return True

    def pop(self):
        end, data = self.items.popleft()
        self.head = end
        return data


@settings(max_examples=150, deadline=None)
@given(variable=st.booleans(), overwrite=st.booleans(), zerocopy=st.booleans(),
       slot_size=st.integers(1, 40), capacity=st.integers(1, 9),
       ops=st.lists(st.one_of(st.binary(max_size=90), st.none()), max_size=120))
def test_random_operations_match_a_model(variable, overwrite, zerocopy, slot_size, capacity, ops):
    q = SPSCQueue(slot_size, capacity, overwrite, zerocopy)
    model = VariableModel(q) if variable else FixedModel(q)
    push, pop = (q.push_var, q.pop_var) if variable else (q.push, q.pop)
    dropped = 0
    for op in ops:
        if op is None:
            expected = (model.pop() if variable else model.items.popleft()) if model.items else None
            assert pop() == expected
        else:
            before = len(model.items)
            expected = model.push(op)
            if expected is ValueError:
                with pytest.raises(ValueError):
                    push(op)
                continue
            assert push(op) is expected
            dropped += before + (1 if expected else 0) - len(model.items)
        assert len(q) == len(model.items)
        assert q.dropped == dropped
