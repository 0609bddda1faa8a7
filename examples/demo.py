"""orvix end to end: one native producer thread feeding each delivery path.

For every dispatcher, the installed native feed (`orvix.feed.Feed`) pushes
COUNT messages from its own native thread without the interpreter lock; the
demo checks that every message arrived, in order and intact, and prints the
rate.
The AsyncQueue part moves messages between two coroutines of one event loop.

Run from a build tree:  PYTHONPATH=build/<tree>/python .venv/bin/python examples/demo.py
"""
import asyncio
import struct
import threading
import time

from orvix.feed import HEADER_SIZE, Feed, parse_header
from orvix.utils.corvane.corvane import AsyncDispatcher, AsyncQueue, SyncDispatcher, ThreadedDispatcher

COUNT = 200_000
SIZE = 64


def expected_tail(i):
    """The bytes after the header of message i (the same for the feed and the AsyncQueue part)."""
    return bytes((i + k) & 0xFF for k in range(HEADER_SIZE, SIZE))


class Checker:
    """Counts messages, verifies order and content, and signals the last one."""

    def __init__(self, count, done):
        self.count = count
        self.received = 0
        self.faults = 0
        self.done = done

    def __call__(self, message):
        i = self.received
        # Full comparison for a sample; the sequence number for every message.
        if parse_header(message)[0] != i or (i % 997 == 0 and message[HEADER_SIZE:] != expected_tail(i)):
            self.faults += 1
        self.received += 1
        if self.received == self.count:
            self.done.set()

    async def coroutine(self, message):
        self(message)


def report(path, checker, seconds):
    state = "ok" if checker.received == checker.count and not checker.faults else "FAILED"
    print(f"  {path:<20} {checker.received:>8} messages in order, {checker.faults} faults, "
          f"{checker.received / seconds / 1e6:5.2f} M msgs/s   [{state}]")
    return state == "ok"


def on_a_reader_thread(dispatcher_class):
    """ThreadedDispatcher and SyncDispatcher: the callback runs on a reader thread."""
    done = threading.Event()
    checker = Checker(COUNT, done)
    d = dispatcher_class(checker, capacity=COUNT, slot_size=SIZE)
    d.setup()
    start = time.perf_counter()
    with Feed(d, count=COUNT, size=SIZE):
        done.wait(60)
        seconds = time.perf_counter() - start
    d.close()
    return report(dispatcher_class.__name__, checker, seconds)


async def async_dispatcher():
    done = asyncio.Event()
    checker = Checker(COUNT, done)
    d = AsyncDispatcher(checker.coroutine, capacity=COUNT, slot_size=SIZE)
    d.setup()
    start = time.perf_counter()
    with Feed(d, count=COUNT, size=SIZE):
        await asyncio.wait_for(done.wait(), 60)
        seconds = time.perf_counter() - start
    d.close()
    return report("AsyncDispatcher", checker, seconds)


async def async_queue():
    q = AsyncQueue(slot_size=SIZE, capacity=1024)
    tails = [bytes(8) + expected_tail(i) for i in range(256)]   # an untimed header
    done = asyncio.Event()
    checker = Checker(COUNT, done)

    async def producer():
        for i in range(COUNT):
            await q.push_buf(struct.pack("<Q", i) + tails[i & 0xFF])
            if i % 512 == 511:
                await asyncio.sleep(0)  # let the consumer drain before the ring fills

    async def consumer():
        for _ in range(COUNT):
            checker(await q.pop())

    start = time.perf_counter()
    await asyncio.gather(producer(), consumer())
    seconds = time.perf_counter() - start
    await q.shutdown()
    return report("AsyncQueue push/pop", checker, seconds)


def main():
    print(f"orvix demo: {COUNT} messages of {SIZE} bytes on each path")
    results = [on_a_reader_thread(ThreadedDispatcher), on_a_reader_thread(SyncDispatcher),
               asyncio.run(async_dispatcher()), asyncio.run(async_queue())]
    if not all(results):
        raise SystemExit("orvix demo: a path lost, reordered or damaged messages")


if __name__ == "__main__":
    main()
