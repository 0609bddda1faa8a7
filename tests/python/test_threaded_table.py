"""ThreadedDispatcher's C-level method table, called the way native code calls it."""
import ctypes
import threading
import time

import pytest

from corvane_helpers import eventually
from orvix.utils.corvane.corvane import ThreadedDispatcher

# CFUNCTYPE calls release the interpreter lock, as a native producer or reader
# thread runs without it; PYFUNCTYPE calls keep it and raise a pending error.
PUSH = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_char_p, ctypes.c_size_t)
READER = ctypes.CFUNCTYPE(None, ctypes.py_object)
OVERRIDABLE = ctypes.PYFUNCTYPE(None, ctypes.py_object, ctypes.c_int)


def table():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = (ctypes.py_object, ctypes.c_char_p)
    slots = (ctypes.c_void_p * 6).from_address(get(ThreadedDispatcher.__dict__["__qvx_vtable__"], None))
    return {
        "push": PUSH(slots[0]), "push_var": PUSH(slots[1]),
        "_reader": READER(slots[2]), "_reader_var": READER(slots[3]),
        "setup": OVERRIDABLE(slots[4]), "close": OVERRIDABLE(slots[5]),
    }


T = table()


def test_push_entries_return_the_rings_result():
    d = ThreadedDispatcher(print, capacity=2, slot_size=8)
    assert T["push"](d, b"12345678", 8) == 1
    assert T["push"](d, b"123456789", 9) == -1     # larger than a slot
    assert T["push_var"](d, b"x", 1) == -3         # the ring is in fixed-size mode
    T["close"](d, 0)
    assert T["push"](d, b"x", 1) == -2             # closed


@pytest.mark.timeout(60)
def test_overridable_entries_call_a_subclass_method_unless_skipped():
    calls = []

    class Sub(ThreadedDispatcher):
        def setup(self):
            calls.append("setup")

        def close(self):
            calls.append("close")
            raise LookupError("from close")

    d = Sub(print)
    T["setup"](d, 0)
    assert calls == ["setup"]
    with pytest.raises(LookupError) as info:
        T["close"](d, 0)
    assert info.traceback[-1].name == "close"
    assert calls == ["setup", "close"]
    T["setup"](d, 1)   # the class's own: starts the reader
    with pytest.raises(RuntimeError):
        T["setup"](d, 1)
    T["close"](d, 1)
    assert calls == ["setup", "close"]


@pytest.mark.parametrize("variable", [False, True], ids=["fixed", "variable"])
@pytest.mark.timeout(60)
def test_the_reader_entry_runs_on_the_calling_thread(variable):
    got = []
    d = ThreadedDispatcher(got.append, variable_size=variable)
    push = T["push_var" if variable else "push"]
    reader = threading.Thread(target=T["_reader_var" if variable else "_reader"], args=(d,))
    reader.start()
    for i in range(100):
        assert push(d, b"m%d" % i, len(b"m%d" % i)) == 1
    deadline = time.monotonic() + 20
    while len(got) < 100 and time.monotonic() < deadline:
        time.sleep(0.005)
    assert got == [b"m%d" % i for i in range(100)]
    with pytest.raises(RuntimeError) as info:   # one consumer per ring
        d.setup()
    assert str(info.value) == "the reader thread of this ThreadedDispatcher is already running"
    d.close()
    reader.join(20)
    assert not reader.is_alive()


def collector_clear():
    """The type's tp_clear, as the garbage collector calls it on a cycle."""
    slots = (ctypes.c_ssize_t * 25).from_address(id(ThreadedDispatcher))
    assert slots[4] == ThreadedDispatcher.__basicsize__ and slots[21] == ThreadedDispatcher.__flags__
    return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(slots[24])


@pytest.mark.timeout(60)
def test_a_cleared_dispatcher_leaves_the_ring_alone():
    import gc
    from test_threaded_dispatcher import readers_gone, settled_threads

    threads = settled_threads()
    got = []
    d = ThreadedDispatcher(got.append)
    d.setup()
    ring = gc.get_referents(d)[0]
    assert collector_clear()(d) == 0
    assert gc.get_referents(d) == [None, None]
    assert ring.closed            # the reader was let go ...
    assert readers_gone(threads)  # ... and has ended
    assert T["push"](d, b"late", 4) == -2
    assert d.close() is None
    assert d.setup() is None
    del d
    assert got == []


def pushing(d, message, variable):
    """Pushes `message` through the table on a thread of its own; returns the thread and its result list."""
    push = T["push_var" if variable else "push"]
    result = []
    thread = threading.Thread(target=lambda: result.append(push(d, message, len(message))), daemon=True)
    thread.start()
    return thread, result


@pytest.mark.parametrize("variable", [False, True], ids=["fixed", "variable"])
@pytest.mark.timeout(60)
def test_a_blocking_push_waits_only_while_a_reader_runs(variable):
    from test_threaded_dispatcher import unraisable_reports

    release = threading.Event()
    calls = []

    def callback(message):
        calls.append(message)
        if len(calls) == 1:
            raise ValueError("the reader stops")
        release.wait(30)

    d = ThreadedDispatcher(callback, capacity=4, slot_size=8, block_on_full=True, variable_size=variable)
    with unraisable_reports() as reports:
        d.setup()
        thread, result = pushing(d, b"first", variable)
        thread.join(10)
        assert result == [1]
        assert eventually(lambda: reports) and d.stats()["reader"] == "stopped"
    # Nothing can make room now: once the ring is full a push is refused at
    # once (and counted) instead of waiting.
    results = []
    while not results or results[-1] == 1:
        thread, result = pushing(d, b"m%d" % len(results), variable)
        thread.join(10)
        assert result, f"push {len(results)} still waits with no reader to make room"
        results += result
    assert results[-1] == 0 and d.stats()["refused"] == 1

    d.setup()   # a reader again, held in the callback: a push into the full ring waits ...
    refused = d.stats()["refused"]
    for attempt in range(4):
        thread, result = pushing(d, b"last%d" % attempt, variable)
        thread.join(0.3)
        if thread.is_alive():
            break
        assert result == [1]   # the room the new reader made
    else:
        pytest.fail("no push waited for room")
    release.set()              # ... until the reader makes room
    thread.join(10)
    assert result == [1] and d.stats()["refused"] == refused
    d.close()
