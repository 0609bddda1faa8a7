"""Batch delivery through ThreadedBatchDispatcher and AsyncBatchDispatcher (asyncio
and uvloop): order and content across batches of every size, variable sizes,
full rings with exact stats(), kept batches, numpy records, burst pushes,
close, forgotten close, fork and interpreter exit."""
import asyncio
import gc
import inspect
import os
import threading
import time

import numpy as np
import pytest
import uvloop

from conftest import UNDER_SANITIZER
from corvane_helpers import check_python, eventually, native_threads
from orvix.batch import AsyncBatchDispatcher, Batch, ThreadedBatchDispatcher
from orvix.feed import HEADER_SIZE, Feed, parse_header
from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher, ThreadedDispatcher

KINDS = pytest.mark.parametrize("kind", ["threaded", "asyncio", "uvloop"])
WAIT = 30.0


async def ignore(batch):
    pass


def numbers(messages):
    return [parse_header(m)[0] for m in messages]


def intact(message):
    seq = parse_header(message)[0]
    return all(b == (seq + i) & 0xFF for i, b in enumerate(message[HEADER_SIZE:], HEADER_SIZE))


class Harness:
    """One batch dispatcher of either class, its reader's thread or loop, and
    what its callback was handed. With `gated`, each call waits for release()
    before it returns, so that the next batch collects what is pushed meanwhile."""

    def __init__(self, kind, gated=False, keep=False, **kwargs):
        self.loop = None if kind == "threaded" else (uvloop if kind == "uvloop" else asyncio).new_event_loop()
        self.batches = []      # per call: the messages as bytes (or the Batch itself, with keep)
        self.keep = keep
        self.gated = gated
        if self.loop is None:
            self.permits = threading.Semaphore(0)
            self.d = ThreadedBatchDispatcher(self.take_blocking, **kwargs)
        else:
            self.permits = asyncio.Semaphore(0)
            self.d = AsyncBatchDispatcher(self.take_async, **kwargs)

    def record(self, batch):
        assert isinstance(batch, Batch)
        self.batches.append(batch if self.keep else list(batch))

    def take_blocking(self, batch):
        self.record(batch)
        if self.gated:
            assert self.permits.acquire(timeout=WAIT)

    async def take_async(self, batch):
        self.record(batch)
        if self.gated:
            await asyncio.wait_for(self.permits.acquire(), WAIT)

    def release(self):
        if self.loop is None:
            self.permits.release()
        else:
            self.loop.call_soon_threadsafe(self.permits.release)

    def messages(self):
        return [m for b in self.batches for m in b]

    def run_until(self, predicate):
        if self.loop is None:
            assert eventually(predicate, WAIT), self.d.stats()
            return

        async def wait():
            while not predicate():
                await asyncio.sleep(0.001)
        self.loop.run_until_complete(asyncio.wait_for(wait(), WAIT))

    def setup(self):
        if self.loop is None:
            self.d.setup()
        else:
            async def in_loop():
                self.d.setup()
            self.loop.run_until_complete(in_loop())

    def close(self):
        self.d.close()
        if self.loop is not None:
            self.loop.run_until_complete(asyncio.sleep(0.01))   # the task's cancellation
            self.loop.close()


def push(d, count, size=64, **kwargs):
    feed = Feed(d, count=count, size=size, **kwargs)
    feed.start()
    assert feed.join(WAIT)
    return feed.report()


def ids(messages):
    """(size, seq) of each message: the size tells the pushes of a test apart."""
    return [(len(m), parse_header(m)[0]) for m in messages]


@KINDS
@pytest.mark.parametrize("variable", [False, True], ids=["fixed", "variable"])
@pytest.mark.timeout(90)
def test_order_and_content_across_batches_of_every_size(kind, variable):
    max_batch = 9
    h = Harness(kind, gated=True, slot_size=64, capacity=64, max_batch=max_batch, variable_size=variable)
    h.setup()
    # The reader holds each batch until released, so what is pushed meanwhile
    # is all in the ring when it takes the next: k messages, or max_batch of
    # them and the rest in the batch after.
    pushes = [1, *range(1, max_batch + 4)]
    expected_sizes = []
    for i, k in enumerate(pushes):
        assert push(h.d, k, size=HEADER_SIZE + i)["stored"] == k
        for size in ([k] if k <= max_batch else [max_batch, k - max_batch]):
            if expected_sizes:
                h.release()
            expected_sizes.append(size)
            h.run_until(lambda: len(h.batches) == len(expected_sizes))
    h.release()
    assert [len(b) for b in h.batches] == expected_sizes
    assert ids(h.messages()) == [(HEADER_SIZE + i, s) for i, k in enumerate(pushes) for s in range(k)]
    assert all(map(intact, h.messages()))
    h.run_until(lambda: h.d.stats()["delivered"] == sum(pushes))
    h.close()


@KINDS
@pytest.mark.timeout(60)
def test_variable_sizes_offsets_and_records_larger_than_a_batch(kind):
    # Four 64-byte slots' worth per batch; the 1000-byte records grow the buffer.
    h = Harness(kind, keep=True, slot_size=64, capacity=64, max_batch=4, variable_size=True)
    sizes = [16, 17, 63, 64, 100, 1000]
    for size in sizes:
        assert push(h.d, 2, size=size)["stored"] == 2
    h.setup()
    h.run_until(lambda: sum(map(len, h.batches)) == 2 * len(sizes))
    assert ids(h.messages()) == [(size, s) for size in sizes for s in range(2)]
    for batch in h.batches:
        payload, offsets = bytes(batch), batch.offsets
        assert len(offsets) == len(batch) + 1 and offsets[0] == 0 and offsets[-1] == batch.nbytes == len(payload)
        assert [payload[a:b] for a, b in zip(offsets, offsets[1:])] == list(batch)
        assert batch[-1] == batch[len(batch) - 1]
        with pytest.raises(IndexError):
            batch[len(batch)]
    h.close()


@KINDS
@pytest.mark.timeout(60)
def test_a_reader_buffer_grows_until_max_batch_full_slots_fit(kind):
    # A reader starts with a small buffer: batches of full 2000-byte slots
    # grow until max_batch of them fit in one.
    h = Harness(kind, slot_size=2048, capacity=4096)
    assert push(h.d, 4000, size=2000)["stored"] == 4000
    h.setup()
    h.run_until(lambda: len(h.messages()) == 4000)
    sizes = [len(b) for b in h.batches]
    assert sizes[0] < 1024 and max(sizes) == 1024 and sizes == sorted(sizes[:-1]) + sizes[-1:], sizes
    assert ids(h.messages()) == [(2000, s) for s in range(4000)]
    h.close()


@KINDS
@pytest.mark.parametrize("mode", ["refusing", "overwrite", "block_on_full"])
@pytest.mark.timeout(60)
def test_a_full_ring_accounts_for_every_push(kind, mode):
    if kind != "threaded" and mode == "block_on_full":
        pytest.skip("AsyncBatchDispatcher has no block_on_full")
    h = Harness(kind, slot_size=64, capacity=16, **({mode: True} if mode != "refusing" else {}))
    # Before setup no reader makes room: a blocking push is refused as well.
    report = push(h.d, 40, on_full="skip")
    overwrite = mode == "overwrite"
    assert (report["stored"], report["refused"]) == ((40, 0) if overwrite else (16, 24))
    expected = {"stored": report["stored"], "refused": report["refused"], "dropped": 24 if overwrite else 0,
                "delivered": 0, "pending": 16, "reader": "not started"}
    stats = h.d.stats()
    stats.pop("wakeups_failed", None)
    assert stats == expected
    h.setup()
    h.run_until(lambda: h.d.stats()["delivered"] == 16)
    assert numbers(h.messages()) == list(range(24, 40) if overwrite else range(16))
    stats = h.d.stats()
    assert stats.pop("wakeups_failed", 0) == 0
    assert stats == {**expected, "delivered": 16, "pending": 0, "reader": "running"}
    h.close()
    assert h.d.stats()["reader"] == "closed"


@KINDS
@pytest.mark.timeout(60)
def test_a_kept_batch_survives_later_batches_and_an_unkept_one_is_reused(kind):
    h = Harness(kind, gated=True, keep=True, slot_size=64, capacity=64, max_batch=64)
    push(h.d, 10)
    h.setup()
    h.run_until(lambda: len(h.batches) == 1)
    first = h.batches[0]
    view, records = memoryview(first), np.frombuffer(first, dtype=np.uint8)
    before = bytes(first)
    h.batches.clear()   # from here on the callback's batches are not kept...
    h.keep = False
    for _ in range(3):
        push(h.d, 30)
        h.release()
        h.run_until(lambda: h.batches and len(h.batches[-1]) == 30)
        h.batches.clear()
    assert bytes(first) == before and bytes(view) == before and records.tobytes() == before
    assert numbers(first) == list(range(10))
    h.release()
    h.close()


@KINDS
@pytest.mark.timeout(60)
def test_a_batch_reuses_its_buffer_when_the_callback_keeps_nothing(kind):
    h = Harness(kind, gated=True, slot_size=64, capacity=64)
    seen = []
    record = h.record
    h.record = lambda batch: (seen.append(id(batch)), record(batch))
    push(h.d, 1)
    h.setup()
    for n in range(1, 5):
        h.run_until(lambda: len(h.batches) == n)
        push(h.d, 5)
        h.release()
    h.run_until(lambda: len(h.batches) == 5)
    h.release()
    assert len(set(seen)) == 1, "the reader made a new Batch although none was kept"
    assert numbers(h.messages()) == [0] + list(range(5)) * 4
    h.close()


@KINDS
@pytest.mark.timeout(60)
def test_fixed_size_records_into_a_numpy_structured_array(kind):
    record = np.dtype([("seq", "<u8"), ("sent_ns", "<u8"), ("tail", "V48")])
    arrays = []
    h = Harness(kind, slot_size=64, capacity=1024)
    h.record = lambda batch: arrays.append(np.frombuffer(batch, dtype=record).copy())
    h.setup()
    push(h.d, 1000)   # (the ring takes them all while an event loop is not running)
    h.run_until(lambda: sum(map(len, arrays)) == 1000)
    seq = np.concatenate(arrays)["seq"]
    assert (seq == np.arange(1000)).all()
    h.close()


@pytest.mark.parametrize("cls", [ThreadedDispatcher, SyncDispatcher, AsyncDispatcher, ThreadedBatchDispatcher,
                                 AsyncBatchDispatcher], ids=lambda c: c.__name__)
@pytest.mark.timeout(60)
def test_a_burst_push_gets_the_results_of_single_pushes(cls):
    # Into a ring of 16 that no reader empties: the same results, message by
    # message, whether pushed one at a time or in bursts of 7.
    results = {}
    for burst in (1, 7):
        d = cls(ignore if cls is AsyncBatchDispatcher else print, capacity=16, slot_size=64)
        feed = Feed(d, count=40, burst=burst, on_full="skip", record_results=True)
        feed.start()
        assert feed.join(WAIT)
        results[burst] = (feed.results(), d.stats()["stored"], d.stats()["refused"])
        d.close()
    assert results[7] == results[1] == (b"\x01" * 16 + b"\x00" * 24, 16, 24)


@pytest.mark.parametrize("cls", [ThreadedDispatcher, ThreadedBatchDispatcher], ids=lambda c: c.__name__)
@pytest.mark.parametrize("block_on_full", [False, True], ids=["retry", "blocking"])
@pytest.mark.timeout(60)
def test_burst_pushes_arrive_whole_and_in_order(cls, block_on_full):
    got = []
    done = threading.Event()

    def callback(batch_or_message):
        got.extend([batch_or_message] if isinstance(batch_or_message, bytes) else batch_or_message)
        if len(got) == 20000:
            done.set()
    d = cls(callback, capacity=64, slot_size=64, block_on_full=block_on_full)
    d.setup()
    report = push(d, 20000, burst=13)
    assert report["stored"] == 20000 and (report["refused"] == 0 or not block_on_full)
    assert done.wait(WAIT)
    assert numbers(got) == list(range(20000)) and all(map(intact, got))
    d.close()


@pytest.mark.parametrize("cls", [ThreadedBatchDispatcher, AsyncBatchDispatcher], ids=lambda c: c.__name__)
def test_constructors_without_traps(cls):
    shm = pytest.importorskip("orvix.shm")
    threaded, name = cls is ThreadedBatchDispatcher, cls.__name__
    callback = print if threaded else ignore
    assert str(inspect.signature(cls)).startswith("(callback, *, slot_size=2048, capacity=16384, max_batch=1024")
    with pytest.raises(TypeError, match="positional"):   # corvane's order or the old batch order: neither
        cls(callback, 16384, 64)
    with pytest.raises(TypeError, match=f"{name}.*'callback' must be callable"):
        cls(3)
    for kwargs, error in (({"capacity": 0}, ValueError), ({"slot_size": "x"}, TypeError),
                          ({"slot_size": 1 << 62, "capacity": 1 << 62}, OverflowError)):
        with pytest.raises(error, match=rf"^{name}\(\): "):   # every message names the class
            cls(callback, **kwargs)
    if not threaded:
        with pytest.raises(TypeError, match=f"{name}.*coroutine function"):
            cls(print)

        class Awaiting:
            async def __call__(self, batch):
                pass
        cls(Awaiting()).close()
    with shm.SharedRing(f"orvix-test-{os.getpid()}-traps", slot_size=64, capacity=8) as ring:
        beside = ["slot_size", "capacity", "variable_size", "overwrite"] + (["block_on_full"] if threaded else [])
        for keyword in beside:
            with pytest.raises(ValueError, match=f"{name}.*{keyword} cannot be given beside"):
                cls(callback, ring=ring, **{keyword: 1})
        cls(callback, ring=ring, max_batch=4).close()
    if threaded:
        d = cls(callback)
        d.setup()
        with pytest.raises(RuntimeError, match="this ThreadedBatchDispatcher is already running"):
            d.setup()
        d.close()


# ---- close, forgotten close, fork, interpreter exit -----------------------------------


@KINDS
@pytest.mark.timeout(60)
def test_close_refuses_pushes_and_the_counters_add_up(kind):
    h = Harness(kind, gated=True, slot_size=64, capacity=256)
    h.setup()
    push(h.d, 1)
    h.run_until(lambda: len(h.batches) == 1)   # the reader holds its first batch
    push(h.d, 50)
    h.close() if kind == "threaded" else h.d.close()
    assert push(h.d, 5)["failed"] == 5          # refused as closed
    h.gated = False
    h.release()
    if kind == "threaded":
        # The reader delivers what the ring held, then leaves.
        h.run_until(lambda: h.d.stats()["delivered"] == 51)
    else:
        h.loop.run_until_complete(asyncio.sleep(0.05))   # the task is cancelled
        h.loop.close()
    stats = h.d.stats()
    assert stats["stored"] == 51 and stats["refused"] == 5 and stats["reader"] == "closed"
    assert stats["delivered"] + stats["pending"] == 51
    assert numbers(h.messages()) == [0] + list(range(stats["delivered"] - 1))


@pytest.mark.timeout(60)
def test_a_forgotten_threaded_batch_dispatcher_lets_its_reader_go():
    threads = native_threads()
    d = ThreadedBatchDispatcher(lambda batch: time.sleep(0.001), slot_size=64)
    d.setup()
    push(d, 5000, burst=50)
    del d
    gc.collect()
    assert eventually(lambda: native_threads() <= threads), "the reader outlived its dispatcher"


@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
@pytest.mark.timeout(60)
def test_an_async_batch_dispatcher_collected_as_its_loop_ends_is_quiet(loop):
    out = check_python(f"""
        import asyncio, gc, sys
        from orvix.batch import AsyncBatchDispatcher
        from orvix.feed import Feed
        reports = []
        sys.unraisablehook = lambda u: reports.append((u.exc_type.__name__, str(u.exc_value)))
        async def callback(batch):
            pass
        async def main():
            for _ in range(20):
                d = AsyncBatchDispatcher(callback)
                d.setup()
                Feed(d, count=100, burst=10).start()
        import {loop}
        {loop}.run(main()) if {loop!r} == "uvloop" else asyncio.run(main())
        gc.collect()
        print(reports)
    """, timeout=30)
    assert out == "[]\n"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.skipif(bool(os.environ.get("ORVIX_UNDER_TSAN")),
                    reason="ThreadSanitizer does not follow a child that starts threads after a multi-threaded fork")
@pytest.mark.timeout(60)
def test_a_forked_child_starts_its_own_batch_reader():
    out = check_python("""
        import os, sys, threading, time, traceback
        from orvix.batch import ThreadedBatchDispatcher
        from orvix.feed import Feed, parse_header
        got, entered, release = [], threading.Event(), threading.Event()
        def callback(batch):
            got.extend(parse_header(m)[0] for m in batch)
            entered.set()
            release.wait(20)
        def push(d, count):
            f = Feed(d, count=count, size=64)
            f.start()
            assert f.join(20)
        def delivered(expected):
            for _ in range(2000):
                if len(got) >= len(expected):
                    break
                time.sleep(0.005)
            assert got == expected, got
        d = ThreadedBatchDispatcher(callback, slot_size=64)
        d.setup()
        push(d, 1)
        assert entered.wait(20)    # the reader holds batch [0]; [0, 1, 2] wait in the ring
        push(d, 3)
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                release.set()
                got.clear()
                d.setup()          # the child has no reader until it starts one
                delivered([0, 1, 2])
                d.close()
                code = 0
            except BaseException:
                traceback.print_exc()
            finally:
                sys.stdout.flush(); sys.stderr.flush()
                os._exit(code)
        release.set()
        delivered([0, 0, 1, 2])    # the parent's reader is untouched
        _, status = os.waitpid(pid, 0)
        d.close()
        print("child", os.waitstatus_to_exitcode(status))
    """, timeout=60)
    assert out == "child 0\n"


@pytest.mark.parametrize("scenario", ["waiting", "delivering"])
@pytest.mark.timeout(60)
def test_interpreter_exit_with_a_running_batch_reader(scenario):
    out = check_python(f"""
        import time
        from orvix.batch import ThreadedBatchDispatcher
        from orvix.feed import Feed
        def slow(batch):
            time.sleep(0.3)   # lock released while the interpreter exits
        d = ThreadedBatchDispatcher(slow, max_batch=2)
        d.setup()
        feed = Feed(d, count=1 if {scenario!r} == "waiting" else 20)
        feed.start()
        feed.join()
        while d.stats()["delivered"] == 0:
            time.sleep(0.01)
        print("exiting")
    """, timeout=30)
    assert out == "exiting\n"
