"""stats(): every push is accounted for, the producer hears the truth, and the reader's end is visible."""
import asyncio
import sys
import threading

import pytest

from corvane_helpers import eventually
from orvix.feed import Feed, parse_header
from orvix.utils.corvane.corvane import AsyncDispatcher, AsyncQueue, SyncDispatcher, ThreadedDispatcher

pytestmark = pytest.mark.timeout(60)

DISPATCHERS = [ThreadedDispatcher, SyncDispatcher, AsyncDispatcher]
PUSHED = 200
CLOSED, TOO_LARGE = -2, -1


def run_dispatcher(cls, callback, before_setup, after_close=lambda d: None, **options):
    """Makes a dispatcher, runs before_setup(d) while no reader runs yet, starts the reader, waits
    until the ring is empty and every message taken has reached `callback`, then closes it and
    runs after_close(d). Returns (what before_setup returned, stats before close, stats at the end)."""
    def drained(d, seen_before):
        s = d.stats()
        return s["pending"] == 0 and s["delivered"] == seen_before()

    if cls is AsyncDispatcher:
        async def main():
            calls = 0

            async def on_message(message):
                nonlocal calls
                calls += 1
                callback(message)
            d = cls(on_message, **options)
            made = before_setup(d)
            d.setup()
            while not drained(d, lambda: calls):
                await asyncio.sleep(0.001)
            stats = d.stats()
            d.close()
            after_close(d)
            return made, stats, d.stats()
        return asyncio.run(main())

    calls = 0

    def counting(message):
        nonlocal calls
        callback(message)
        calls += 1
    d = cls(counting, **options)
    made = before_setup(d)
    d.setup()
    assert eventually(lambda: drained(d, lambda: calls))
    stats = d.stats()
    d.close()
    after_close(d)
    return made, stats, d.stats()


def feed(d, count=PUSHED, **options):
    """A native producer's pushes, each message's result kept."""
    f = Feed(d, count=count, on_full="skip", record_results=True, **options)
    f.start()
    assert f.join(30)
    return [int.from_bytes([r], signed=True) for r in f.results()]


@pytest.mark.parametrize("cls", DISPATCHERS)
@pytest.mark.parametrize("mode", ["refusing", "overwrite", "variable_size"])
def test_an_overfilled_ring_accounts_for_every_push(cls, mode):
    seen = []
    options = {"overwrite": True} if mode == "overwrite" else {"variable_size": mode == "variable_size"}
    results, stats, closed = run_dispatcher(
        cls, lambda m: seen.append(parse_header(m)[0]), feed, capacity=16, slot_size=64, **options)

    assert set(results) <= {0, 1}
    assert stats["stored"] == results.count(1) and stats["refused"] == results.count(0)
    assert stats["stored"] + stats["refused"] == PUSHED
    assert stats["delivered"] == len(seen) and stats["pending"] == 0
    if mode == "overwrite":
        # Nothing was refused; the oldest made room, so the newest arrived.
        assert stats["refused"] == 0 and stats["dropped"] == PUSHED - len(seen) > 0
        assert seen == list(range(PUSHED - len(seen), PUSHED))
    else:
        # Exactly the messages the producer was told were stored arrived, in order.
        assert stats["dropped"] == 0 and stats["refused"] > 0
        assert seen == [seq for seq, r in enumerate(results) if r == 1]
    assert (stats["reader"], closed["reader"]) == ("running", "closed")


@pytest.mark.parametrize("cls", DISPATCHERS)
def test_a_message_that_can_never_be_stored_is_answered_negative_and_counted(cls):
    seen = []
    results, stats, _ = run_dispatcher(cls, seen.append, lambda d: feed(d, count=3, size=65), slot_size=64)
    assert results == [TOO_LARGE] * 3
    assert (stats["stored"], stats["refused"], stats["delivered"], seen) == (0, 3, 0, [])


@pytest.mark.parametrize("cls", DISPATCHERS)
def test_a_push_after_close_is_refused_as_closed_and_counted(cls):
    late, seen = [], []
    _, _, end = run_dispatcher(cls, seen.append, lambda d: feed(d, count=5),
                               after_close=lambda d: late.extend(feed(d, count=3)))
    assert late == [CLOSED] * 3
    assert (end["stored"], end["refused"], end["delivered"], end["pending"], len(seen)) == (5, 3, 5, 0, 5)


class Boom(Exception):
    pass


# The reader's end is also reported (unraisable hook, threading.excepthook), as it always was.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning",
                            "ignore::pytest.PytestUnhandledThreadExceptionWarning")
@pytest.mark.parametrize("cls", DISPATCHERS + [AsyncQueue])
def test_a_raising_callback_leaves_the_reader_stopped_with_its_exception(cls):
    raised = Boom("first message")

    def fail(message):
        raise raised

    async def fail_async(message):
        fail(message)

    def stopped(d):
        return d.stats()["reader"] == "stopped"

    if cls in (AsyncDispatcher, AsyncQueue):
        async def main():
            if cls is AsyncQueue:
                d = AsyncQueue()
                await d.push_buf(b"one")
                await d.push_buf(b"two")
                d.start_dispatcher(fail_async)
            else:
                d = cls(fail_async)
                feed(d, count=2)
                d.setup()
            while not stopped(d):
                await asyncio.sleep(0.001)
            stats = d.stats()
            if cls is AsyncQueue:
                with pytest.raises(Boom):
                    await d.shutdown()
            else:
                d.close()
            return stats, d.stats()
        stats, after_close = asyncio.run(main())
    else:
        d = cls(fail)
        feed(d, count=2)
        d.setup()
        assert eventually(lambda: stopped(d))
        stats = d.stats()
        d.close()
        after_close = d.stats()

    assert stats["error"] is raised and stats["delivered"] == 1
    # The first end is kept: close() after the reader stopped does not hide why.
    assert after_close["reader"] == "stopped" and after_close["error"] is raised


def test_async_queue_counts_refused_and_overwritten_pushes():
    async def main():
        full = AsyncQueue(capacity=4)
        refused = 0
        for i in range(10):
            try:
                await full.push_buf(bytes([i]))
            except asyncio.QueueFull:
                refused += 1
        first = [await full.pop() for _ in range(4)]
        stats = full.stats()

        newest = AsyncQueue(capacity=4, overwrite=True)
        for i in range(10):
            await newest.push_buf(bytes([i]))
        kept = [await newest.pop() for _ in range(4)]
        await full.shutdown()
        return refused, first, stats, kept, newest.stats(), full.stats()

    refused, first, stats, kept, overwritten, shut = asyncio.run(main())
    assert refused == 6 and first == [bytes([i]) for i in range(4)]
    assert stats == {"stored": 4, "refused": 6, "dropped": 0, "delivered": 4, "pending": 0, "reader": "not started"}
    assert kept == [bytes([i]) for i in range(6, 10)]
    assert overwritten == {"stored": 10, "refused": 0, "dropped": 6, "delivered": 4, "pending": 0,
                           "reader": "not started"}
    assert shut["reader"] == "closed"


SNAPSHOTS = 300


def snapshots_during_delivery(cls, capacity, overwrite):
    """SNAPSHOTS reads of stats() while a producer keeps the ring busy and the reader empties it.

    Counted rather than timed, so a slow build (the sanitizers) takes as many as a fast one."""
    snapshots = []
    if cls is AsyncQueue:
        async def main():
            q = AsyncQueue(capacity=capacity, slot_size=64, overwrite=overwrite)

            async def produce():
                while len(snapshots) < SNAPSHOTS:
                    for _ in range(capacity // 2):
                        try:
                            await q.push_buf(b"m")
                        except asyncio.QueueFull:
                            break
                        snapshots.append(q.stats())
                    await asyncio.sleep(0)

            async def consume():
                while True:
                    await q.pop()
                    snapshots.append(q.stats())

            consumer = asyncio.create_task(consume())
            await produce()
            consumer.cancel()
            await q.shutdown()
        asyncio.run(main())
        return snapshots[:SNAPSHOTS]

    # The feed runs far longer than the reads take; leaving the block stops it.
    options = dict(capacity=capacity, slot_size=16, overwrite=overwrite)
    if cls is AsyncDispatcher:
        async def main():
            async def ignore(message):
                pass
            d = cls(ignore, **options)
            d.setup()
            with Feed(d, duration=600, size=16, on_full="skip") as f:
                while f.running and len(snapshots) < SNAPSHOTS:
                    snapshots.append(d.stats())
                    await asyncio.sleep(0)   # the reader task runs in between
            d.close()
        asyncio.run(main())
        return snapshots

    d = cls(lambda m: None, **options)
    d.setup()
    with Feed(d, duration=600, size=16, on_full="skip") as f:
        while f.running and len(snapshots) < SNAPSHOTS:
            snapshots.append(d.stats())
    d.close()
    return snapshots


@pytest.mark.parametrize("overwrite", [False, True], ids=["refusing", "overwrite"])
@pytest.mark.parametrize("cls", DISPATCHERS + [AsyncQueue])
def test_every_snapshot_during_delivery_keeps_the_documented_relations(cls, overwrite):
    capacity = 256
    snapshots = snapshots_during_delivery(cls, capacity, overwrite)
    assert len(snapshots) == SNAPSHOTS
    wrong = [s for s in snapshots
             if not (s["delivered"] + s["dropped"] + s["pending"] <= s["stored"] + 1 and
                     s["pending"] <= capacity + 1)]
    assert wrong == [], f"{len(wrong)} of {len(snapshots)}"
