"""One model of delivery, held by every delivery class (the batch dispatchers
too: their callback records every message of a batch) over random sequences of
native pushes in bursts, callbacks that raise, close(), setup() again, second
producers, stats() reads during delivery and waits for quiescence (AsyncQueue:
pushes, pops that are cancelled after a push woke them, a dispatch task,
shutdown).

What must hold, checked after every step:
  - each stored message reaches the callback at most once, in push order,
    intact; without overwrite, what arrived is exactly the first stored
    messages (no gap);
  - every stats() snapshot keeps delivered + dropped + pending <= stored + 1
    and pending <= capacity + 1;
  - at quiescence: stored == delivered + dropped + pending, stored and refused
    are what the producers were told, the reader is in the documented state,
    and a reader that runs has emptied the ring;
  - nothing hangs: every wait is bounded, and a wait that runs out fails.

The test command runs a fixed, derandomized budget per class
(ORVIX_MODEL_EXAMPLES examples, default 12); scripts/soak runs a larger,
random one.
"""
import asyncio
import contextlib
import os
import sys
import threading
import time

import pytest
import uvloop
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from conftest import UNDER_SANITIZER
from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.feed import HEADER_SIZE, Feed, parse_header
from orvix.utils.corvane.corvane import AsyncDispatcher, AsyncQueue, SyncDispatcher, ThreadedDispatcher

EXAMPLES = int(os.environ.get("ORVIX_MODEL_EXAMPLES", 4 if UNDER_SANITIZER else 12))
RANDOM = bool(os.environ.get("ORVIX_MODEL_RANDOM"))   # scripts/soak: new examples every run
WAIT = 20.0 if UNDER_SANITIZER else 10.0              # the bound of every wait
SLOT = 64

BUDGET = settings(max_examples=EXAMPLES, stateful_step_count=14, deadline=None, derandomize=not RANDOM,
                  database=None, suppress_health_check=list(HealthCheck))

pytestmark = pytest.mark.timeout(int(60 + EXAMPLES * (60 if UNDER_SANITIZER else 12)), method="thread")


class PlannedFailure(Exception):
    """What a callback raises when the model asks it to."""


def tail_is_intact(message):
    """A feed's message: byte i after the header is (seq + i) & 0xFF."""
    seq = parse_header(message)[0]
    return all(b == (seq + i) & 0xFF for i, b in enumerate(message[HEADER_SIZE:], HEADER_SIZE))


@contextlib.contextmanager
def planned_failures_are_quiet():
    """The failures the model plans are reported by the readers as any other
    (unraisable hook, threading's excepthook); only those are kept quiet. Set
    in the test's body: pytest installs its own unraisable hook around it."""
    def unraisable(report, default=sys.unraisablehook):
        if not isinstance(report.exc_value, PlannedFailure):
            default(report)

    def excepthook(report, default=threading.excepthook):
        if not isinstance(report.exc_value, PlannedFailure):
            default(report)
    saved = sys.unraisablehook, threading.excepthook
    sys.unraisablehook, threading.excepthook = unraisable, excepthook
    try:
        yield
    finally:
        sys.unraisablehook, threading.excepthook = saved


class Receiver:
    """The callback's record: every message it was handed, as (burst, seq)."""

    def __init__(self, bursts):
        self.bursts = bursts
        self.ids = []
        self.torn = []
        self.fail_in = 0      # > 0: the fail_in-th next message raises
        self.failed = False   # a planned failure was raised
        self.lock = threading.Lock()

    def take(self, message):
        seq, sent = parse_header(message)
        burst = self.bursts.index_of(sent)
        with self.lock:
            self.ids.append((burst, seq))
            if not tail_is_intact(message):
                self.torn.append((burst, seq))
            if self.fail_in:
                self.fail_in -= 1
                if self.fail_in == 0:
                    self.failed = True
                    raise PlannedFailure(seq)

    def disarm(self):
        """No failure from now on; True when one was raised already."""
        with self.lock:
            self.fail_in = 0
            return self.failed


class Bursts:
    """Every burst of pushes: when it began, and which messages the ring stored."""

    def __init__(self):
        self.starts = []
        self.stored = []      # per burst: the sequence numbers answered 1

    def begin(self):
        self.starts.append(time.monotonic_ns())
        self.stored.append([])

    def index_of(self, sent_ns):
        for i in range(len(self.starts) - 1, -1, -1):
            if sent_ns >= self.starts[i]:
                return i
        return -1

    def stream(self):
        """The stored messages in push order."""
        return [(b, seq) for b, seqs in enumerate(self.stored) for seq in seqs]


def most_pending(capacity, variable):
    """What a ring can hold: capacity slots, or capacity x slot_size bytes of the
    smallest records (a feed's header behind an 8-byte length)."""
    return capacity * SLOT // (HEADER_SIZE + 8) if variable else capacity


def check_snapshot(stats, most):
    assert stats["delivered"] + stats["dropped"] + stats["pending"] <= stats["stored"] + 1, stats
    assert stats["pending"] <= most + 1, stats
    assert stats["dropped"] <= stats["stored"], stats


def eventually(predicate, step):
    """Calls step() until predicate() holds; False once WAIT seconds have passed."""
    deadline = time.monotonic() + WAIT
    while not predicate():
        if time.monotonic() > deadline:
            return False
        step()
    return True


# ---- Dispatchers -------------------------------------------------------------------


class Driver:
    """How the model runs one dispatcher class: its construction, its reader's
    thread or loop, and the documented reader states."""

    cls = None
    loop_factory = None
    blocking = False
    batches = False   # the callback is handed a Batch of messages

    def __init__(self, machine):
        self.machine = machine
        self.loop = self.loop_factory() if self.loop_factory else None

    def callback(self):
        receiver = self.machine.receiver
        take = take_batch(receiver) if self.batches else receiver.take
        if self.loop is None:
            return take

        async def callback(message):
            take(message)
        return callback

    def run_while(self, predicate, seconds=0.001):
        """Lets the reader work until predicate() is false (bounded)."""
        if self.loop is None:
            return eventually(lambda: not predicate(), lambda: time.sleep(seconds))

        async def wait():
            deadline = time.monotonic() + WAIT
            while predicate():
                if time.monotonic() > deadline:
                    return False
                await asyncio.sleep(seconds)
            return True
        return self.loop.run_until_complete(wait())

    def setup(self, d):
        if self.loop is None:
            d.setup()
        else:
            async def in_loop():
                d.setup()
            self.loop.run_until_complete(in_loop())

    def close(self):
        if self.loop is not None:
            self.loop.run_until_complete(asyncio.sleep(0.01))   # the reader's cancellation
            self.loop.close()


def take_batch(receiver):
    """A batch callback: every message of the batch is recorded before a
    planned failure among them is raised, since the batch counts as
    delivered whole."""
    def take(batch):
        failure = None
        for message in batch:
            try:
                receiver.take(message)
            except PlannedFailure as e:
                failure = e
        if failure is not None:
            raise failure
    return take


class Threaded(Driver):
    cls = ThreadedDispatcher


class ThreadedBlocking(Driver):
    cls = ThreadedDispatcher
    blocking = True


class Sync(Driver):
    cls = SyncDispatcher


class AsyncioDispatcher(Driver):
    cls = AsyncDispatcher
    loop_factory = staticmethod(asyncio.new_event_loop)


class UvloopDispatcher(Driver):
    cls = AsyncDispatcher
    loop_factory = staticmethod(uvloop.new_event_loop)


class ThreadedBatch(Driver):
    cls = ThreadedBatchDispatcher
    batches = True


class ThreadedBatchBlocking(ThreadedBatch):
    blocking = True


class AsyncioBatch(Driver):
    cls = AsyncBatchDispatcher
    batches = True
    loop_factory = staticmethod(asyncio.new_event_loop)


class UvloopBatch(AsyncioBatch):
    loop_factory = staticmethod(uvloop.new_event_loop)


class DispatcherModel(RuleBasedStateMachine):
    driver_class = Driver

    def __init__(self):
        super().__init__()
        self.driver = None

    @rule(capacity=st.sampled_from([4, 16, 64]), variable=st.booleans(), overwrite=st.booleans(),
          max_batch=st.sampled_from([1, 3, 1024]))
    @precondition(lambda self: self.driver is None)
    def construct(self, capacity, variable, overwrite, max_batch):
        self.driver = self.driver_class(self)
        self.restartable = self.driver.cls in (ThreadedDispatcher, ThreadedBatchDispatcher)
        self.capacity = capacity
        self.variable = variable
        self.overwrite = overwrite and not self.driver.blocking
        self.bursts = Bursts()
        self.receiver = Receiver(self.bursts)
        self.refused = 0
        # The reader as the model sees it.
        self.set_up = False      # setup() has succeeded once
        self.running = False     # a reader runs (not stopped by a failure, not cancelled)
        self.stopped = False     # a planned failure stopped it
        self.closed = False
        self.drains_after_close = False
        kwargs = dict(capacity=capacity, slot_size=SLOT, overwrite=self.overwrite, variable_size=variable)
        if self.driver.blocking:
            kwargs["block_on_full"] = True
        if self.driver.batches:
            kwargs["max_batch"] = max_batch
        self.d = self.driver.cls(self.driver.callback(), **kwargs)

    def ready(self):
        return self.driver is not None

    def expected_reader(self):
        if self.stopped:
            return "stopped"
        if self.closed:
            return "closed"
        return "running" if self.running else "not started"

    def draining(self):
        """A reader runs and will empty the ring."""
        if self.closed:
            return self.drains_after_close and not self.stopped
        return self.running

    def observe_failure(self):
        """A planned failure that was raised has stopped the reader."""
        if self.receiver.failed and not self.stopped and not self.closed:
            self.stopped, self.running = True, False
            assert self.driver.run_while(lambda: self.d.stats()["reader"] != "stopped"), "the reader did not stop"
            assert isinstance(self.d.stats().get("error"), PlannedFailure), self.d.stats()

    def finish_burst(self, feed):
        assert self.driver.run_while(lambda: feed.running and self.snapshot_ok()), "the producer hangs"
        assert feed.join(timeout=WAIT), "the producer hangs"
        results = memoryview(feed.results()).cast("b")   # one signed push result per message
        self.bursts.stored[-1] = [seq for seq, r in enumerate(results) if r == 1]
        report = feed.report()
        self.refused += report["refused"] + report["failed"]
        self.observe_failure()
        return results, report

    # -- rules -------------------------------------------------------------------------------

    @rule(count=st.integers(1, 150), size=st.integers(HEADER_SIZE, SLOT), retry=st.booleans(),
          longer=st.booleans())
    @precondition(ready)
    def push_burst(self, count, size, retry, longer):
        """A native producer pushes a burst; stats() is read all along."""
        if self.variable and longer:
            size = SLOT * 3
        armed = self.receiver.fail_in > 0
        draining = self.draining()
        self.bursts.begin()
        # Retrying is bounded in time: a ring that nobody drains stays full.
        feed = Feed(self.d, count=count, size=size, on_full="retry" if retry else "skip",
                    duration=0.5 if retry else None, record_results=True)
        feed.start()
        results, report = self.finish_burst(feed)
        if self.closed:
            assert all(r < 0 for r in results), "a push into a closed dispatcher was stored"
        if self.driver.blocking and draining and not armed and not self.closed:
            assert report["refused"] == 0, "a blocking push was refused while the reader ran"

    @rule()
    @precondition(ready)
    def second_producer_is_refused(self):
        first = Feed(self.d, duration=0.2, rate=2_000, size=HEADER_SIZE, on_full="skip", record_results=True)
        self.bursts.begin()
        first.start()
        with pytest.raises(RuntimeError):
            Feed(self.d, count=100, size=HEADER_SIZE).start()
        self.finish_burst(first)

    @rule(count=st.integers(1, 400))
    @precondition(lambda self: self.ready() and self.driver.blocking)
    def drop_a_feed_that_may_be_blocked(self, count):
        """The last reference to a producer whose push may be waiting for room goes."""
        self.bursts.begin()
        # Retrying: what it stores is a run of messages from the first.
        feed = Feed(self.d, count=count, size=HEADER_SIZE, on_full="retry")
        feed.start()
        time.sleep(0.005)   # under way, perhaps waiting in a push
        del feed   # stops the thread and waits for it: must end at once, whatever the reader does
        self.observe_failure()
        # How many it stored is known only from the ring now.
        stats = self.d.stats()
        self.bursts.stored[-1] = list(range(stats["stored"] - sum(len(b) for b in self.bursts.stored[:-1])))
        self.refused = stats["refused"]

    @rule(after=st.integers(1, 40))
    @precondition(lambda self: self.ready() and not self.closed and self.receiver.fail_in == 0)
    def callback_will_raise(self, after):
        self.observe_failure()
        self.receiver.failed = False
        self.receiver.fail_in = after

    @rule()
    @precondition(ready)
    def setup(self):
        self.observe_failure()
        if self.set_up and (not self.restartable or self.running):
            with pytest.raises(RuntimeError):
                self.driver.setup(self.d)
            return
        # Cleared before: an event loop may run the new reader, and a planned
        # failure, before setup() returns.
        if not self.closed:
            self.receiver.failed = False
        self.driver.setup(self.d)
        self.set_up = True
        if not self.closed:
            self.running, self.stopped = True, False

    @rule()
    @precondition(ready)
    def close(self):
        if self.receiver.disarm():
            self.observe_failure()
        if not self.restartable and not self.set_up:
            self.d.close()   # a socket dispatcher not set up is left as it was
            return
        if not self.closed:
            # A reader thread delivers what the ring holds and leaves; a task is cancelled.
            self.drains_after_close = self.running and self.driver.loop is None
            self.running = False
        self.closed = True
        self.d.close()

    @rule()
    @precondition(ready)
    def settle(self):
        """Waits for quiescence, then checks the counters against the producers'."""
        if self.draining():
            drained = self.driver.run_while(lambda: self.d.stats()["pending"] > 0 and not self.receiver.failed)
            assert drained, f"a running reader left messages in the ring: {self.d.stats()}"
        assert self.driver.run_while(lambda: self.d.stats()["delivered"] != len(self.receiver.ids))
        self.observe_failure()
        stats = self.d.stats()
        stored = sum(len(seqs) for seqs in self.bursts.stored)
        assert stats["stored"] == stored, (stats, stored)
        assert stats["refused"] == self.refused, (stats, self.refused)
        assert stats["delivered"] == len(self.receiver.ids), stats
        assert stats["stored"] == stats["delivered"] + stats["dropped"] + stats["pending"], stats
        if not self.overwrite:
            assert stats["dropped"] == 0
            assert self.receiver.ids == self.bursts.stream()[:len(self.receiver.ids)], "a gap in what arrived"
        if self.draining():
            assert stats["pending"] == 0, stats
        assert stats["reader"] == self.expected_reader(), (stats, self.expected_reader())

    # -- after every step -------------------------------------------------------------------

    def snapshot_ok(self):
        check_snapshot(self.d.stats(), most_pending(self.capacity, self.variable))
        return True

    @invariant()
    def delivered_at_most_once_in_order(self):
        if self.driver is None:
            return
        ids = list(self.receiver.ids)
        assert all(a < b for a, b in zip(ids, ids[1:])), f"duplicate or out of order: {ids}"
        # Every rule waits for its producer to end, so every burst's results are known.
        stored = {(b, s) for b, seqs in enumerate(self.bursts.stored) for s in seqs}
        assert set(ids) <= stored, f"delivered but never stored: {sorted(set(ids) - stored)[:5]}"
        assert not self.receiver.torn, f"torn messages: {self.receiver.torn[:5]}"
        self.snapshot_ok()

    def teardown(self):
        if self.driver is None:
            return
        self.d.close()
        self.driver.close()
        del self.d


def machine(driver):
    cls = type(f"{driver.__name__}Model", (DispatcherModel,), {"driver_class": driver})
    cls.TestCase.settings = BUDGET
    return cls


@pytest.mark.parametrize("driver", [Threaded, ThreadedBlocking, Sync, AsyncioDispatcher, UvloopDispatcher,
                                    ThreadedBatch, ThreadedBatchBlocking, AsyncioBatch, UvloopBatch],
                         ids=lambda d: d.__name__)
def test_dispatcher_model(driver):
    with planned_failures_are_quiet():
        machine(driver).TestCase().runTest()


# ---- AsyncQueue ------------------------------------------------------------------------


class QueueModel(RuleBasedStateMachine):
    """Pushes, pops (some cancelled just after a push woke them), a dispatch task
    and shutdown on one AsyncQueue."""

    loop_factory = staticmethod(asyncio.new_event_loop)

    def __init__(self):
        super().__init__()
        self.loop = self.loop_factory()
        self.capacity = 8
        self.q = self.loop.run_until_complete(self.make())
        self.pushed = 0
        self.refused = 0
        self.received = {}    # per consumer: what it was handed, in its order
        self.pops = []
        self.dispatching = False

    async def make(self):
        return AsyncQueue(slot_size=SLOT, capacity=self.capacity)

    async def push(self, n):
        for _ in range(n):
            try:
                await self.q.push_buf(self.pushed.to_bytes(8, "little"))
                self.pushed += 1
            except asyncio.QueueFull:
                self.refused += 1

    def record(self, consumer, message):
        self.received.setdefault(consumer, []).append(int.from_bytes(message, "little"))

    async def popper(self, name):
        self.record(name, await self.q.pop())

    def waiting_pops(self):
        return [t for t in self.pops if not t.done()]

    def everything_received(self):
        return [m for ms in self.received.values() for m in ms]

    def run(self, coro):
        return self.loop.run_until_complete(asyncio.wait_for(coro, WAIT))

    @rule(n=st.integers(1, 12))
    def push_messages(self, n):
        self.run(self.push(n))

    @rule(n=st.integers(1, 3))
    def start_pops(self, n):
        self.pops += [self.loop.create_task(self.popper(f"pop {len(self.pops) + i}")) for i in range(n)]
        self.run(asyncio.sleep(0))

    @rule()
    @precondition(lambda self: self.waiting_pops())
    def push_then_cancel_the_woken_pop(self):
        async def scenario():
            woken = self.waiting_pops()[0]
            await self.push(1)
            woken.cancel()   # woken by the push, cancelled before it runs
            await asyncio.sleep(0)
        self.run(scenario())

    @rule()
    @precondition(lambda self: not self.dispatching)
    def start_dispatcher(self):
        name = f"dispatch {len(self.received)}"

        async def callback(message):
            self.record(name, message)
        self.q.start_dispatcher(callback)
        self.dispatching = True

    @rule()
    @precondition(lambda self: self.dispatching)
    def shutdown(self):
        self.run(self.q.shutdown())
        self.dispatching = False

    @rule()
    def settle(self):
        def busy():
            stats = self.q.stats()
            consumer_waits = self.waiting_pops() or self.dispatching
            return (stats["pending"] and consumer_waits) or stats["delivered"] != len(self.everything_received())

        async def wait():
            while busy():
                await asyncio.sleep(0.001)
        self.run(wait())
        stats = self.q.stats()
        assert stats["stored"] == self.pushed and stats["refused"] == self.refused, stats
        assert stats["stored"] == stats["delivered"] + stats["pending"], stats
        assert sorted(self.everything_received()) == list(range(stats["delivered"])), "a message went missing"

    @invariant()
    def popped_at_most_once_in_order(self):
        everything = self.everything_received()
        assert len(set(everything)) == len(everything), f"handed out twice: {self.received}"
        for consumer, ms in self.received.items():
            assert ms == sorted(ms), f"{consumer} got messages out of order: {ms}"
        check_snapshot(self.q.stats(), most_pending(self.capacity, False))

    def teardown(self):
        async def cancel_pops():
            for t in self.pops:
                t.cancel()
            await asyncio.gather(*self.pops, return_exceptions=True)
        self.loop.run_until_complete(cancel_pops())
        if self.dispatching:
            self.run(self.q.shutdown())
        self.loop.close()


class UvloopQueueModel(QueueModel):
    loop_factory = staticmethod(uvloop.new_event_loop)


@pytest.mark.parametrize("model", [QueueModel, UvloopQueueModel], ids=["asyncio", "uvloop"])
def test_asyncqueue_model(model):
    model.TestCase.settings = BUDGET
    model.TestCase().runTest()
