"""AsyncQueue in a running event loop: producers, pop(), the dispatch task, shutdown."""
import asyncio
import gc
import sys
import types
import warnings
import weakref

import pytest
import uvloop

from orvix.utils.corvane.corvane import AsyncQueue

pytestmark = pytest.mark.timeout(30)


@pytest.fixture(params=["asyncio", "uvloop"])
def run(request):
    """Runs a coroutine function to completion in a fresh loop of the given kind."""
    factory = uvloop.new_event_loop if request.param == "uvloop" else asyncio.new_event_loop

    def runner(fn, *args):
        with asyncio.Runner(loop_factory=factory) as r:
            return r.run(asyncio.wait_for(fn(*args), 10))
    return runner


def fields(q):
    """(_callback, _lock, _loop, _notify_cond, _q, _task) of a constructed queue."""
    return q.__reduce__()[2]


def with_counted_condition(q, lock, cond):
    """Gives q the condition `cond` on `lock`; returns a list that gets an item for
    each call of cond.acquire() (what Condition.__aenter__ and wait() call)."""
    acquired, acquire = [], cond.acquire

    async def counting_acquire():
        acquired.append(1)
        return await acquire()

    cond.acquire = counting_acquire
    callback, _, loop, _, ring, task = fields(q)
    q.__setstate__((callback, lock, loop, cond, ring, task))
    return acquired


def lock_of(q):
    return fields(q)[1]


def finish_now(coro):
    """Runs a coroutine's first step; asserts that it finished there and returns its value."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    coro.close()
    raise AssertionError("the coroutine suspended")


async def settle(n=5):
    for _ in range(n):
        await asyncio.sleep(0)


class TestProducers:
    def test_push_methods_are_coroutines_that_store_and_return_none(self, run):
        async def main():
            q = AsyncQueue()
            assert asyncio.iscoroutinefunction(AsyncQueue.push_buf)
            coro = q.push_buf(b"abc")
            assert coro.__qualname__ == "AsyncQueue.push_buf" and coro.__name__ == "push_buf"
            assert finish_now(coro) is None  # free lock: no suspension at all
            assert await q.push_obj(bytearray(b"obj")) is None
            assert await q.push_str("strß") is None
            assert await q.push_buf(msg=memoryview(b"xkw")[1:]) is None
            return [await q.pop() for _ in range(4)]
        assert run(main) == [b"abc", b"obj", "strß".encode(), b"kw"]

    def test_argument_errors_at_call_time(self, run):
        async def main():
            q = AsyncQueue()
            for name in ("push_buf", "push_obj", "push_str"):
                method = getattr(q, name)
                with pytest.raises(TypeError) as info:
                    method()
                assert str(info.value) == f"{name}() takes exactly 1 positional argument (0 given)"
                with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
                    method(b"a", b"b")
                with pytest.raises(TypeError, match=f"^{name}\\(\\) got an unexpected keyword argument 'm'$"):
                    method(m=b"a")
                with pytest.raises(TypeError, match="got multiple values for keyword argument 'msg'"):
                    method(b"a", msg=b"b")
        run(main)

    def test_conversion_errors_raise_from_the_await(self, run):
        async def main():
            q = AsyncQueue()
            with pytest.raises(TypeError) as info:
                await q.push_str(b"not a str")
            assert "push_str" in [e.name for e in info.traceback]
            with pytest.raises((TypeError, BufferError)):
                await q.push_buf(12)
            with pytest.raises(TypeError):
                await q.push_obj(12.5)
            assert await q.push_obj(None) is None  # nothing to push
            await q.push_buf(b"after")
            return await q.pop()
        assert run(main) == b"after"

    def test_unawaited_push_pushes_nothing_and_warns(self, run):
        async def main():
            q = AsyncQueue()
            for _ in range(2):  # a reused coroutine object warns again
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    coro = q.push_buf(b"lost")
                    del coro
                    gc.collect()
                assert [(w.category, str(w.message)) for w in caught] == [
                    (RuntimeWarning, "coroutine 'AsyncQueue.push_buf' was never awaited")]
            await q.push_buf(b"kept")
            return await q.pop()
        assert run(main) == b"kept"

    def test_buffer_export_held_until_the_coroutine_ends(self, run):
        async def main():
            q = AsyncQueue()
            lock = lock_of(q)
            data = bytearray(b"held")
            view = memoryview(data)
            await lock.acquire()  # the producer will suspend in __aenter__
            coro = q.push_buf(view)
            task = asyncio.ensure_future(coro)
            await settle()
            assert not task.done()
            with pytest.raises(BufferError):
                view.release()
            lock.release()
            await task
            view.release()  # the producer's export is gone even though coro lives on
            data.extend(b"!")
            return await q.pop()
        assert run(main) == b"held"

    # A bytearray takes the whole body; bytes and str are pushed in the first
    # step, which hands the wake-up under the lock to a body of its own.
    @pytest.mark.parametrize("method,make", [("push_buf", lambda: bytearray(b"m")), ("push_buf", lambda: b"m"),
                                             ("push_obj", lambda: b"m"), ("push_str", lambda: "m")])
    def test_cancelled_producer_keeps_its_message(self, run, method, make):
        async def main():
            q = AsyncQueue()
            lock = lock_of(q)
            data = make()
            await lock.acquire()
            task = asyncio.ensure_future(getattr(q, method)(data))
            await settle()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            if isinstance(data, bytearray):
                data.append(1)  # view released on the cancellation path too
            lock.release()
            return await q.pop()
        assert run(main) == b"m"

    def test_cycle_through_the_held_buffer_export_is_collected(self, run):
        class Exporter:
            def __init__(self, source):
                self.source = source

            def __buffer__(self, flags):
                return memoryview(self.source)

        async def main():
            q = AsyncQueue()
            lock = lock_of(q)
            await lock.acquire()
            inner = Exporter(bytearray(b"cycle"))
            outer = Exporter(inner)
            coro = q.push_buf(outer)
            coro.send(None)  # pushed, now suspended in __aenter__, holding the export
            # The coroutine reaches `inner` only through its buffer view:
            # its export of `outer` holds a memoryview of `inner`.
            outer.source = None
            inner.coro = coro
            gone = weakref.ref(inner)
            del coro, inner, outer
            gc.collect()
            assert gone() is None
            lock.release()
            return await q.pop()
        assert run(main) == b"cycle"

    def test_refused_messages_raise_instead_of_vanishing(self, run):
        async def main():
            q = AsyncQueue(None, 16, 2, block_on_full=True)  # a full ring never blocks the loop
            with pytest.raises(ValueError):
                await q.push_buf(b"x" * 4096)  # larger than a slot
            stored = 0
            with pytest.raises(asyncio.QueueFull):
                for i in range(64):
                    await q.push_buf(bytes([i]))
                    stored += 1
            assert stored >= 1
            return stored, [await q.pop() for _ in range(stored)]
        stored, out = run(main)
        assert out == [bytes([i]) for i in range(stored)]


class RecordingCondition:
    """A stand-in for the queue's condition that records the protocol."""

    def __init__(self, suppress=False, fail=False):
        self.calls, self.suppress, self.fail = [], suppress, fail

    async def __aenter__(self):
        self.calls.append("enter")

    async def __aexit__(self, exc_type, exc, tb):
        self.calls.append(("exit", exc_type))
        return self.suppress

    def notify(self):
        self.calls.append("notify")
        if self.fail:
            raise KeyError("notify failed")


def with_condition(q, cond):
    callback, lock, loop, _, ring, task = fields(q)
    q.__setstate__((callback, lock, loop, cond, ring, task))


class TestNotifyProtocol:
    def test_other_conditions_get_the_full_async_with(self, run):
        async def main():
            q = AsyncQueue()
            cond = RecordingCondition()
            with_condition(q, cond)
            await q.push_buf(b"a")
            assert cond.calls == ["enter", "notify", ("exit", None)]
        run(main)

    def test_failing_notify_goes_through_aexit(self, run):
        async def main():
            q = AsyncQueue()
            cond = RecordingCondition(fail=True)
            with_condition(q, cond)
            with pytest.raises(KeyError) as info:
                await q.push_obj(b"a")
            assert cond.calls == ["enter", "notify", ("exit", KeyError)]
            names = [e.name for e in info.traceback]
            assert "orvix.utils.corvane.corvane.AsyncQueue.push_obj" in names and "push_obj" in names
            suppressing = RecordingCondition(fail=True, suppress=True)
            with_condition(q, suppressing)
            assert await q.push_obj(b"b") is None
            assert [await q.pop(), await q.pop()] == [b"a", b"b"]  # stored before the lock
        run(main)

    # The queue reads asyncio's private state (the condition's _lock and
    # _waiters, the lock's _locked and _waiters) to leave out the condition's
    # block where nobody could tell. These are asyncio's own classes, still
    # working for asyncio, with their state not where or not what the reader
    # expects, as a later asyncio might have it: every wait and notify must
    # then take the whole block, which acquires the lock.
    @pytest.mark.parametrize("layout", ["asyncio's own", "condition without _lock",
                                        "condition waiters in a list", "lock waiters in a list"])
    def test_a_layout_of_asyncio_it_does_not_know_takes_the_full_block(self, run, layout):
        async def main():
            q = AsyncQueue()
            lock = asyncio.Lock()
            cond = asyncio.Condition(lock)
            if layout == "condition without _lock":
                del cond._lock
            elif layout == "condition waiters in a list":
                cond._waiters = []
            elif layout == "lock waiters in a list":
                lock._waiters = []
            acquired = with_counted_condition(q, lock, cond)
            waiter = asyncio.ensure_future(q.pop())
            await settle()
            await q.push_buf(b"x")
            assert await waiter == b"x"
            delivered = asyncio.Queue()
            q.start_dispatcher(delivered.put)
            await settle()
            await q.push_buf(b"y")
            assert await delivered.get() == b"y"
            taken = len(acquired)
            await q.shutdown()
            return taken
        taken = run(main)
        assert (taken == 0) == (layout == "asyncio's own"), taken


    # The shortcut keeps what it read of those dictionaries while they stay
    # unchanged (watched with PyDict_Watch on every version): a change of one
    # of them between two wake-ups, made after the shortcut was taken, must
    # send the next wake-up through the whole block again. "lock held" changes
    # the lock's _locked through Lock.acquire's own (specialized) store.
    @pytest.mark.parametrize("change", ["condition waiters in a list", "lock waiters in a list",
                                        "condition without _lock", "lock held"])
    def test_a_change_between_wake_ups_is_seen(self, run, change):
        async def main():
            q = AsyncQueue()
            lock = asyncio.Lock()
            cond = asyncio.Condition(lock)
            acquired = with_counted_condition(q, lock, cond)
            for _ in range(50):   # Lock.acquire's stores specialized; the shortcut taken
                async with lock:
                    pass
            for message in (b"a", b"b"):
                waiter = asyncio.ensure_future(q.pop())
                await settle()
                await q.push_buf(message)
                assert await waiter == message
            assert not acquired
            holder = None
            if change == "condition waiters in a list":
                cond._waiters = []
            elif change == "lock waiters in a list":
                lock._waiters = []
            elif change == "condition without _lock":
                del cond._lock
            else:
                entered, leave = asyncio.Event(), asyncio.Event()

                async def hold():
                    async with lock:
                        entered.set()
                        await leave.wait()

                holder = asyncio.ensure_future(hold())
                await entered.wait()
            waiter = asyncio.ensure_future(q.pop())
            await settle()
            pushed = asyncio.ensure_future(q.push_buf(b"c"))
            await settle()
            if holder:
                assert not waiter.done()   # no wake-up while the lock is held
                leave.set()
                await holder
            await pushed
            assert await waiter == b"c"
            return len(acquired)
        assert run(main) > 0


class TestPop:
    def test_pop_takes_a_queued_message_without_suspending(self, run):
        async def main():
            q = AsyncQueue()
            await q.push_buf(b"one")
            await q.push_buf(b"")
            coro = q.pop()
            assert coro.__qualname__ == "AsyncQueue.pop"
            assert finish_now(coro) == b"one"
            assert finish_now(q.pop()) == b""
        run(main)

    def test_pop_waits_on_an_empty_queue(self, run):
        async def main():
            q = AsyncQueue()
            waiter = asyncio.ensure_future(q.pop())
            await settle()
            assert not waiter.done()
            await q.push_buf(b"x")
            return await waiter
        assert run(main) == b"x"

    # A push sees the waiters it woke earlier still queued (woken, not yet run)
    # in front of those it must wake; six is more than a push looks through
    # before it takes the full notify.
    @pytest.mark.parametrize("count", [3, 6])
    def test_each_push_wakes_one_of_several_waiters(self, run, count):
        async def main():
            q = AsyncQueue()
            waiters = [asyncio.ensure_future(q.pop()) for _ in range(count)]
            await settle()
            for i in range(count):
                await q.push_buf(b"%d" % i)
            return sorted(await asyncio.gather(*waiters))
        assert run(main) == [b"%d" % i for i in range(count)]

    # Cancelling a waiting pop cancels the future it waits on at once, while
    # the future stays queued until the pop runs again: a push must pass over
    # it to the next waiter, as notify() does.
    def test_push_passes_over_a_waiter_cancelled_but_not_yet_gone(self, run):
        async def main():
            q = AsyncQueue()
            first, second = asyncio.ensure_future(q.pop()), asyncio.ensure_future(q.pop())
            await settle()
            first.cancel()
            await q.push_buf(b"x")
            with pytest.raises(asyncio.CancelledError):
                await first
            message = await second
            assert not fields(q)[3]._waiters
            return message
        assert run(main) == b"x"

    # A consumer that a push woke and that is cancelled before it runs hands
    # the wake-up on, as asyncio.Queue hands on its item: the message must not
    # sit in the ring while the other consumer sleeps. Either consumer may be
    # the dispatch task; "async with" makes every wait and notify take the
    # condition's whole block (the queue reads only asyncio's own class).
    @pytest.mark.parametrize("block", ["lock-free", "async with"])
    @pytest.mark.parametrize("woken,other", [("pop", "pop"), ("dispatch", "pop"), ("pop", "dispatch")])
    def test_a_woken_consumer_cancelled_before_it_runs_passes_the_wake_up_on(self, run, block, woken, other):
        class BlockCondition(asyncio.Condition):
            pass

        async def main():
            q = AsyncQueue()
            if block == "async with":
                with_condition(q, BlockCondition(lock_of(q)))
            delivered = asyncio.Queue()

            def start(kind):
                if kind == "pop":
                    return asyncio.ensure_future(q.pop())
                q.start_dispatcher(delivered.put)
                return fields(q)[5]

            first = start(woken)
            await settle()
            second = start(other)
            await settle()
            await q.push_buf(b"x")  # wakes `first`, which has not run since
            first.cancel()
            with pytest.raises(asyncio.CancelledError):
                await first
            message = await asyncio.wait_for(second if other == "pop" else delivered.get(), 5)
            await q.shutdown()
            return message
        assert run(main) == b"x"

    def test_cancelling_a_waiting_pop_releases_the_lock(self, run):
        async def main():
            q = AsyncQueue()
            waiter = asyncio.ensure_future(q.pop())
            await settle()
            waiter.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiter
            assert not lock_of(q).locked()
            assert not fields(q)[3]._waiters  # the cancelled wait took its future out again
            await q.push_buf(b"next")
            return await q.pop()
        assert run(main) == b"next"

    def test_no_lost_wake_up_while_the_lock_is_contended(self, run):
        async def main():
            q = AsyncQueue()
            lock = lock_of(q)
            await lock.acquire()
            waiter = asyncio.ensure_future(q.pop())  # polls empty, then queues for the lock
            await settle()
            producer = asyncio.ensure_future(q.push_buf(b"m"))  # pushes, then queues for the lock
            await settle()
            lock.release()  # waiter gets the lock first; its notification is already spent
            await producer
            return await waiter
        assert run(main) == b"m"

    # A push that woke nobody remembers what it read of the condition and its
    # lock; a change made after it must reach the next push.
    @pytest.mark.parametrize("change", ["lock taken", "pop waiting"])
    def test_push_sees_a_change_made_after_a_push_that_woke_nobody(self, run, change):
        async def main():
            q = AsyncQueue()
            for m in (b"a", b"b"):
                finish_now(q.push_buf(m))
                assert finish_now(q.pop()) == m
            if change == "lock taken":
                lock = lock_of(q)
                await lock.acquire()
                producer = asyncio.ensure_future(q.push_buf(b"c"))
                await settle()
                assert not producer.done()  # waits for the lock in __aenter__
                lock.release()
                await producer
                return await q.pop()
            waiter = asyncio.ensure_future(q.pop())
            await settle()
            await q.push_buf(b"c")
            return await waiter
        assert run(main) == b"c"

    def test_consumer_errors(self, run):
        async def main():
            q = AsyncQueue()
            with pytest.raises(TypeError, match=r"^pop\(\) takes exactly 0 positional arguments \(1 given\)$") as info:
                q.pop(1)
            assert info.traceback[-1].name == "orvix.utils.corvane.corvane.AsyncQueue.pop"
            with pytest.raises(TypeError, match=r"^pop\(\) got an unexpected keyword argument 'x'$"):
                q.pop(x=1)
            with pytest.raises(TypeError, match=r"^_AsyncQueue__dispatch\(\) takes exactly 0 positional "
                               r"arguments \(1 given\)$") as info:
                q._AsyncQueue__dispatch(1)
            assert info.traceback[-1].name == "orvix.utils.corvane.corvane.AsyncQueue._AsyncQueue__dispatch"
            blank = AsyncQueue.__new__(AsyncQueue)
            for coro in (blank.pop(), blank.push_buf(b"x"), blank.push_str("x"), blank.push_obj(b"x")):
                with pytest.raises(RuntimeError, match="not initialised"):
                    await coro
        run(main)


class TestDispatch:
    def test_messages_are_delivered_in_order_one_at_a_time(self, run):
        async def main():
            q = AsyncQueue()
            events = []
            done = asyncio.Event()

            async def cb(msg):
                events.append(("start", msg))
                await asyncio.sleep(0)
                events.append(("end", msg))
                if msg == b"9":
                    done.set()

            assert q.start_dispatcher(cb) is None
            task = fields(q)[5]
            assert fields(q)[0] is cb and isinstance(task, asyncio.Task)
            for i in range(10):
                await q.push_buf(b"%d" % i)
            await done.wait()
            expected = []
            for i in range(10):
                expected += [("start", b"%d" % i), ("end", b"%d" % i)]
            assert events == expected
            await q.shutdown()
        run(main)

    def test_dispatcher_queued_for_the_lock_delivers_a_message_pushed_meanwhile(self, run):
        async def main():
            q = AsyncQueue()
            lock = lock_of(q)
            got = asyncio.Queue()

            async def cb(msg):
                await got.put(msg)

            await lock.acquire()
            q.start_dispatcher(cb)  # polls empty, then queues for the lock
            await settle()
            producer = asyncio.ensure_future(q.push_buf(b"m"))  # pushes, then queues for the lock
            await settle()
            lock.release()  # the dispatcher gets the lock first; the notification is spent
            await producer
            msg = await got.get()
            await q.push_buf(b"n")  # and it goes on waiting as usual
            msg2 = await got.get()
            await q.shutdown()
            return msg, msg2, lock.locked()
        assert run(main) == (b"m", b"n", False)

    # Awaiting a generator, made by a types.coroutine function or returned by
    # an __await__ written as a generator, keeps no reference to its code.
    @pytest.mark.parametrize("kind", ["types.coroutine", "__await__"])
    def test_awaiting_generators_keeps_no_reference_to_their_code(self, run, kind):
        count = 1000
        delivered = []

        @types.coroutine
        def decorated(msg):
            delivered.append(msg)
            return
            yield  # a generator, never suspending

        class Awaitable:
            def __init__(self, msg):
                self.msg = msg

            def __await__(self):
                delivered.append(self.msg)
                return
                yield

        callback, code = ((decorated, decorated.__code__) if kind == "types.coroutine"
                          else (Awaitable, Awaitable.__await__.__code__))

        async def main():
            q = AsyncQueue()
            q.start_dispatcher(callback)
            before = sys.getrefcount(code)
            for _ in range(count):
                await q.push_buf(b"m")
            await q.push_buf(b"last")
            while len(delivered) <= count:
                await asyncio.sleep(0)
            await q.shutdown()
            return sys.getrefcount(code) - before
        assert run(main) == 0

    def test_non_awaitable_result_ends_the_task_with_type_error(self, run):
        async def main():
            q = AsyncQueue()
            got = []
            q.start_dispatcher(got.append)
            await q.push_buf(b"a")
            task = fields(q)[5]
            with pytest.raises(TypeError, match="object NoneType can't be used in 'await' expression"):
                await task
            assert got == [b"a"]
        run(main)

    def test_raising_callback_leaves_later_messages_for_pop(self, run):
        async def main():
            q = AsyncQueue()

            async def cb(msg):
                raise ValueError(msg)

            for m in (b"1", b"2", b"3"):
                await q.push_buf(m)
            q.start_dispatcher(cb)
            with pytest.raises(ValueError):
                await fields(q)[5]
            return [await q.pop(), await q.pop()]
        assert run(main) == [b"2", b"3"]

    def test_second_start_while_running_is_refused(self, run):
        async def main():
            q = AsyncQueue()

            async def cb(msg):
                pass

            q.start_dispatcher(cb)
            first = fields(q)[5]
            with pytest.raises(RuntimeError, match="already running"):
                q.start_dispatcher(cb)
            assert fields(q)[5] is first
            await q.shutdown()
            q.start_dispatcher(cb)  # allowed once the first task has ended
            assert fields(q)[5] is not first
            await q.shutdown()
        run(main)

    def test_start_dispatcher_errors_and_override(self, run):
        async def main():
            q = AsyncQueue()
            with pytest.raises(TypeError) as info:
                q.start_dispatcher()
            assert str(info.value) == "start_dispatcher() takes exactly 1 positional argument (0 given)"

            calls = []

            class Custom(AsyncQueue):
                async def _AsyncQueue__dispatch(self):
                    calls.append("dispatch")

            c = Custom()
            c.start_dispatcher(callback=print)
            await fields(c)[5]
            assert calls == ["dispatch"]
        run(main)


def table_entry_start_dispatcher():
    """The class's C-level start_dispatcher(self, callback, skip_override), through ctypes."""
    import ctypes
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(AsyncQueue.__dict__["__qvx_vtable__"], None)
    entry = ctypes.c_void_p.from_address(table).value
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)(entry)


class TestStartDispatcherEntry:
    def test_override_runs_unless_skipped(self, run):
        entry = table_entry_start_dispatcher()

        class Overriding(AsyncQueue):
            def start_dispatcher(self, callback):
                return ("override", callback)

        async def main():
            q = Overriding()
            assert entry(q, "cb", 0) == ("override", "cb")
            assert fields(q)[5] is None
            assert entry(q, print, 1) is None  # the implementation itself
            assert fields(q)[0] is print
            await q.shutdown()
            plain = AsyncQueue()
            assert entry(plain, print, 0) is None and fields(plain)[0] is print
            await plain.shutdown()
        run(main)


class TestShutdown:
    def test_without_dispatcher(self, run):
        async def main():
            q = AsyncQueue()
            assert await q.shutdown() is None
            assert await q.shutdown(None, None, None) is None
            assert await q.shutdown(1, 2) is None
            with pytest.raises(TypeError, match=r"^shutdown\(\) got an unexpected keyword argument 'x'$"):
                q.shutdown(x=1)
        run(main)

    def test_cancels_the_dispatcher_and_leaves_later_messages(self, run):
        async def main():
            q = AsyncQueue()
            got = []

            async def cb(msg):
                got.append(msg)

            q.start_dispatcher(cb)
            await q.push_buf(b"a")
            await settle()
            assert await q.shutdown() is None
            task = fields(q)[5]
            assert task.cancelled()
            await q.push_buf(b"b")
            await settle()
            assert got == [b"a"]
            assert await q.pop() == b"b"
            assert await q.shutdown() is None  # already ended by cancellation
        run(main)

    def test_cancels_a_dispatcher_inside_its_callback(self, run):
        async def main():
            q = AsyncQueue()
            entered = asyncio.Event()

            async def cb(msg):
                entered.set()
                await asyncio.sleep(3600)

            q.start_dispatcher(cb)
            await q.push_buf(b"a")
            await entered.wait()
            await q.shutdown()
            assert fields(q)[5].cancelled()
            assert not lock_of(q).locked()
        run(main)

    def test_reraises_the_dispatch_task_exception(self, run):
        async def main():
            q = AsyncQueue()

            async def cb(msg):
                raise ValueError("bad message")

            q.start_dispatcher(cb)
            await q.push_buf(b"a")
            await settle()
            with pytest.raises(ValueError, match="bad message"):
                await q.shutdown()
            with pytest.raises(ValueError, match="bad message"):
                await q.shutdown()
        run(main)

    def test_waiting_pop_survives_shutdown(self, run):
        async def main():
            q = AsyncQueue()
            waiter = asyncio.ensure_future(q.pop())
            await settle()
            await q.shutdown()
            await settle()
            assert not waiter.done()
            await q.push_buf(b"late")
            return await waiter
        assert run(main) == b"late"

    def test_cancelling_the_caller_of_shutdown_is_not_swallowed(self, run):
        async def main():
            q = AsyncQueue()
            entered = asyncio.Event()

            async def cb(msg):
                entered.set()
                try:
                    await asyncio.sleep(3600)
                finally:
                    await asyncio.sleep(0.01)  # slow exit keeps shutdown waiting

            q.start_dispatcher(cb)
            await q.push_buf(b"a")
            await entered.wait()
            closer = asyncio.ensure_future(q.shutdown())
            await settle()
            closer.cancel()
            with pytest.raises(asyncio.CancelledError):
                await closer
        run(main)

    def test_shutdown_in_a_task_that_carries_an_earlier_cancellation(self, run):
        async def main():
            q = AsyncQueue()

            async def cb(msg):
                pass

            q.start_dispatcher(cb)
            # A cancellation caught and not taken back (TaskGroup leaves its
            # own behind on 3.12; 3.13 takes it back), so the count stays 1.
            asyncio.current_task().cancel()
            with pytest.raises(asyncio.CancelledError):
                await asyncio.sleep(0)
            assert asyncio.current_task().cancelling() == 1
            assert await q.shutdown() is None
            assert fields(q)[5].cancelled()
        run(main)
