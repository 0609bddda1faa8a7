"""AsyncQueue: construction, argument conversion, pickling and release."""
import asyncio
import copy
import gc
import pickle
import weakref

import pytest

from orvix.ringq.ringq import SPSCQueue
from orvix.utils.corvane import corvane
from orvix.utils.corvane.corvane import AsyncQueue

unpickle = getattr(corvane, "__qvx_unpickle_AsyncQueue")
CHECKSUM = 0xE6D5D6E
NO_LOOP = "AsyncQueue must be created inside a running event loop."


class SubQueue(AsyncQueue):
    """A subclass with an instance dictionary (pickled as a seventh element)."""


def state(q):
    """The fields of q as (_callback, _lock, _loop, _notify_cond, _q, _task)."""
    reduced = q.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


def in_loop(fn):
    async def main():
        return fn()
    return asyncio.run(main())


def ring_args(q):
    """What the queue's ring was built with, as the ring reports it."""
    ring = state(q)[4]
    return ring.slot_size, ring.capacity, ring.overwrite, ring.zerocopy, ring.block_on_full


class TestConstruction:
    def test_inside_running_loop_binds_that_loop(self):
        async def main():
            q = AsyncQueue()
            callback, lock, loop, cond, ring, task = state(q)
            assert loop is asyncio.get_running_loop()
            assert isinstance(lock, asyncio.Lock) and not lock.locked()
            assert isinstance(cond, asyncio.Condition)
            assert cond._lock is lock  # one lock behind both names
            assert type(ring) is SPSCQueue
            assert ring_args(q) == (1024, 16384, False, False, False)
            assert callback is None and task is None
        asyncio.run(main())

    def test_without_running_loop(self):
        with pytest.raises(RuntimeError) as info:
            AsyncQueue()
        assert str(info.value) == NO_LOOP
        assert isinstance(info.value.__context__, RuntimeError)
        assert info.value.__cause__ is None
        assert info.value.__context__ is not info.value
        names = [e.name for e in info.traceback]
        assert "orvix.utils.corvane.corvane.AsyncQueue.__init__" in names

    def test_explicit_loop_needs_no_running_loop_and_is_not_type_checked(self):
        marker = object()
        q = AsyncQueue(marker)
        assert state(q)[2] is marker
        assert state(AsyncQueue(loop=42))[2] == 42

    def test_arguments_by_position_and_keyword(self):
        assert ring_args(AsyncQueue(1, 4096)) == (4096, 16384, False, False, False)
        assert ring_args(AsyncQueue(1, 32, 64, False, True, 1)) == (32, 64, False, True, True)
        q = AsyncQueue(loop=1, block_on_full=1, zerocopy=0, overwrite=None, capacity=64, slot_size=32)
        assert ring_args(q) == (32, 64, False, False, True)

    def test_flags_take_truth_values(self):
        assert ring_args(AsyncQueue(1, overwrite=[]))[2] is False
        assert ring_args(AsyncQueue(1, overwrite="no"))[2] is True

    @pytest.mark.parametrize("call, message", [
        (lambda: AsyncQueue(1, 2, 3, 4, 5, 6, 7),
         "__init__() takes at most 6 positional arguments (7 given)"),
        (lambda: AsyncQueue(1, size=3),
         "__init__() got an unexpected keyword argument 'size'"),
        (lambda: AsyncQueue(1, 64, slot_size=3),
         "__init__() got multiple values for keyword argument 'slot_size'"),
        (lambda: AsyncQueue(None, loop=1),
         "__init__() got multiple values for keyword argument 'loop'"),
    ])
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
        assert "orvix.utils.corvane.corvane.AsyncQueue.__init__" in [e.name for e in info.traceback]

    @pytest.mark.parametrize("value, exc, message", [
        (-1, OverflowError, "can't convert negative value to size_t"),
        ("1024", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
    ])
    def test_size_conversion_errors(self, value, exc, message):
        with pytest.raises(exc) as info:
            AsyncQueue(1, slot_size=value)
        assert str(info.value) == message
        with pytest.raises(exc):
            AsyncQueue(1, capacity=value)

    def test_size_too_large(self):
        with pytest.raises(OverflowError):
            AsyncQueue(1, 2 ** 64)

    def test_size_through_dunder_int(self):
        class Size:
            def __int__(self):
                return 64

        class Bad:
            def __int__(self):
                return "64"

        assert ring_args(AsyncQueue(1, Size(), 1024.9))[:2] == (64, 1024)
        with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type str\)$"):
            AsyncQueue(1, Bad())

    def test_flag_truth_errors_propagate(self):
        class Untruthful:
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        for name in ("overwrite", "zerocopy", "block_on_full"):
            with pytest.raises(ZeroDivisionError, match="no truth"):
                AsyncQueue(1, **{name: Untruthful()})

    def test_ring_errors_propagate_and_keep_previous_ring(self):
        q = AsyncQueue(1)
        ring = state(q)[4]
        with pytest.raises(Exception) as info:
            q.__init__(1, 0, 0)
        assert not isinstance(info.value, SystemError)
        assert state(q)[4] is ring

    def test_failed_reconstruction_keeps_loop_callback_and_task(self):
        q = AsyncQueue("loop")
        q.__setstate__(("cb",) + state(q)[1:5] + ("task",))
        before = state(q)
        with pytest.raises(RuntimeError, match=NO_LOOP):
            q.__init__()
        after = state(q)
        assert after[0] == "cb" and after[2] == "loop" and after[5] == "task"
        assert all(after[i] is not before[i] for i in (1, 3, 4))  # lock, condition, ring

class TestClass:
    def test_docstring_and_no_attributes(self):
        assert AsyncQueue.__doc__ == (
            "AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, "
            "bool overwrite=False, bool zerocopy=False, bool block_on_full=False)")
        q = AsyncQueue(1)
        for name in ("_q", "_loop", "_lock", "_notify_cond", "_callback", "_task", "__dict__"):
            assert not hasattr(q, name)
        with pytest.raises(TypeError):
            weakref.ref(q)

    def test_method_code_objects(self):
        expected = {
            "push_buf": ("self", "msg", "view", "data", "size"),
            "push_obj": ("self", "msg", "pb", "data", "size"),
            "push_str": ("self", "msg", "data", "size"),
            "pop": ("self", "data", "size"),
            "_AsyncQueue__dispatch": ("self", "data", "size"),
            "shutdown": ("self", "excinfo"),
        }
        for key, names in expected.items():
            fn = AsyncQueue.__dict__[key]
            assert asyncio.iscoroutinefunction(fn)
            assert fn.__code__.co_varnames == names
        assert AsyncQueue.__dict__["_AsyncQueue__dispatch"].__qualname__ == "AsyncQueue.__dispatch"
        assert not asyncio.iscoroutinefunction(AsyncQueue.start_dispatcher)
        assert AsyncQueue.start_dispatcher.__doc__ == "AsyncQueue.start_dispatcher(self, callback)"
        assert AsyncQueue.shutdown.__doc__ == "AsyncQueue.shutdown(self, *excinfo)"

    def test_new_gives_blank_instance_of_the_subclass(self):
        q = AsyncQueue.__new__(SubQueue)
        assert type(q) is SubQueue
        assert state(q) == (None,) * 6

    def test_release_and_collection(self):
        class Tracked:
            pass

        fields = [Tracked() for _ in range(4)]
        refs = [weakref.ref(f) for f in fields]
        q = AsyncQueue.__new__(AsyncQueue)
        q.__setstate__((*fields, None, None))
        del fields, q
        assert [r() for r in refs] == [None] * 4
        cyclic = SubQueue(1)
        cyclic.__setstate__((cyclic, None, None, None, None, None))  # _callback -> itself
        ref = weakref.ref(cyclic)
        del cyclic
        gc.collect()
        assert ref() is None


class TestPickling:
    def test_reduce_of_constructed_instance(self):
        q = AsyncQueue("loop")
        fn, args, st = q.__reduce__()
        assert fn is unpickle
        assert args == (AsyncQueue, CHECKSUM, None)
        assert st[2] == "loop" and type(st[4]) is SPSCQueue and len(st) == 6

    def test_reduce_of_blank_instance(self):
        fn, args = AsyncQueue.__new__(AsyncQueue).__reduce__()
        assert fn is unpickle
        assert args == (AsyncQueue, CHECKSUM, (None,) * 6)

    def test_round_trip(self):
        blank = pickle.loads(pickle.dumps(AsyncQueue.__new__(AsyncQueue)))
        assert type(blank) is AsyncQueue and state(blank) == (None,) * 6
        q = SubQueue.__new__(SubQueue)
        q.__setstate__(("cb", None, "loop", None, None, "task"))
        q.extra = [1, 2]
        assert q.__reduce__()[2] == ("cb", None, "loop", None, None, "task", {"extra": [1, 2]})
        back = pickle.loads(pickle.dumps(q))
        assert type(back) is SubQueue
        assert state(back)[:6] == ("cb", None, "loop", None, None, "task")
        assert back.extra == [1, 2]

    def test_copy_shares_fields(self):
        def make():
            return AsyncQueue()
        q = in_loop(make)
        c = copy.copy(q)
        assert c is not q and type(c) is AsyncQueue
        assert all(a is b for a, b in zip(state(c), state(q)))

    def test_unpickle_function(self):
        assert unpickle.__doc__ == (
            "__qvx_unpickle_AsyncQueue(__qvx_type, long __qvx_checksum, tuple __qvx_state)")
        for checksum in (0xE6D5D6E, 0x2A2F1A6, 0x7FA4A7C):
            q = unpickle(AsyncQueue, checksum, None)
            assert type(q) is AsyncQueue and state(q) == (None,) * 6
        q = unpickle(__qvx_type=SubQueue, __qvx_checksum=CHECKSUM,
                     __qvx_state=("a", None, None, None, None, "b"))
        assert type(q) is SubQueue and state(q)[0] == "a" and state(q)[5] == "b"

    def test_unpickle_errors(self):
        with pytest.raises(pickle.PickleError) as info:
            unpickle(AsyncQueue, 1, None)
        assert str(info.value) == (
            "Incompatible checksums (0x1 vs (0xe6d5d6e, 0x2a2f1a6, 0x7fa4a7c) = "
            "(_callback, _lock, _loop, _notify_cond, _q, _task))")
        with pytest.raises(TypeError) as info:
            unpickle(AsyncQueue, CHECKSUM, [None] * 6)
        assert str(info.value) == (
            "Argument '__qvx_state' has incorrect type (expected tuple, got list)")
        with pytest.raises(OverflowError):
            unpickle(AsyncQueue, 2 ** 40, None)
        with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
            unpickle(AsyncQueue, CHECKSUM)

    def test_setstate(self):
        q = AsyncQueue(1)
        assert q.__setstate__((None,) * 6) is None
        assert state(q) == (None,) * 6

    def test_setstate_refuses_a_non_queue_and_keeps_q_and_task(self):
        q = AsyncQueue(1)
        ring = state(q)[4]
        with pytest.raises(TypeError) as info:
            q.__setstate__(("cb", "lock", "loop", "cond", 5, "task"))
        assert str(info.value) == f"Cannot convert int to {SPSCQueue.__module__}.SPSCQueue" or \
            str(info.value).startswith("Cannot convert int to ")
        s = state(q)
        assert s[:4] == ("cb", "lock", "loop", "cond")
        assert s[4] is ring and s[5] is None

    def test_setstate_errors(self):
        q = AsyncQueue.__new__(AsyncQueue)
        with pytest.raises(TypeError) as info:
            q.__setstate__([None] * 6)
        assert str(info.value) == "Expected tuple, got list"
        with pytest.raises(TypeError):
            q.__setstate__(None)
        with pytest.raises(IndexError):
            q.__setstate__(("cb", "lock"))
        assert state(q)[:2] == ("cb", "lock")  # stored before the missing element
        ring = state(AsyncQueue(1))[4]
        with pytest.raises(IndexError):
            q.__setstate__(("a", "b", "c", "d", ring))  # no _task
        assert state(q) == ("a", "b", "c", "d", ring, None)  # _q came before it
        with pytest.raises(AttributeError):
            q.__setstate__((None,) * 6 + ({"x": 1},))
        q.__setstate__((None,) * 6 + ({},))  # an empty dict is not applied

    def test_setstate_updates_a_subclass_dictionary_as_dict_update_does(self):
        q = AsyncQueue.__new__(SubQueue)
        q.__setstate__((None,) * 6 + ({"x": 1},))
        q.__setstate__((None,) * 6 + ([("y", 2)],))  # pairs, as dict.update takes them
        assert q.__dict__ == {"x": 1, "y": 2}
        with pytest.raises(TypeError):
            q.__setstate__((None,) * 6 + (5,))
