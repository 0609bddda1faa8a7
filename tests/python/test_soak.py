"""Soak: sequence-numbered messages through every path, none lost, duplicated
or reordered, and the process holding what it held before.

The test command runs ORVIX_SOAK_COUNT messages per path (default 10^6);
scripts/soak runs the long mode (10^7 per path, and ORVIX_SOAK_BATCH_COUNT,
10^8, through each batch dispatcher, fed in bursts, from a producer process
through a shared ring, and from a C libzmq PUSH sender process through
ZmqReceiver: `scripts/soak zmq [count]` runs that one alone);
`scripts/soak udp [count]` sends datagrams (10^8) over loopback into a
UdpReceiver feeding a ThreadedBatchDispatcher."""
import asyncio
import os
import pathlib
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest
import uvloop

from conftest import UNDER_SANITIZER
from corvane_helpers import eventually
from doc_blocks import ROOT
from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.utils.corvane.corvane import AsyncDispatcher, AsyncQueue, SyncDispatcher, ThreadedDispatcher
from soak_support import (CAPACITY, CHUNK, MESSAGE_SIZE, WARM_CHUNKS, BatchSequenceCheck, SequenceCheck, after_chunk,
                          feed_in_chunks, footprint, rss_bytes)

COUNT = int(os.environ.get("ORVIX_SOAK_COUNT", 1_000_000))
BATCH_COUNT = int(os.environ.get("ORVIX_SOAK_BATCH_COUNT", COUNT))
UDP_COUNT = int(os.environ.get("ORVIX_SOAK_UDP_COUNT", 0))
for name, n in (("ORVIX_SOAK_COUNT", COUNT), ("ORVIX_SOAK_BATCH_COUNT", BATCH_COUNT)):
    assert n % CHUNK == 0 and n > WARM_CHUNKS * CHUNK, f"{name}: a multiple of {CHUNK}, at least 3"
MiB = 1 << 20
BURST = 64   # the batch paths are fed in bursts

pytestmark = [
    pytest.mark.soak,
    pytest.mark.skipif(UNDER_SANITIZER, reason="memory figures mean nothing under the sanitizers"),
    pytest.mark.timeout(120 + max(COUNT, BATCH_COUNT, UDP_COUNT) // 5_000),
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


def delivered_in_stages(check, count, probe, process):
    """Waits while another process produces: probe("warm") after WARM_CHUNKS chunks, probe("end") after the
    last message; then the process must end cleanly."""
    for stage, upto in (("warm", min(WARM_CHUNKS * CHUNK, count)), ("end", count)):
        while check.count < upto and check.fault is None:
            assert process.poll() in (None, 0), "the producing process failed"
            time.sleep(0.01)
        if probe:
            probe(stage)
    assert process.wait(60) == 0


def shared_ring_path(check, count, probe):
    from orvix.shm import SharedRing
    with SharedRing(f"orvix-soak-{os.getpid()}", slot_size=MESSAGE_SIZE, capacity=CAPACITY) as ring:
        d = ThreadedBatchDispatcher(check, ring=ring)
        d.setup()
        producer = subprocess.Popen([sys.executable, "-c", SHARED_RING_PRODUCER, ring.name, str(count // CHUNK),
                                     str(CHUNK), str(MESSAGE_SIZE)])
        delivered_in_stages(check, count, probe, producer)
        d.close()


def zmq_sender_program():
    """bench_zmq, built in this package's tree or in the default one (which alone builds the C++ programs)."""
    import orvix
    tree = pathlib.Path(orvix.__file__).resolve().parents[2]
    for candidate in (tree / "bench" / "bench_zmq", ROOT / "build" / "release" / "bench" / "bench_zmq"):
        if candidate.exists():
            return candidate
    pytest.skip("bench_zmq (the C PUSH sender) is not built: it needs libzmq and the default tree's C++ programs")


def zmq_path(check, count, probe):
    """A C libzmq PUSH sender process into ZmqReceiver's PULL socket: back-pressure, so nothing may be lost."""
    from orvix.net import ZmqReceiver
    d = ThreadedBatchDispatcher(check, capacity=CAPACITY, slot_size=MESSAGE_SIZE)
    d.setup()
    with ZmqReceiver(d, "tcp://127.0.0.1:*", kind="PULL", bind=True) as receiver:
        sender = subprocess.Popen([zmq_sender_program(), "push", receiver.endpoints[0], str(count), str(MESSAGE_SIZE),
                                   "0", str(CHUNK)], stdout=subprocess.DEVNULL)
        delivered_in_stages(check, count, probe, sender)
    stats = receiver.stats()
    assert (stats["received"], stats["stored"]) == (count, count), stats
    d.close()


# UDP over loopback from a C sender process (bench_udp soak) with a credit
# window, so that the socket buffer never overflows and any loss is a fault.
# Only in its own mode: `scripts/soak udp [count]` (ORVIX_SOAK_UDP_COUNT).
UDP_WINDOW = 2048


def udp_path(check, count, probe):
    import orvix
    from orvix.net import UdpReceiver
    program = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(orvix.__file__)))),
                           "bench", "bench_udp")
    credited = [0]
    credits = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender_address = []   # known once the sender has said it, perhaps after its first datagrams

    def callback(batch):
        check(batch)
        if check.count - credited[0] >= UDP_WINDOW // 4 and sender_address:
            credited[0] = check.count
            credits.sendto(struct.pack("<Q", check.count), sender_address[0])

    d = ThreadedBatchDispatcher(callback, capacity=CAPACITY, slot_size=MESSAGE_SIZE)
    d.setup()
    with UdpReceiver(d, ("127.0.0.1", 0), receive_buffer=4 << 20) as receiver:
        sender = subprocess.Popen([program, "soak", "127.0.0.1", str(receiver.address[1]), str(count),
                                   str(UDP_WINDOW), str(CHUNK)], stdout=subprocess.PIPE, text=True)
        sender_address.append(("127.0.0.1", int(sender.stdout.readline().split()[1])))
        for stage, upto in (("warm", min(WARM_CHUNKS * CHUNK, count)), ("end", count)):
            while check.count < upto and check.fault is None:
                assert sender.poll() in (None, 0), "the sender process failed"
                # Credit from here too: everything sent may have been delivered before the address was known.
                credits.sendto(struct.pack("<Q", check.count), sender_address[0])
                time.sleep(0.01)
            if probe:
                probe(stage)
        assert sender.wait(60) == 0
    stats = receiver.stats()
    d.close()
    credits.close()
    assert (stats["received"], stats["stored"], stats["kernel_drops"]) == (count, count, 0), stats


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
    "ThreadedBatchDispatcher-ZmqReceiver-PUSH/PULL": zmq_path,
    "UdpReceiver-ThreadedBatchDispatcher": udp_path,
}


@pytest.mark.parametrize("path", PATHS)
def test_soak(path, capsys):
    batches = "Batch" in path
    new_check, count = (BatchSequenceCheck, BATCH_COUNT) if batches else (SequenceCheck, COUNT)
    if path.startswith("Udp"):
        if not UDP_COUNT:
            pytest.skip("the UDP soak runs in its own mode: scripts/soak udp [count]")
        count = UDP_COUNT
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
