"""orvix end to end: every delivery path, each beside the way it is done without orvix.

Each path carries numbered messages from a native producer (the installed
feed `orvix.feed.Feed`, a native thread that never takes the interpreter lock,
or a producer process writing into a shared ring) into Python, and the demo
checks that every message arrived once, in order and intact. Beside it, in the
same run, its peer carries the same messages the usual way (a native thread
taking the interpreter lock per message, an asyncio queue, a
multiprocessing queue), checked the same way. Each line gives both rates and
says whether the path reached its goal against its peer.

A path is one entry of PATHS; entries whose module is not there (the network
receivers of orvix.net, before they exist) are left out with a note.

Run from a build tree (scripts/demo does):
    PYTHONPATH=build/<tree>/python .venv/bin/python examples/demo.py [--short]
The native producer process of the shared-ring path, and the peers' native thread
(`dispatch_peers`), come from the build tree too.
"""
import argparse
import asyncio
import contextlib
import dataclasses
import functools
import importlib
import importlib.util
import multiprocessing
import os
import pathlib
import queue
import socket
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Awaitable, Callable, Coroutine, Iterator
from contextlib import AbstractContextManager
from typing import Any

import numpy as np

import orvix
from orvix import (AsyncBatchDispatcher, AsyncDispatcher, AsyncQueue, Batch, Feed, SharedRing, SyncDispatcher,
                   ThreadedBatchDispatcher, ThreadedDispatcher)
from orvix.feed import HEADER_SIZE

SIZE = 64
# One message as a numpy record: the feed's header (sequence number, send time), then its tail.
RECORD = np.dtype([("seq", "<u8"), ("sent_ns", "<u8"), ("tail", f"V{SIZE - HEADER_SIZE}")])
WAIT = 60.0   # seconds any one pass may take before the demo calls it lost


class Fault(Exception):
    """A path or peer lost, reordered or damaged a message."""


# ---- checking what arrives ---------------------------------------------------------------------


def feed_tail(seq: int) -> bytes:
    """The bytes after the header of the feed's message `seq`."""
    return bytes((seq + k) & 0xFF for k in range(HEADER_SIZE, SIZE))


ZERO_TAIL = bytes(SIZE - HEADER_SIZE)


class Checker:
    """Takes messages one at a time: checks each one's sequence number and, for a sample,
    its whole content (`tail(seq)`); `done` is set at the last one."""

    def __init__(self, count: int, tail: Callable[[int], bytes], done: threading.Event | asyncio.Event) -> None:
        self.count, self.tail, self.done = count, tail, done
        self.received = 0
        self.fault = ""

    def __call__(self, message: bytes) -> None:
        seq = self.received
        got = struct.unpack_from("<Q", message)[0]
        if not self.fault and (got != seq or len(message) != SIZE
                               or (seq % 997 == 0 and message[HEADER_SIZE:] != self.tail(seq))):
            self.fault = f"message {seq}: sequence number {got}, {len(message)} bytes"
        self.received += 1
        if self.received == self.count:
            self.done.set()

    async def coroutine(self, message: bytes) -> None:
        self(message)

    def batch(self, batch: Batch | bytes) -> None:
        """A whole batch as numpy records: every sequence number, and the tail of its first record."""
        records = np.frombuffer(batch, RECORD)
        first = self.received
        if not self.fault and (len(records) and (
                not np.array_equal(records["seq"], np.arange(first, first + len(records), dtype=np.uint64))
                or records["tail"][0].tobytes() != self.tail(first))):
            self.fault = f"a batch of {len(records)} from message {first} is out of order or damaged"
        self.received += len(records)
        if self.received >= self.count:
            self.done.set()

    async def batch_coroutine(self, batch: Batch) -> None:
        self.batch(batch)

    def verdict(self) -> None:
        if self.fault or self.received != self.count:
            raise Fault(self.fault or f"{self.received} of {self.count} messages arrived")


def wait(done: threading.Event) -> None:
    if not done.wait(WAIT):
        raise Fault(f"not every message arrived within {WAIT:.0f} s")


async def await_done(done: asyncio.Event) -> None:
    try:
        await asyncio.wait_for(done.wait(), WAIT)
    except TimeoutError:
        raise Fault(f"not every message arrived within {WAIT:.0f} s") from None


def checked(seconds: float, checker: Checker) -> float:
    checker.verdict()
    return seconds


# A pass: `count` messages from a producer into a consumer, timed from the producer's start to
# the last message, then checked; it returns the seconds. Each path and peer below is one pass
# made of three parts: the consumer, the producer, and what the checker expects after the header.
Dispatcher = ThreadedDispatcher | SyncDispatcher | ThreadedBatchDispatcher
Producing = Callable[[Any, Checker], AbstractContextManager[object]]


def to_a_thread(count: int, consumer: Callable[[Checker], Dispatcher], producing: Producing,
                tail: Callable[[int], bytes] = feed_tail) -> float:
    """Into a dispatcher whose callback runs on a reader thread; `producing(dispatcher, checker)`
    produces while its block runs."""
    done = threading.Event()
    checker = Checker(count, tail, done)
    dispatcher = consumer(checker)
    dispatcher.setup()
    try:
        start = time.perf_counter()
        with producing(dispatcher, checker):
            wait(done)
        return checked(time.perf_counter() - start, checker)
    finally:
        dispatcher.close()


async def into_the_loop(count: int, consumer: Callable[[Checker], AsyncDispatcher | AsyncBatchDispatcher],
                        producing: Producing) -> float:
    """Into a dispatcher whose coroutine runs in this event loop."""
    done = asyncio.Event()
    checker = Checker(count, feed_tail, done)
    dispatcher = consumer(checker)
    dispatcher.setup()
    try:
        start = time.perf_counter()
        with producing(dispatcher, checker):
            await await_done(done)
        return checked(time.perf_counter() - start, checker)
    finally:
        dispatcher.close()


def read_on_a_thread(count: int, read: Callable[[Checker], None], produce: Callable[[Checker], None],
                     tail: Callable[[int], bytes]) -> float:
    """A peer: a Python thread runs `read(checker)` while `produce(checker)` runs here."""
    checker = Checker(count, tail, threading.Event())
    reader = threading.Thread(target=read, args=(checker,))
    start = time.perf_counter()
    reader.start()
    produce(checker)
    reader.join(WAIT)
    return checked(time.perf_counter() - start, checker)


def in_a_loop(main: Callable[[int], Coroutine[Any, Any, float]]) -> Callable[[int], float]:
    """A pass that runs in an asyncio event loop of its own."""
    def run(count: int) -> float:
        return asyncio.run(main(count))
    return run


def feed(burst: int = 1) -> Producing:
    """orvix.feed.Feed: a native thread pushing the feed's messages, `burst` at a time."""
    return lambda dispatcher, checker: Feed(dispatcher, count=checker.count, size=SIZE, burst=burst)


def native_peers() -> Any:
    """The peers' native producer thread, from the build tree: it takes the interpreter lock for
    every message and calls one Python callable with it (the feed's sequence number, zeros after)."""
    return importlib.import_module("dispatch_peers")


def zero_tail(seq: int) -> bytes:
    return ZERO_TAIL


def native_thread_calls(put: Callable[[bytes], object]) -> Callable[[Checker], None]:
    return lambda checker: native_peers().start(put, checker.count, SIZE).join()


TAILS = [feed_tail(i) for i in range(256)]   # the tail repeats every 256 messages


def feed_message(seq: int) -> bytes:
    """The feed's message `seq`, made in Python (with no send time)."""
    return struct.pack("<QQ", seq, 0) + TAILS[seq & 0xFF]


# ---- the per-message paths and their peers ------------------------------------------------------


def on_a_reader_thread(cls: type[ThreadedDispatcher] | type[SyncDispatcher]) -> Callable[[int], float]:
    return lambda count: to_a_thread(count, lambda checker: cls(checker, capacity=1 << 16, slot_size=SIZE), feed())


def callback_on_producer_thread(count: int) -> float:
    checker = Checker(count, zero_tail, threading.Event())
    start = time.perf_counter()
    native_thread_calls(checker)(checker)
    return checked(time.perf_counter() - start, checker)


def drain(q: "queue.SimpleQueue[bytes]", checker: Checker) -> None:
    for _ in range(checker.count):
        checker(q.get())


def simple_queue_to_thread(count: int) -> float:
    q: queue.SimpleQueue[bytes] = queue.SimpleQueue()
    return read_on_a_thread(count, functools.partial(drain, q), native_thread_calls(q.put), zero_tail)


async def async_dispatcher(count: int) -> float:
    return await into_the_loop(
        count, lambda checker: AsyncDispatcher(checker.coroutine, capacity=1 << 16, slot_size=SIZE), feed())


async def call_soon_threadsafe(count: int) -> float:
    done = asyncio.Event()
    checker = Checker(count, zero_tail, done)
    call_soon_threadsafe: Any = asyncio.get_running_loop().call_soon_threadsafe   # typed for callbacks without arguments
    start = time.perf_counter()
    feeder = native_peers().start(functools.partial(call_soon_threadsafe, checker), count, SIZE)
    await await_done(done)
    seconds = time.perf_counter() - start
    feeder.join()
    return checked(seconds, checker)


async def between_coroutines(count: int, push: Callable[[bytes], Awaitable[object]],
                             pop: Callable[[], Awaitable[bytes]]) -> float:
    """Two coroutines of one loop: one pushes the feed's messages, the other pops and checks them."""
    checker = Checker(count, feed_tail, asyncio.Event())

    async def producer() -> None:
        for i in range(count):
            await push(feed_message(i))
            if i % 512 == 511:
                await asyncio.sleep(0)   # let the consumer drain before the queue fills

    async def consumer() -> None:
        for _ in range(count):
            checker(await pop())

    start = time.perf_counter()
    await asyncio.wait_for(asyncio.gather(producer(), consumer()), WAIT)
    return checked(time.perf_counter() - start, checker)


async def async_queue(count: int) -> float:
    q = AsyncQueue(slot_size=SIZE, capacity=1024)
    try:
        return await between_coroutines(count, q.push_buf, q.pop)
    finally:
        await q.shutdown()


async def asyncio_queue(count: int) -> float:
    q: asyncio.Queue[bytes] = asyncio.Queue(maxsize=1024)
    return await between_coroutines(count, q.put, q.get)


# ---- the batch paths: numpy records ------------------------------------------------------------


def threaded_batches(count: int) -> float:
    return to_a_thread(count, lambda checker: ThreadedBatchDispatcher(checker.batch, slot_size=SIZE,
                                                                      capacity=1 << 16), feed(burst=64))


def drain_into_records(q: "queue.SimpleQueue[bytes]", checker: Checker) -> None:
    """Takes every message queued so far (up to 1024) and makes them numpy records, until the last."""
    while checker.received < checker.count and not checker.fault:
        messages = [q.get()]
        try:
            while len(messages) < 1024:
                messages.append(q.get_nowait())
        except queue.Empty:
            pass
        checker.batch(b"".join(messages))


def simple_queue_to_records(count: int) -> float:
    q: queue.SimpleQueue[bytes] = queue.SimpleQueue()
    return read_on_a_thread(count, functools.partial(drain_into_records, q), native_thread_calls(q.put), zero_tail)


async def async_batches(count: int) -> float:
    return await into_the_loop(
        count, lambda checker: AsyncBatchDispatcher(checker.batch_coroutine, slot_size=SIZE, capacity=1 << 16),
        feed(burst=64))


# ---- a producer process through the shared ring ------------------------------------------------


def native_programs() -> pathlib.Path:
    """Where the build tree keeps its native programs (<tree>/python/orvix -> <tree>/bench)."""
    return pathlib.Path(os.environ.get("ORVIX_NATIVE_BENCH_DIR")
                        or pathlib.Path(orvix.__file__).resolve().parents[2] / "bench")


@contextlib.contextmanager
def producer_process(ring: SharedRing, checker: Checker) -> Iterator[None]:
    """A native program of the build tree (orvix/shm/producer.h) pushes the sequence numbers; zeros follow them."""
    producer = subprocess.Popen([str(native_programs() / "bench_shm_ring"), "produce", ring.name, str(checker.count)],
                                stdout=subprocess.DEVNULL)
    try:
        yield
    finally:
        if producer.wait(WAIT) != 0:
            raise Fault(f"the producer process ended with {producer.returncode}")


def shared_ring(count: int) -> float:
    with SharedRing(f"orvix-demo-{os.getpid()}", slot_size=SIZE, capacity=1 << 16) as ring:
        return to_a_thread(count, lambda checker: ThreadedBatchDispatcher(checker.batch, ring=ring),
                           lambda _, checker: producer_process(ring, checker), zero_tail)


def _python_producer(q: "multiprocessing.Queue[bytes]", count: int) -> None:
    for i in range(count):
        q.put(struct.pack("<Q", i) + bytes(SIZE - 8))


def multiprocessing_queue(count: int) -> float:
    context = multiprocessing.get_context("forkserver")
    q: multiprocessing.Queue[bytes] = context.Queue(maxsize=1 << 16)

    def read(checker: Checker) -> None:
        for _ in range(count):
            checker(q.get(timeout=WAIT))

    def produce(checker: Checker) -> None:
        producer = context.Process(target=_python_producer, args=(q, count))
        producer.start()
        producer.join(WAIT)
    return read_on_a_thread(count, read, produce, zero_tail)


# ---- the network receivers (orvix.net), once they exist ----------------------------------------


def net_receiver(name: str) -> Any:
    return getattr(importlib.import_module("orvix.net"), name)


def has_net(name: str) -> Callable[[], bool]:
    return lambda: importlib.util.find_spec("orvix.net") is not None and hasattr(
        importlib.import_module("orvix.net"), name)


def send_datagrams(port: int, checker: Checker) -> None:
    """The feed's messages over loopback, never more ahead of the receiver than a socket's default
    buffer holds (loopback drops nothing else)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for i in range(checker.count):
            while i - checker.received > 128:
                time.sleep(0)
            s.sendto(feed_message(i), ("127.0.0.1", port))


@contextlib.contextmanager
def udp_receiver_feeding(dispatcher: Dispatcher, checker: Checker) -> Iterator[None]:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
    with net_receiver("UdpReceiver")(dispatcher, ("127.0.0.1", port)):
        send_datagrams(port, checker)
        yield


def udp_receiver(count: int) -> float:
    return to_a_thread(count, lambda checker: ThreadedBatchDispatcher(checker.batch, slot_size=SIZE,
                                                                      capacity=1 << 16), udp_receiver_feeding)


def udp_recv_into(count: int) -> float:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        s.settimeout(WAIT)

        def read(checker: Checker) -> None:
            buffer = bytearray(SIZE)
            while checker.received < count and not checker.fault:
                checker(bytes(buffer[:s.recv_into(buffer)]))
        return read_on_a_thread(count, read, functools.partial(send_datagrams, s.getsockname()[1]), feed_tail)


def zmq_push(endpoint: str, count: int) -> None:
    import zmq
    with zmq.Context() as context, context.socket(zmq.PUSH) as push:
        push.setsockopt(zmq.LINGER, int(WAIT * 1000))   # a reader that is gone never holds the exit
        push.connect(endpoint)
        for i in range(count):
            push.send(feed_message(i))


@contextlib.contextmanager
def zmq_receiver_feeding(dispatcher: Dispatcher, checker: Checker) -> Iterator[None]:
    endpoint = f"ipc:///tmp/orvix-demo-{os.getpid()}"
    with net_receiver("ZmqReceiver")(dispatcher, endpoint, kind="PULL", bind=True):
        zmq_push(endpoint, checker.count)
        yield


def zmq_receiver(count: int) -> float:
    return to_a_thread(count, lambda checker: ThreadedBatchDispatcher(checker.batch, slot_size=SIZE,
                                                                      capacity=1 << 16), zmq_receiver_feeding)


def pyzmq_recv(count: int) -> float:
    import zmq
    endpoint = f"ipc:///tmp/orvix-demo-peer-{os.getpid()}"
    with zmq.Context() as context, context.socket(zmq.PULL) as pull:
        pull.bind(endpoint)
        pull.setsockopt(zmq.RCVTIMEO, int(WAIT * 1000 / 2))   # the reader gives up before the pass does

        def read(checker: Checker) -> None:
            try:
                for _ in range(count):
                    checker(pull.recv())
            except zmq.ZMQError:   # nothing more within the pass's wait: the checker says what is missing
                pass
        return read_on_a_thread(count, read, lambda _: zmq_push(endpoint, count), feed_tail)


# ---- the list of paths -------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Path:
    name: str                          # the path, as the user writes it
    run: Callable[[int], float]        # one pass of `count` messages -> seconds; raises Fault
    peer: str                          # the way it is done without orvix
    peer_run: Callable[[int], float]
    count: int                         # messages per pass (the short mode takes a tenth)
    goal: float = 1.0                  # the rate against the peer's that the path should reach
    peer_share: float = 1.0            # the peer's messages per pass, as a share of `count` (for slow peers)
    available: Callable[[], bool] = lambda: True
    bound: str = ""                    # what limits both sides, when it is not the path itself


M = 1_000_000
PATHS = [
    Path("ThreadedDispatcher: a callback on a native reader thread", on_a_reader_thread(ThreadedDispatcher),
         "no hand-over: the producer thread calls it under the lock", callback_on_producer_thread, 300_000, 0.9),
    Path("SyncDispatcher: a callback on a Python thread", on_a_reader_thread(SyncDispatcher),
         "queue.SimpleQueue put by the producer thread", simple_queue_to_thread, 300_000),
    Path("AsyncDispatcher: a coroutine in the event loop", in_a_loop(async_dispatcher),
         "loop.call_soon_threadsafe per message", in_a_loop(call_soon_threadsafe), 300_000),
    Path("AsyncQueue: between two coroutines", in_a_loop(async_queue),
         "asyncio.Queue", in_a_loop(asyncio_queue), 300_000),
    Path("ThreadedBatchDispatcher: numpy records on a reader thread", threaded_batches,
         "queue.SimpleQueue drained into numpy records", simple_queue_to_records, 2 * M),
    Path("AsyncBatchDispatcher: numpy records in the event loop", in_a_loop(async_batches),
         "loop.call_soon_threadsafe per message", in_a_loop(call_soon_threadsafe), 2 * M, peer_share=0.1),
    Path("SharedRing: a native producer process -> ThreadedBatchDispatcher", shared_ring,
         "multiprocessing.Queue from a Python process", multiprocessing_queue, 2 * M, peer_share=0.05),
    Path("UdpReceiver: loopback datagrams -> ThreadedBatchDispatcher", udp_receiver,
         "a Python thread calling socket.recv_into", udp_recv_into, 300_000, available=has_net("UdpReceiver"),
         bound="the Python sender over loopback, which both sides share (bench_net uses a C sendmmsg sender)"),
    Path("ZmqReceiver: PUSH -> PULL over ipc:// -> ThreadedBatchDispatcher", zmq_receiver,
         "pyzmq recv() in a loop", pyzmq_recv, 300_000, available=has_net("ZmqReceiver")),
]


def best_of(run: Callable[[int], float], count: int, passes: int) -> float:
    return min(run(count) for _ in range(passes))


def show(path: Path, short: bool) -> tuple[bool, bool]:
    """Runs a path and its peer, printing as it goes; returns (delivered, goal met)."""
    count = path.count // 10 if short else path.count
    peer_count = int(count * path.peer_share)
    passes = 1 if short else 2
    print(path.name, flush=True)
    try:
        print(f"  orvix {count:>10,} messages: ", end="", flush=True)
        rate = count / best_of(path.run, count, passes)
        print(f"in order, intact, {rate / 1e6:6.2f} M msgs/s", flush=True)
    except Exception as error:   # a fault or an error of one path is reported; the others still run
        print(f"FAILED: {error if isinstance(error, Fault) else repr(error)}", flush=True)
        return False, False
    try:
        print(f"  peer  {peer_count:>10,} messages: ", end="", flush=True)
        peer_rate = peer_count / best_of(path.peer_run, peer_count, passes)
    except Exception as error:   # the peer's own failure says nothing against the path
        print(f"the peer failed ({path.peer}): {error if isinstance(error, Fault) else repr(error)}",
              flush=True)
        print("  no comparison in this run", flush=True)
        return True, False
    ratio = rate / peer_rate
    met = ratio >= path.goal
    print(f"in order, intact, {peer_rate / 1e6:6.2f} M msgs/s ({path.peer})", flush=True)
    verdict = "met" if met else "MISSED" + (f", bounded by {path.bound}" if path.bound else "")
    print(f"  orvix at {ratio:.2f}x its peer: goal of {path.goal:g}x {verdict}", flush=True)
    return True, met


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--short", action="store_true", help="a tenth of the messages, one pass each")
    short = parser.parse_args().short
    start = time.monotonic()
    paths = [p for p in PATHS if p.available()]
    missing = [p.name.split(":")[0] for p in PATHS if p not in paths]
    passes = "one pass each (short mode: the figures mean little)" if short else "the better of two passes each"
    print(f"orvix {orvix.__version__} demo on CPython {sys.version.split()[0]}: {len(paths)} paths, {SIZE}-byte "
          f"messages, each path beside its peer in this run, {passes}\n", flush=True)
    results = []
    for p in paths:
        results.append(show(p, short))
        print()
    failed = [p.name.split(":")[0] for p, (ok, _) in zip(paths, results) if not ok]
    missed = [p.name.split(":")[0] for p, (ok, met) in zip(paths, results) if ok and not met]
    print(f"{len(paths) - len(failed)} of {len(paths)} paths delivered every message in order, intact; "
          f"{len(paths) - len(failed) - len(missed)} met their goal against their peer"
          + (f"; missed: {', '.join(missed)}" if missed else "") + f" ({time.monotonic() - start:.0f} s).")
    if missing:
        print(f"Not in this build: {', '.join(missing)}.")
    print("The full benchmarks (latency, bursts, more peers, both CPython versions): scripts/bench")
    if failed:
        raise SystemExit(f"orvix demo: {', '.join(failed)} failed (see above)")


if __name__ == "__main__":
    main()
