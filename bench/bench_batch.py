"""Batch delivery beside per-message delivery and its peers, measured in the same run.

A tight native producer (bench/native/tight_producer.cpp: pushes through producer.h,
BURST messages of 64 bytes at a time with orvix_producer_push_burst, or one at a time)
feeds COUNT messages per pass; the callback reads each batch once (len, or a numpy
view of its records) or iterates every message. Figures: messages per second from
the first push to the last call, the median of REPEAT passes, the contenders' passes
alternating.

Where the time goes, measured in the same rounds: "reader alone" drains CAPACITY
messages pushed before setup() (the same ring, in the caches), with len(batch) per
call: the ring, the copy-out and one call per batch, with no producer beside it. A
path within 20% of it is bound by that stage; the same reader fed one message per
push instead of in bursts, well below its burst figure, is bound by the producer's
per-message push; anything else by the Python work of its callback (or loop).

Peers: the per-message dispatcher of the same kind; (p) a native thread taking the
interpreter lock per message for queue.SimpleQueue.put while a Python thread takes
whatever is queued at each turn (get, then get_nowait until empty); (f) faster-fifo's
get_many, fed by a producer process with put_many (skipped when not installed).

Latency, p50 and p99 from send to callback at 10k and 1M msgs/s: each batch
dispatcher beside the per-message dispatcher of its kind (runs alternating, the
median p99 of three shown).

    PYTHONPATH=build/<tree>/python:bench .venv/bin/python bench/bench_batch.py [--short]
"""
import argparse
import asyncio
import multiprocessing
import queue
import statistics
import threading
import time

import numpy as np

import dispatch_peers
import tight_producer
from bench_latency import LOOPS, MachinePauses, await_for, median_runs, row_figures, wait_for
from bench_latency import on_loop as latency_on_loop
from bench_threaded import best_of_alternating
from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.feed import Feed
from orvix.utils.corvane.corvane import AsyncDispatcher, ThreadedDispatcher
from result_tables import table

SIZE = 64
BURST = 256
CAPACITY = 1 << 16
RECORD = np.dtype([("seq", "<u8"), ("sent_ns", "<u8"), ("tail", f"V{SIZE - 16}")])
LATENCY_RATES = (10_000, 1_000_000)


class Counter:
    """Counts what reaches a callback; signals the last message of a pass."""

    def __init__(self):
        self.count = 0
        self.seen = 0
        self.done = threading.Event()

    def rearm(self, count):
        self.count, self.seen = count, 0
        self.done.clear()

    def add(self, n):
        self.seen += n
        if self.seen >= self.count:
            self.done.set()


def batch_callback(counter, reads):
    if reads == "len":
        return lambda batch: counter.add(len(batch))
    if reads == "numpy":
        return lambda batch: counter.add(np.frombuffer(batch, RECORD).shape[0])

    def iterate(batch):
        n = 0
        for _ in batch:
            n += 1
        counter.add(n)
    return iterate


# ---- native thread -> Python thread ------------------------------------------------


def threaded(cls, reads=None, burst=BURST):
    """A contender: make(count) -> (one_pass, close); one_pass() -> (delivered ns, producer ns)."""
    def make(count):
        counter = Counter()
        callback = batch_callback(counter, reads) if reads else (lambda message: counter.add(1))
        d = cls(callback, capacity=CAPACITY, slot_size=SIZE)
        d.setup()

        def one_pass():
            counter.rearm(count)
            start = time.perf_counter_ns()
            producer = tight_producer.start(d, count, SIZE, burst)
            assert counter.done.wait(120), "not every message was delivered"
            ns = time.perf_counter_ns() - start
            producer.join()
            return ns, producer.elapsed_ns
        one_pass()   # maps the ring's pages
        return one_pass, d.close
    return make


def reader_alone(count):
    """CAPACITY messages pushed before setup(); the reader drains them, len(batch)
    per call (timed as `count`)."""
    def one_pass():
        counter = Counter()
        counter.rearm(CAPACITY)
        d = ThreadedBatchDispatcher(batch_callback(counter, "len"), capacity=CAPACITY, slot_size=SIZE)
        tight_producer.start(d, CAPACITY, SIZE, BURST).join()
        start = time.perf_counter_ns()
        d.setup()
        assert counter.done.wait(120)
        ns = (time.perf_counter_ns() - start) * count // CAPACITY
        d.close()
        return ns, ns
    return one_pass, lambda: None


def simple_queue_peer(count):
    """(p): a native thread puts under the lock; a Python thread takes what is queued."""
    def one_pass():
        q = queue.SimpleQueue()
        counter = Counter()
        counter.rearm(count)

        def reader():
            get, get_nowait = q.get, q.get_nowait
            while counter.seen < count:
                get()
                n = 1
                try:
                    while True:
                        get_nowait()
                        n += 1
                except queue.Empty:
                    pass
                counter.add(n)
        thread = threading.Thread(target=reader)
        start = time.perf_counter_ns()
        thread.start()
        feeder = dispatch_peers.start(q.put, count, SIZE)
        feeder.join()
        thread.join(120)
        return time.perf_counter_ns() - start, feeder.elapsed_ns
    return one_pass, lambda: None


def _fifo_producer(q, count):
    message = bytes(SIZE)
    chunk = [message] * 1000
    sent = 0
    while sent < count:
        n = min(1000, count - sent)
        q.put_many(chunk[:n], timeout=60)
        sent += n


def faster_fifo_peer(count):
    """(f): faster-fifo's get_many, fed by another process with put_many."""
    from faster_fifo import Queue   # optional peer

    def one_pass():
        q = Queue(max_size_bytes=64 << 20)
        producer = multiprocessing.get_context("fork").Process(target=_fifo_producer, args=(q, count))
        start = time.perf_counter_ns()
        producer.start()
        got = 0
        while got < count:
            got += len(q.get_many(timeout=60, max_messages_to_get=4096))
        ns = time.perf_counter_ns() - start
        producer.join()
        return ns, ns
    return one_pass, lambda: None


def has_faster_fifo():
    try:
        import faster_fifo  # noqa: F401
        return True
    except ImportError:
        return False


def bound_by(rate, reader, python="Python (callback)"):
    return "ring + copy-out + call" if rate >= 0.8 * reader else python


def threaded_table(count, repeat):
    contenders = [
        ("ThreadedBatchDispatcher, len(batch)", threaded(ThreadedBatchDispatcher, "len")),
        ("ThreadedBatchDispatcher, numpy records", threaded(ThreadedBatchDispatcher, "numpy")),
        ("ThreadedBatchDispatcher, iterate every message", threaded(ThreadedBatchDispatcher, "iterate")),
        ("ThreadedBatchDispatcher, len(batch), pushes one at a time",
         threaded(ThreadedBatchDispatcher, "len", burst=1)),
        ("ThreadedDispatcher, per message", threaded(ThreadedDispatcher)),
        ("(p) SimpleQueue, Python thread drains", simple_queue_peer),
        ("reader alone, ring filled first", reader_alone),
    ]
    if has_faster_fifo():
        contenders.insert(6, ("(f) faster-fifo get_many", faster_fifo_peer))
    runs = best_of_alternating(contenders, count)
    best = {name: count / statistics.median(r[0] for r in rs) * 1e9 for name, rs in runs.items()}
    per_message = best["ThreadedDispatcher, per message"]
    reader = best["reader alone, ring filled first"]
    rows = []
    bursts = best["ThreadedBatchDispatcher, len(batch)"]
    for name, rate in best.items():
        stage = "-" if name.startswith("(") or "alone" in name else bound_by(rate, reader)
        if "one at a time" in name and rate < 0.8 * bursts:
            stage = "producer (per-message pushes)"
        rows.append([name, rate, rate / per_message, stage])
    if not has_faster_fifo():
        rows.append(["(f) faster-fifo get_many", "not installed", "-", "-"])
    table(f"Batches onto a Python thread: {count} messages of {SIZE} bytes per pass, producer bursts of "
          f"{BURST}, median of {repeat}", ["path", "msgs/s", "x per message", "bound by"], rows)
    return reader


# ---- native thread -> event loop ----------------------------------------------------------


def on_loop(loop_name, cls, reads=None):
    def make(count):
        loop = LOOPS[loop_name]()
        counter = Counter()
        done = asyncio.Event()
        add = batch_callback(counter, reads) if reads else (lambda message: counter.add(1))

        async def callback(item):
            add(item)
            if counter.seen >= counter.count:
                done.set()

        async def create():
            d = cls(callback, capacity=CAPACITY, slot_size=SIZE)
            d.setup()
            return d
        d = loop.run_until_complete(create())

        async def a_pass():
            counter.rearm(count)
            done.clear()
            start = time.perf_counter_ns()
            producer = tight_producer.start(d, count, SIZE, BURST)
            await asyncio.wait_for(done.wait(), 120)
            ns = time.perf_counter_ns() - start
            await asyncio.to_thread(producer.join)
            return ns, producer.elapsed_ns

        def one_pass():
            return loop.run_until_complete(a_pass())

        def close():
            d.close()
            loop.run_until_complete(asyncio.sleep(0.01))
            loop.close()
        one_pass()
        return one_pass, close
    return make


def async_table(count, repeat, reader):
    """`reader`: the reader-alone figure measured with ThreadedBatchDispatcher."""
    rows = []
    for loop_name in LOOPS:
        contenders = [
            (f"AsyncBatchDispatcher ({loop_name}), len(batch)", on_loop(loop_name, AsyncBatchDispatcher, "len")),
            (f"AsyncBatchDispatcher ({loop_name}), numpy records",
             on_loop(loop_name, AsyncBatchDispatcher, "numpy")),
            (f"AsyncBatchDispatcher ({loop_name}), iterate every message",
             on_loop(loop_name, AsyncBatchDispatcher, "iterate")),
            (f"AsyncDispatcher ({loop_name}), per message", on_loop(loop_name, AsyncDispatcher)),
        ]
        runs = best_of_alternating(contenders, count)
        best = {name: count / statistics.median(r[0] for r in rs) * 1e9 for name, rs in runs.items()}
        per_message = best[f"AsyncDispatcher ({loop_name}), per message"]
        rows += [[name, rate, rate / per_message, bound_by(rate, reader, "Python (loop, callback)")]
                 for name, rate in best.items()]
    table(f"Batches into an event loop: {count} messages of {SIZE} bytes per pass, producer bursts of {BURST}, "
          f"median of {repeat} (stages as measured onto a Python thread)",
          ["path", "msgs/s", "x per message", "bound by"], rows)


# ---- latency -------------------------------------------------------------------------------


def each_message(recorder):
    def callback(batch):
        for message in batch:
            recorder(message)
    return callback


def threaded_latency(cls, batches):
    def run(recorder, count, rate):
        d = cls(each_message(recorder) if batches else recorder, capacity=CAPACITY, slot_size=SIZE)
        d.setup()
        try:
            with Feed(d, count=count, rate=rate, size=SIZE) as feed:
                feed.join()
            wait_for(recorder, count, time.monotonic() + 30)
        finally:
            d.close()
    return run


def async_latency(loop_name, cls, batches):
    async def body(recorder, count, rate):
        record = each_message(recorder) if batches else recorder

        async def callback(item):
            record(item)
        d = cls(callback, capacity=CAPACITY, slot_size=SIZE)
        d.setup()
        await asyncio.sleep(0)
        try:
            feed = Feed(d, count=count, rate=rate, size=SIZE)
            feed.start()
            await asyncio.to_thread(feed.join)
            await await_for(recorder, count, time.monotonic() + 30)
        finally:
            d.close()
    return latency_on_loop(loop_name, body)


def latency_table(seconds, runs):
    kinds = [[("ThreadedBatchDispatcher", threaded_latency(ThreadedBatchDispatcher, True), False),
              ("ThreadedDispatcher", threaded_latency(ThreadedDispatcher, False), True)]]
    for loop_name in LOOPS:
        kinds.append([(f"AsyncBatchDispatcher ({loop_name})", async_latency(loop_name, AsyncBatchDispatcher, True),
                       False),
                      (f"AsyncDispatcher ({loop_name})", async_latency(loop_name, AsyncDispatcher, False), True)])
    pauses = MachinePauses()
    rows = []
    try:
        for contenders in kinds:
            for rate in LATENCY_RATES:
                chosen = median_runs(contenders, rate, seconds, pauses, runs)
                for name, _, per_message in contenders:
                    rows.append([name, "per message" if per_message else "batch", *row_figures(chosen[name])])
    finally:
        pauses.close()
    table(f"Batch latency beside per-message delivery, send to callback (us), {seconds:g} s per row, "
          f"median p99 of {runs}", ["path", "delivery", "msgs/s", "p50", "p99", "p99.9", "max", "arrived"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1 << 20, help="messages per pass")
    parser.add_argument("--short", action="store_true", help="a quick check: small passes, once")
    args = parser.parse_args()
    import bench_threaded
    count, repeat = (20_000, 1) if args.short else (args.count, 5)
    bench_threaded.REPEAT = repeat
    reader = threaded_table(count, repeat)
    async_table(count, repeat, reader)
    latency_table(0.02 if args.short else 0.5, 1 if args.short else 3)


if __name__ == "__main__":
    main()
