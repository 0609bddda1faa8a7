"""AsyncDispatcher: native producers to an asyncio callback through the wake-up datagram."""
import asyncio
import gc
import struct
import traceback

import pytest
import uvloop

import dispatcher_probe
import producer_cpp
from orvix.utils.corvane.corvane import AsyncDispatcher
from socket_dispatcher_support import (INVALID_SOCKET, UNDER_SANITIZER, addr_fields,
                                       assert_pickling_refused, bound_port, check_in_order,
                                       ring_parameters)

MODULE = "orvix.utils.corvane.corvane"


@pytest.fixture(params=["asyncio", "uvloop"])
def run(request):
    """Runs a coroutine function on a fresh loop of the parametrized kind."""
    factory = asyncio.new_event_loop if request.param == "asyncio" else uvloop.new_event_loop

    def run(main):
        with asyncio.Runner(loop_factory=factory) as runner:
            return runner.run(main())
    return run


class Collector:
    """An async callback that records messages and signals when `expected` arrived."""

    def __init__(self, expected):
        self.messages = []
        self.expected = expected
        self.done = asyncio.Event()

    async def __call__(self, msg):
        self.messages.append(msg)
        if len(self.messages) >= self.expected:
            self.done.set()


async def produce(d, count, size):
    """Pushes from a native producer thread without blocking the loop."""
    return await asyncio.to_thread(producer_cpp.start(d, count, size).join)


def setup_and_get_task(d, *args):
    """setup() and the reader task it scheduled."""
    before = asyncio.all_tasks()
    d.setup(*args)
    (task,) = asyncio.all_tasks() - before
    return task


# ---- delivery from native producer threads ---------------------------------

@pytest.mark.timeout(60)
def test_messages_pushed_before_setup_are_delivered_by_the_first_pass(run):
    async def main():
        c = Collector(100)
        d = AsyncDispatcher(c)
        producer_cpp.start(d, 100, 24).join()
        assert dispatcher_probe.sock_fd(d) == INVALID_SOCKET   # no datagram could be sent
        d.setup()
        await asyncio.wait_for(c.done.wait(), 20)
        d.close()
        check_in_order(c.messages, 100, 24)
    run(main)


@pytest.mark.timeout(240)
def test_a_million_messages_arrive_in_order_with_none_lost(run):
    count = 100_000 if UNDER_SANITIZER else 1_000_000

    async def main():
        c = Collector(count)
        # The ring holds every message: no push is refused and retried.
        d = AsyncDispatcher(c, capacity=1 << 20, slot_size=16)
        d.setup()
        p = producer_cpp.start(d, count, 16)
        await asyncio.wait_for(c.done.wait(), 200)
        assert p.join() == count
        d.close()
        check_in_order(c.messages, count, 16)
    run(main)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("variable_size", [False, True])
def test_no_wakeup_is_lost_when_the_reader_keeps_falling_asleep(run, variable_size):
    bursts = 500 if UNDER_SANITIZER else 3000

    async def main():
        received = []

        async def cb(msg):
            received.append(msg)
        d = AsyncDispatcher(cb, capacity=1 << 16, slot_size=8, variable_size=variable_size)
        d.setup()
        total = await asyncio.to_thread(dispatcher_probe.push_bursts, d, bursts, 5, 40)
        # Every burst must have woken the reader: no poll loop would find
        # the last messages otherwise.
        while len(received) < total:
            await asyncio.sleep(0.01)
        d.close()
        assert [struct.unpack("<Q", m)[0] for m in received] == list(range(total))
    run(lambda: asyncio.wait_for(main(), 100))


@pytest.mark.timeout(60)
@pytest.mark.parametrize("variable_size", [False, True])
def test_zero_length_messages_arrive_as_empty_bytes(run, variable_size):
    async def main():
        c = Collector(50)
        d = AsyncDispatcher(c, variable_size=variable_size)
        d.setup()
        await produce(d, 50, 0)
        await asyncio.wait_for(c.done.wait(), 20)
        d.close()
        assert c.messages == [b""] * 50
    run(main)


@pytest.mark.timeout(60)
def test_variable_size_mode_delivers_in_order(run):
    count = 20_000

    async def main():
        c = Collector(count)
        d = AsyncDispatcher(c, variable_size=True)
        d.setup()
        await produce(d, count, 300)
        await asyncio.wait_for(c.done.wait(), 40)
        d.close()
        check_in_order(c.messages, count, 300)
    run(main)


@pytest.mark.timeout(60)
def test_callback_may_return_any_awaitable(run):
    async def main():
        loop = asyncio.get_running_loop()
        got = []

        def cb(msg):
            got.append(msg)
            fut = loop.create_future()
            fut.set_result(None)
            return fut
        d = AsyncDispatcher(cb)
        d.setup()
        dispatcher_probe.push(d, b"abc", 3)
        while len(got) < 3:
            await asyncio.sleep(0.01)
        d.close()
        assert got == [b"abc"] * 3
    run(main)


@pytest.mark.timeout(30)
def test_a_ring_that_never_runs_dry_does_not_starve_the_loop(run):
    async def main():
        got = 0
        d = None

        async def cb(msg):        # finishes without suspending, and refills the ring
            nonlocal got
            got += 1
            dispatcher_probe.push(d, msg)
        d = AsyncDispatcher(cb, capacity=64, slot_size=8)
        task = setup_and_get_task(d)
        dispatcher_probe.push(d, bytes(8))
        # Other tasks, and close()'s cancellation, still get their turn.
        await asyncio.sleep(0.01)
        assert got > 0
        d.close()
        await asyncio.wait([task], timeout=5)
        assert task.done()
    run(main)


# ---- the reader's failures -------------------------------------------------

@pytest.mark.timeout(30)
def test_a_plain_function_callback_ends_the_reader_with_type_error(run):
    async def main():
        calls = []
        d = AsyncDispatcher(calls.append)     # returns None: cannot be awaited
        task = setup_and_get_task(d)
        dispatcher_probe.push(d, b"one", 2)
        with pytest.raises(TypeError) as info:
            await asyncio.wait_for(task, 10)
        assert str(info.value) == "object NoneType can't be used in 'await' expression"
        assert calls == [b"one"]               # ended on the first message
        d.close()
    run(main)


@pytest.mark.timeout(30)
def test_a_raising_callback_stops_delivery(run):
    async def main():
        got = []

        async def cb(msg):
            got.append(msg)
            if len(got) == 3:
                raise ValueError("boom")
        d = AsyncDispatcher(cb)
        task = setup_and_get_task(d)
        await produce(d, 10, 8)
        with pytest.raises(ValueError, match="boom"):
            await asyncio.wait_for(task, 10)
        await produce(d, 5, 8)                 # stored, signalled, not delivered
        await asyncio.sleep(0.05)
        assert len(got) == 3
        d.close()
    run(main)


NATIVE_EXCEPTIONS = [
    ("bad_alloc", MemoryError, "std::bad_alloc"),
    ("bad_cast", TypeError, "std::bad_cast"),
    ("invalid_argument", ValueError, "bad argument"),
    ("domain_error", ValueError, "bad domain"),
    ("ios_failure", OSError, "stream broke"),
    ("out_of_range", IndexError, "too far"),
    ("overflow_error", OverflowError, "too big"),
    ("underflow_error", ArithmeticError, "too small"),
    ("range_error", ArithmeticError, "out of range"),
    ("runtime_error", RuntimeError, "plain failure"),
    ("not_a_std_exception", RuntimeError, "Unknown exception"),
]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("kind, error, text", NATIVE_EXCEPTIONS)
def test_native_exceptions_from_the_ring_end_the_reader_translated(kind, error, text):
    async def main():
        d = AsyncDispatcher(Collector(1))
        dispatcher_probe.make_pop_throw(d, kind)
        task = setup_and_get_task(d)
        with pytest.raises(error) as info:
            await asyncio.wait_for(task, 10)
        assert type(info.value) is error
        assert text in str(info.value)
        d.close()
    asyncio.run(main())


# ---- setup -----------------------------------------------------------------

@pytest.mark.timeout(30)
@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_addr_holds_the_bound_loopback_address_in_network_order(run, host):
    async def main():
        d = AsyncDispatcher(Collector(1))
        d.setup(host)
        family, port, address, padding = addr_fields(dispatcher_probe.addr(d))
        assert family == 2
        assert port == bound_port(dispatcher_probe.sock_fd(d)) and port != 0
        assert address == b"\x7f\x00\x00\x01"
        assert padding == bytes(8)
        d.close()
    run(main)


def test_setup_outside_a_running_loop_raises_before_any_socket_exists():
    d = AsyncDispatcher(Collector(1))
    with pytest.raises(RuntimeError, match="no running event loop"):
        d.setup()
    assert dispatcher_probe.sock_fd(d) == INVALID_SOCKET
    assert dispatcher_probe.addr(d) == bytes(16)


@pytest.mark.timeout(30)
def test_host_argument_rules():
    class Text(str):
        pass

    async def main():
        d = AsyncDispatcher(Collector(1))
        for bad, name in [(b"127.0.0.1", "bytes"), (Text("127.0.0.1"), "Text"), (1, "int")]:
            with pytest.raises(TypeError) as info:
                d.setup(bad)
            assert str(info.value) == f"Argument 'host' has incorrect type (expected str, got {name})"
        with pytest.raises(TypeError) as info:
            d.setup("127.0.0.1", 2)
        assert str(info.value) == "setup() takes at most 1 positional argument (2 given)"
        with pytest.raises(TypeError, match="unexpected keyword argument 'port'"):
            d.setup(port=1)
        with pytest.raises(TypeError):     # None passes the check, then bind refuses it
            d.setup(None)
        assert dispatcher_probe.sock_fd(d) == INVALID_SOCKET
        d.setup(host="127.0.0.1")          # a failed bind leaves setup possible
        d.close()
    asyncio.run(main())


@pytest.mark.timeout(30)
def test_a_second_setup_is_refused(run):
    async def main():
        d = AsyncDispatcher(Collector(1))
        d.setup()
        fd = dispatcher_probe.sock_fd(d)
        with pytest.raises(RuntimeError, match="setup\\(\\) was already called"):
            d.setup()
        assert dispatcher_probe.sock_fd(d) == fd
        d.close()
        with pytest.raises(RuntimeError, match="setup\\(\\) was already called"):
            d.setup()
    run(main)


def test_setup_entry_with_skip_override_zero_calls_a_subclass_override():
    calls = []

    class Sub(AsyncDispatcher):
        def setup(self, host="x"):
            calls.append(host)
    d = Sub(Collector(1))
    dispatcher_probe.setup_entry(d, 0)
    dispatcher_probe.setup_entry(d, 0, "10.0.0.1")
    assert calls == ["127.0.0.1", "10.0.0.1"]
    with pytest.raises(RuntimeError, match="no running event loop"):
        dispatcher_probe.setup_entry(d, 1)      # skips the override
    assert calls == ["127.0.0.1", "10.0.0.1"]


def test_a_failing_setup_override_called_through_the_table_gains_the_setup_entry():
    class Sub(AsyncDispatcher):
        def setup(self, host="x"):
            raise KeyError(host)
    with pytest.raises(KeyError) as info:
        dispatcher_probe.setup_entry(Sub(Collector(1)), 0)
    names = [entry.name for entry in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == [f"{MODULE}.AsyncDispatcher.setup", "setup"]


# ---- close and lifetime ----------------------------------------------------

@pytest.mark.timeout(30)
def test_close_cancels_the_reader_and_retires_the_handle(run):
    async def main():
        d = AsyncDispatcher(Collector(1))
        assert d.close() is None                # before setup: nothing to do
        task = setup_and_get_task(d)
        await asyncio.sleep(0)
        assert d.close() is None
        assert d.close() is None                # twice
        with pytest.raises(asyncio.CancelledError):
            await asyncio.wait_for(task, 10)
        assert dispatcher_probe.sock_fd(d) == INVALID_SOCKET
        dispatcher_probe.push(d, b"late", 100)  # late pushes: refused by the closed ring
        assert (d.stats()["stored"], d.stats()["refused"]) == (0, 100)
    run(main)


@pytest.mark.timeout(30)
def test_close_hands_an_inner_finalize_to_the_loop():
    async def main():
        loop = asyncio.get_running_loop()
        d = AsyncDispatcher(Collector(1))
        task = setup_and_get_task(d)
        await asyncio.sleep(0)                  # the reader waits in sock_recv
        handed = []
        real = loop.call_soon_threadsafe
        loop.call_soon_threadsafe = lambda fn, *args: (handed.append(fn), real(fn, *args))[1]
        d.close()
        del loop.call_soon_threadsafe
        (finalize,) = handed
        assert finalize.__qualname__ == "close.<locals>._finalize"
        with pytest.raises(asyncio.CancelledError):
            await asyncio.wait_for(task, 10)
        assert finalize() is None               # the task is done: nothing more to do
    asyncio.run(main())


@pytest.mark.timeout(30)
def test_a_failure_inside_finalize_names_it_in_the_traceback():
    class TaskWhoseDoneFailsOnce(asyncio.Task):
        armed = False

        def done(self):
            if TaskWhoseDoneFailsOnce.armed:
                TaskWhoseDoneFailsOnce.armed = False
                raise LookupError("done() failed")
            return super().done()

    async def main():
        loop = asyncio.get_running_loop()
        loop.set_task_factory(lambda loop, coro: TaskWhoseDoneFailsOnce(coro, loop=loop))
        reported = []
        loop.set_exception_handler(lambda loop, context: reported.append(context["exception"]))
        d = AsyncDispatcher(Collector(1))
        d.setup()
        await asyncio.sleep(0)
        TaskWhoseDoneFailsOnce.armed = True
        d.close()
        await asyncio.sleep(0.05)
        (error,) = reported
        assert isinstance(error, LookupError)
        names = [entry.name for entry in traceback.extract_tb(error.__traceback__)]
        assert "orvix.utils.corvane.corvane.AsyncDispatcher.close._finalize" in names
        loop.set_task_factory(None)
    asyncio.run(main())


@pytest.mark.timeout(30)
def test_close_from_another_thread(run):
    async def main():
        d = AsyncDispatcher(Collector(1))
        task = setup_and_get_task(d)
        await asyncio.sleep(0)
        await asyncio.to_thread(d.close)
        with pytest.raises(asyncio.CancelledError):
            await asyncio.wait_for(task, 10)
    run(main)


@pytest.mark.timeout(60)
def test_close_racing_a_producer_is_harmless(run):
    async def main():
        for _ in range(20):
            d = AsyncDispatcher(Collector(10**9), capacity=1 << 16, slot_size=16)
            task = setup_and_get_task(d)
            p = producer_cpp.start(d, 20_000, 16)
            await asyncio.sleep(0.001)
            d.close()
            # Whether the cancellation or a pending wake-up reaches the reader
            # first, it ends without touching the closed socket.
            await asyncio.wait([task], timeout=10)
            assert task.cancelled() or task.result() is None
            await asyncio.to_thread(p.join)
    run(main)


@pytest.mark.timeout(30)
def test_subclass_overrides_close_setup_and_reader(run):
    events = []

    class Sub(AsyncDispatcher):
        def setup(self, host="127.0.0.1"):
            events.append("setup")
            super().setup(host)

        async def _reader(self, loop, sock):
            events.append(("reader", loop is asyncio.get_running_loop(), sock.getsockname()[1]))
            await super()._reader(loop, sock)

        def close(self):
            events.append("close")
            super().close()

    async def main():
        d = Sub(Collector(1))
        d.setup()
        await asyncio.sleep(0.01)
        port = bound_port(dispatcher_probe.sock_fd(d))
        d.close()
        await asyncio.sleep(0.01)
        assert events == ["setup", ("reader", True, port), "close"]
    run(main)


@pytest.mark.timeout(30)
def test_a_running_reader_keeps_its_dispatcher_alive(run):
    async def main():
        c = Collector(1)
        d = AsyncDispatcher(c)
        task = setup_and_get_task(d)
        dispatcher_probe.push(d, b"x")
        del d
        gc.collect()
        await asyncio.wait_for(c.done.wait(), 10)
        assert c.messages == [b"x"]
        # The reader coroutine is what holds the dispatcher.
        (d,) = [o for o in gc.get_referents(task.get_coro()) if isinstance(o, AsyncDispatcher)]
        d.close()
    run(main)


# ---- construction and pickling ---------------------------------------------

def test_constructor_arguments():
    with pytest.raises(TypeError) as info:
        AsyncDispatcher()
    assert str(info.value) == "__cinit__() takes at least 1 positional argument (0 given)"
    with pytest.raises(TypeError) as info:
        AsyncDispatcher(print, 1, 2, False, False, False, 7)
    assert str(info.value) == "__cinit__() takes at most 6 positional arguments (7 given)"
    with pytest.raises(OverflowError, match="can't convert negative value to size_t"):
        AsyncDispatcher(print, -1)
    with pytest.raises(TypeError, match="an integer is required"):
        AsyncDispatcher(print, slot_size="big")
    with pytest.raises(TypeError, match="unexpected keyword argument 'daemon'"):
        AsyncDispatcher(print, daemon=True)
    AsyncDispatcher(callback=print, capacity=64.9, slot_size=32, overwrite=1, zerocopy=[],
                    variable_size=None)


def test_ring_parameters_and_their_order():
    assert ring_parameters(AsyncDispatcher(print)) == (2048, 16384, False, False, False)
    assert ring_parameters(AsyncDispatcher(print, 64, 32, True, False)) == (32, 64, True, False, False)


def test_pickling_is_refused():
    assert_pickling_refused(AsyncDispatcher(print))


def test_reader_argument_count():
    d = AsyncDispatcher(print)
    with pytest.raises(TypeError) as info:
        d._reader(None)
    assert str(info.value) == "_reader() takes exactly 2 positional arguments (1 given)"
