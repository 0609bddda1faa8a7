"""Soak: sequence-numbered messages through every path, none lost, duplicated
or reordered, and the process holding what it held before.

The test command runs ORVIX_SOAK_COUNT messages per path (default 10^6);
scripts/soak runs the long mode (10^7 per path, and ORVIX_SOAK_BATCH_COUNT,
10^8, through each batch dispatcher, fed in bursts, and from a producer
process through a shared ring)."""
import asyncio
import os
import subprocess
import sys
import threading
import time

import pytest
import uvloop

from conftest import UNDER_SANITIZER
from corvane_helpers import eventually
from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.utils.corvane.corvane import AsyncDispatcher, AsyncQueue, SyncDispatcher, ThreadedDispatcher
from soak_support import (CAPACITY, CHUNK, MESSAGE_SIZE, WARM_CHUNKS, BatchSequenceCheck, SequenceCheck, after_chunk,
                          feed_in_chunks, footprint, rss_bytes)

COUNT = int(os.environ.get("ORVIX_SOAK_COUNT", 1_000_000))
BATCH_COUNT = int(os.environ.get("ORVIX_SOAK_BATCH_COUNT", COUNT))
for name, n in (("ORVIX_SOAK_COUNT", COUNT), ("ORVIX_SOAK_BATCH_COUNT", BATCH_COUNT)):
    assert n % CHUNK == 0 and n > WARM_CHUNKS * CHUNK, f"{name}: a multiple of {CHUNK}, at least 3"
MiB = 1 << 20
BURST = 64   # the batch paths are fed in bursts

pytestmark = [
    pytest.mark.soak,
    pytest.mark.skipif(UNDER_SANITIZER, reason="memory figures mean nothing under the sanitizers"),
    pytest.mark.timeout(120 + max(COUNT, BATCH_COUNT) // 5_000),
]


def thread_path(cls, burst=1):
    def run(check, count, probe):
        d = cls(check, capacity=CAPACITY, slot_size=MESSAGE_SIZE)
        d.setup()
        feed_in_chunks(d, check, count, probe, burst)
        d.close()
    return run


async def off_the_loop(fn, *args):
    """fn(*args) on a thread of its own, joined (a loop's executor threads may outlive it)."""
    loop = asyncio.get_running_loop()
    finished = loop.create_future()
    outcome = []

    def run():
        try:
            outcome.append(fn(*args))
        except BaseException as e:
            outcome.append(e)
        loop.call_soon_threadsafe(finished.set_result, None)

    thread = threading.Thread(target=run)
    thread.start()
    await finished
    thread.join()
    if isinstance(outcome[0], BaseException):
        raise outcome[0]


def dispatcher_in_loop(new_loop, cls=AsyncDispatcher, burst=1):
    def run(check, count, probe):
        async def main():
            async def callback(message):
                check(message)
            d = cls(callback, capacity=CAPACITY, slot_size=MESSAGE_SIZE)
            d.setup()
            await off_the_loop(feed_in_chunks, d, check, count, probe, burst)
            d.close()
        with asyncio.Runner(loop_factory=new_loop) as runner:
            runner.run(main())
    return run


def queue_path(check, count, probe):
    async def produce(q, messages):
        for c in range(count // CHUNK):
            for m in messages:
                await q.push_buf(m)
            while check.count < (c + 1) * CHUNK:   # the chunk is delivered before the next
                await asyncio.sleep(0)
            after_chunk(probe, c, count)

    async def consume(q):
        for _ in range(count):
            check(await q.pop())

    async def main():
        q = AsyncQueue(slot_size=MESSAGE_SIZE, capacity=CAPACITY)
        messages = [check.message(n) for n in range(CHUNK)]
        await asyncio.gather(produce(q, messages), consume(q))
        await q.shutdown()
    asyncio.run(main())


# A producer process feeding a shared ring chunk after chunk (the ring holds
# more than a chunk, and a full ring is retried, so nothing is refused for good).
SHARED_RING_PRODUCER = """
import sys
from orvix.feed import Feed
from orvix.shm import SharedRing
producer = SharedRing.attach(sys.argv[1])
for _ in range(int(sys.argv[2])):
    with Feed(producer, count=int(sys.argv[3]), size=int(sys.argv[4]), burst=64) as feed:
        feed.join()
    assert feed.report()["failed"] == 0
"""


def shared_ring_path(check, count, probe):
    from orvix.shm import SharedRing
    with SharedRing(f"orvix-soak-{os.getpid()}", slot_size=MESSAGE_SIZE, capacity=CAPACITY) as ring:
        d = ThreadedBatchDispatcher(check, ring=ring)
        d.setup()
        producer = subprocess.Popen([sys.executable, "-c", SHARED_RING_PRODUCER, ring.name, str(count // CHUNK),
                                     str(CHUNK), str(MESSAGE_SIZE)])
        for stage, upto in (("warm", min(WARM_CHUNKS * CHUNK, count)), ("end", count)):
            while check.count < upto and check.fault is None:
                assert producer.poll() in (None, 0), "the producer process failed"
                time.sleep(0.01)
            if probe:
                probe(stage)
        assert producer.wait(60) == 0
        d.close()


PATHS = {
    "ThreadedDispatcher": thread_path(ThreadedDispatcher),
    "SyncDispatcher": thread_path(SyncDispatcher),
    "AsyncDispatcher-asyncio": dispatcher_in_loop(asyncio.new_event_loop),
    "AsyncDispatcher-uvloop": dispatcher_in_loop(uvloop.new_event_loop),
    "AsyncQueue": queue_path,
    "ThreadedBatchDispatcher": thread_path(ThreadedBatchDispatcher, BURST),
    "AsyncBatchDispatcher-asyncio": dispatcher_in_loop(asyncio.new_event_loop, AsyncBatchDispatcher, BURST),
    "AsyncBatchDispatcher-uvloop": dispatcher_in_loop(uvloop.new_event_loop, AsyncBatchDispatcher, BURST),
    "ThreadedBatchDispatcher-producer-process": shared_ring_path,
}


@pytest.mark.parametrize("path", PATHS)
def test_soak(path, capsys):
    batches = "Batch" in path
    new_check, count = (BatchSequenceCheck, BATCH_COUNT) if batches else (SequenceCheck, COUNT)
    PATHS[path](new_check(), CHUNK, None)   # what a first run sets up for good (uvloop's threads)
    check = new_check()
    before = footprint()
    rss = {}
    start = time.monotonic()
    PATHS[path](check, count, lambda stage: rss.setdefault(stage, rss_bytes()))
    elapsed = time.monotonic() - start
    assert check.fault is None, check.fault
    assert check.count == count
    growth = rss["end"] - rss["warm"]
    with capsys.disabled():
        print(f"\nsoak {path}: {count} messages in {elapsed:.1f} s, RSS growth after the first {WARM_CHUNKS * CHUNK} "
              f"{growth / 1024:+.0f} KiB")
    assert growth < MiB
    # A loop's helper threads may take a moment to leave after the loop closed.
    eventually(lambda: all(a <= b for a, b in zip(footprint(), before)), timeout=10)
    after = footprint()
    assert after[0] <= before[0] and after[1] <= before[1], f"(file descriptors, threads): {before} -> {after}"
