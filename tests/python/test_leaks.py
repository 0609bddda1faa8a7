"""Leak check: every class created and destroyed ORVIX_LEAK_CYCLES times
(default 10^5), bare and with setup()/close() (AsyncQueue: start_dispatcher()
/ shutdown()): resident memory grows by less than 1 MiB, and file descriptors
and threads are back to where they started."""
import asyncio
import gc
import os

import pytest

from conftest import UNDER_SANITIZER
from corvane_helpers import eventually, native_threads
from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.utils.corvane.corvane import AsyncDispatcher, AsyncQueue, SyncDispatcher, ThreadedDispatcher
from soak_support import footprint, rss_bytes

CYCLES = int(os.environ.get("ORVIX_LEAK_CYCLES", 100_000))
WARM_UP = 2_000
MiB = 1 << 20

pytestmark = [
    pytest.mark.soak,
    pytest.mark.skipif(UNDER_SANITIZER, reason="memory figures mean nothing under the sanitizers"),
    pytest.mark.timeout(120 + CYCLES // 500),
]


def ignore(message):
    pass


async def ignore_async(message):
    pass


def threaded(started):
    d = ThreadedDispatcher(ignore)
    if started:
        d.setup()
        d.close()


def sync(started):
    d = SyncDispatcher(ignore)
    if started:
        d.setup()
        d.close()


async def async_dispatcher(started):
    d = AsyncDispatcher(ignore_async)
    if started:
        d.setup()
        d.close()


async def async_queue(started):
    q = AsyncQueue()
    if started:
        q.start_dispatcher(ignore)
        await q.shutdown()


def threaded_batch(started):
    d = ThreadedBatchDispatcher(ignore)
    if started:
        d.setup()
        d.close()


async def async_batch_dispatcher(started):
    d = AsyncBatchDispatcher(ignore_async)
    if started:
        d.setup()
        d.close()


CLASSES = {"ThreadedDispatcher": threaded, "SyncDispatcher": sync,
           "AsyncDispatcher": async_dispatcher, "AsyncQueue": async_queue,
           "ThreadedBatchDispatcher": threaded_batch, "AsyncBatchDispatcher": async_batch_dispatcher}


def cycles(cycle, started):
    """A function running n cycles; a coroutine's cycles run in a loop of their own."""
    if not asyncio.iscoroutinefunction(cycle):
        def run(n):
            threads = native_threads()
            for i in range(n):
                cycle(started)
                # Readers leave after close() returns: letting them catch up
                # every few cycles keeps the threads alive at once (and so the
                # thread library's cache of stacks and its malloc arenas)
                # bounded by the same small number in the warm-up and in the
                # measured cycles. With 64 a loaded machine let dozens pile up
                # after the warm-up and grew them by 1.4 MiB.
                if i % 8 == 7:
                    eventually(lambda: native_threads() <= threads, timeout=30)
            # The last readers, too, before the footprint is read: on a loaded
            # machine some are still on their way out.
            eventually(lambda: native_threads() <= threads, timeout=30)
        return run

    async def batch(n):
        for i in range(n):
            await cycle(started)
            if i % 64 == 0:
                await asyncio.sleep(0)   # let the loop run the cancellations close() asked for
        await asyncio.sleep(0)
    return lambda n: asyncio.run(batch(n))


def measure(run):
    """(RSS growth, footprint before, footprint after) over CYCLES cycles after a warm-up."""
    run(WARM_UP)
    gc.collect()
    before, rss = footprint(), rss_bytes()
    run(CYCLES)
    gc.collect()
    return rss_bytes() - rss, before, footprint()


@pytest.mark.parametrize("started", [False, True], ids=["bare", "setup-close"])
@pytest.mark.parametrize("name", CLASSES)
def test_create_and_destroy(name, started, capsys):
    growth, before, after = measure(cycles(CLASSES[name], started))
    with capsys.disabled():
        print(f"\nleak {name} {'with setup/close' if started else 'bare'}: {CYCLES} cycles, "
              f"RSS growth {growth / 1024:+.0f} KiB, (fds, threads) {before} -> {after}")
    assert growth < MiB
    assert after[0] <= before[0] and after[1] <= before[1], "(file descriptors, threads)"
