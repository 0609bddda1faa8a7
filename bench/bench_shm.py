"""A producer in another process: the shared ring beside the same paths in-process and its peers.

Throughput, 64-byte messages, messages per second from the producer's first push to the last
delivery, the median of REPEAT passes, the contenders' passes alternating:
- native: bench_shm_ring (C++): a producer process (orvix/shm/producer.h) into a native
  consumer loop (burst pops, spinning) beside a producer thread into the same loop in-process;
- each batch dispatcher (ThreadedBatchDispatcher, AsyncBatchDispatcher on asyncio and uvloop,
  len(batch) per call) fed by a producer process (bench_shm_ring produce: one push per
  message) through ring=SharedRing(...), beside the same dispatcher fed in-process by a
  native thread pushing one message at a time (bench/native/tight_producer.cpp);
- peers, each from a producer process into a Python consumer: multiprocessing.Queue (put /
  get per message), faster-fifo (put_many / get_many), pyzmq PUSH/PULL over ipc:// (send /
  recv per message); each skipped when not installed.
Latency at 10k msgs/s, p50/p99 from send to callback: each batch dispatcher fed by the
producer process beside the same fed in-process (orvix.feed.Feed), runs alternating, the
median p99 of RUNS shown.

    PYTHONPATH=build/<tree>/python:bench .venv/bin/python bench/bench_shm.py [--short]
"""
import argparse
import asyncio
import multiprocessing
import os
import pathlib
import statistics
import subprocess
import sys
import time

import orvix
import tight_producer
from bench_batch import (CAPACITY, SIZE, Counter, async_latency, batch_callback, each_message, faster_fifo_peer,
                         has_faster_fifo, on_loop, threaded, threaded_latency)
from bench_latency import LOOPS, MachinePauses, await_for, median_runs, row_figures, wait_for
from bench_latency import on_loop as latency_on_loop
from bench_threaded import best_of_alternating
from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.shm import SharedRing
from result_tables import median_spread, paired_ratio, table

LATENCY_RATE = 10_000
# The native producer: in the tree with the C++ benchmarks (write_results.py says which),
# else in this package's own tree (<tree>/python/orvix/__init__.py -> <tree>/bench).
PROGRAM = pathlib.Path(os.environ.get("ORVIX_NATIVE_BENCH_DIR")
                       or pathlib.Path(orvix.__file__).resolve().parents[2] / "bench") / "bench_shm_ring"


def ring_name():
    return f"orvix-bench-{os.getpid()}-{time.monotonic_ns()}"


def produce(name, count, rate=None):
    return subprocess.Popen([str(PROGRAM), "produce", name, str(count), *([str(rate)] if rate else [])],
                            stdout=subprocess.PIPE, text=True)


def producer_start_ns(producer):
    """Waits for the producer process; returns when (CLOCK_MONOTONIC, as time.monotonic_ns) it
    began pushing, so that a pass is timed from its first push, as the in-process passes are
    (starting a process and attaching is not the path being measured)."""
    out, _ = producer.communicate(timeout=30)
    assert producer.returncode == 0, producer.returncode
    return int(out.split()[-1])


# ---- throughput ----------------------------------------------------------------------------


def threaded_shm(count):
    counter = Counter()
    ring = SharedRing(ring_name(), slot_size=SIZE, capacity=CAPACITY)
    d = ThreadedBatchDispatcher(batch_callback(counter, "len"), ring=ring)
    d.setup()

    def one_pass():
        counter.rearm(count)
        producer = produce(ring.name, count)
        assert counter.done.wait(120), "not every message was delivered"
        ns = time.monotonic_ns() - producer_start_ns(producer)
        return ns, ns

    def close():
        d.close()
        ring.close()
    one_pass()
    return one_pass, close


def async_shm(loop_name):
    def make(count):
        loop = LOOPS[loop_name]()
        counter = Counter()
        done = asyncio.Event()
        ring = SharedRing(ring_name(), slot_size=SIZE, capacity=CAPACITY)

        async def callback(batch):
            counter.add(len(batch))
            if counter.seen >= counter.count:
                done.set()

        async def create():
            d = AsyncBatchDispatcher(callback, ring=ring)
            d.setup()
            return d
        d = loop.run_until_complete(create())

        async def a_pass():
            counter.rearm(count)
            done.clear()
            producer = produce(ring.name, count)
            await asyncio.wait_for(done.wait(), 120)
            end = time.monotonic_ns()
            ns = end - await asyncio.to_thread(producer_start_ns, producer)
            return ns, ns

        def one_pass():
            return loop.run_until_complete(a_pass())

        def close():
            d.close()
            ring.close()
            loop.run_until_complete(asyncio.sleep(0.01))
            loop.close()
        one_pass()
        return one_pass, close
    return make


def _queue_producer(q, count):
    message = bytes(SIZE)
    for _ in range(count):
        q.put(message)


def mp_queue_peer(count):
    def one_pass():
        q = multiprocessing.get_context("fork").Queue(maxsize=CAPACITY)
        producer = multiprocessing.get_context("fork").Process(target=_queue_producer, args=(q, count))
        start = time.perf_counter_ns()
        producer.start()
        for _ in range(count):
            q.get(timeout=60)
        ns = time.perf_counter_ns() - start
        producer.join()
        return ns, ns
    return one_pass, lambda: None


ZMQ_PRODUCER = """
import sys
import zmq
context = zmq.Context()
push = context.socket(zmq.PUSH)
push.connect(sys.argv[1])
message = bytes(int(sys.argv[3]))
for _ in range(int(sys.argv[2])):
    push.send(message)
push.close(linger=-1)
context.term()
"""


def zmq_peer(count):
    """pyzmq PUSH/PULL over ipc://, the producer a process of its own (not a fork of this
    threaded one)."""
    import zmq   # optional peer

    def one_pass():
        context = zmq.Context()
        pull = context.socket(zmq.PULL)
        pull.setsockopt(zmq.RCVTIMEO, 10_000)
        path = f"/tmp/{ring_name()}"
        pull.bind(f"ipc://{path}")
        start = last = time.perf_counter_ns()
        producer = subprocess.Popen([sys.executable, "-c", ZMQ_PRODUCER, f"ipc://{path}", str(count), str(SIZE)])
        got = 0
        try:
            while got < count:
                pull.recv(copy=True)
                got += 1
            last = time.perf_counter_ns()
        except zmq.Again:
            # On a loaded machine pyzmq has lost a few percent of a stream whose
            # producer closed with an unlimited linger and exited 0. The pass then
            # counts what arrived, up to the last arrival, and says so.
            last = time.perf_counter_ns() - 10_000 * 1_000_000
            print(f"bench_shm: pyzmq delivered {got} of {count} messages (producer "
                  f"{'still running' if producer.poll() is None else f'exited {producer.returncode}'}); "
                  f"the pass counts what arrived", file=sys.stderr, flush=True)
        finally:
            if producer.poll() is None:
                producer.kill()
            producer.wait()
            pull.close(linger=0)
            context.term()
            os.unlink(path)
        if got == 0:
            raise RuntimeError("pyzmq delivered nothing")
        ns = (last - start) * count // got   # the pass's time at the rate it reached
        return ns, ns
    return one_pass, lambda: None


def has_zmq():
    try:
        import zmq  # noqa: F401
        return True
    except ImportError:
        return False


def native_table(count, rounds):
    out = subprocess.run([str(PROGRAM), "native", str(count), str(rounds)], check=True, stdout=subprocess.PIPE,
                         text=True).stdout
    rates = {case: [count / int(ns) * 1e9 for ns in figures]
             for case, *figures in (line.split() for line in out.splitlines())}
    rows = [[case, *median_spread(r), paired_ratio(r, rates["in-process"])] for case, r in rates.items()]
    table(f"Native producer -> native consumer loop (C++), {count} messages of {SIZE} bytes, "
          f"median of {rounds} interleaved rounds",
          ["path", "msgs/s", "spread", "x in-process"], rows)


def dispatcher_table(count, repeat):
    contenders = [("ThreadedBatchDispatcher, producer process", threaded_shm),
                  ("ThreadedBatchDispatcher, in-process", threaded(ThreadedBatchDispatcher, "len", burst=1))]
    for loop_name in LOOPS:
        contenders += [(f"AsyncBatchDispatcher ({loop_name}), producer process", async_shm(loop_name)),
                       (f"AsyncBatchDispatcher ({loop_name}), in-process",
                        on_loop(loop_name, AsyncBatchDispatcher, "len"))]
    peers = [("multiprocessing.Queue (process -> Python)", mp_queue_peer)]
    if has_faster_fifo():
        peers.append(("faster-fifo get_many (process -> Python)", faster_fifo_peer))
    if has_zmq():
        peers.append(("pyzmq PUSH/PULL ipc:// (process -> Python)", zmq_peer))
    import bench_threaded
    bench_threaded.REPEAT = repeat
    # The in-process passes push one message at a time, as the producer process does.
    saved = tight_producer.start
    tight_producer.start = lambda d, n, size, burst: saved(d, n, size, 1)
    try:
        runs = best_of_alternating(contenders + peers, count)
    finally:
        tight_producer.start = saved
    best = {name: count / statistics.median(r[0] for r in rs) * 1e9 for name, rs in runs.items()}
    best_peer = max(best[name] for name, _ in peers)
    rows = []
    for name, _ in contenders + peers:
        same = name.replace("producer process", "in-process")
        vs = best[name] / best[same] if "producer process" in name else None
        rows.append([name, best[name], "-" if vs is None else vs, best[name] / best_peer])
    table(f"A producer process into Python: {count} messages of {SIZE} bytes per pass, median of {repeat}",
          ["path", "msgs/s", "x in-process", "x best peer"], rows)


# ---- latency ---------------------------------------------------------------------------------


def shm_latency(kind):
    def threaded_run(recorder, count, rate):
        with SharedRing(ring_name(), slot_size=SIZE, capacity=CAPACITY) as ring:
            d = ThreadedBatchDispatcher(each_message(recorder), ring=ring)
            d.setup()
            try:
                producer_start_ns(produce(ring.name, count, rate))
                wait_for(recorder, count, time.monotonic() + 30)
            finally:
                d.close()

    async def body(recorder, count, rate):
        record = each_message(recorder)

        async def callback(batch):
            record(batch)
        with SharedRing(ring_name(), slot_size=SIZE, capacity=CAPACITY) as ring:
            d = AsyncBatchDispatcher(callback, ring=ring)
            d.setup()
            try:
                producer = produce(ring.name, count, rate)
                await asyncio.to_thread(producer_start_ns, producer)
                await await_for(recorder, count, time.monotonic() + 30)
            finally:
                d.close()
    return threaded_run if kind == "threaded" else latency_on_loop(kind, body)


def latency_table(seconds, runs):
    kinds = [[("ThreadedBatchDispatcher, producer process", shm_latency("threaded"), False),
              ("ThreadedBatchDispatcher, in-process", threaded_latency(ThreadedBatchDispatcher, True), False)]]
    for loop_name in LOOPS:
        kinds.append([(f"AsyncBatchDispatcher ({loop_name}), producer process", shm_latency(loop_name), False),
                      (f"AsyncBatchDispatcher ({loop_name}), in-process",
                       async_latency(loop_name, AsyncBatchDispatcher, True), False)])
    pauses = MachinePauses()
    rows = []
    try:
        for contenders in kinds:
            chosen = median_runs(contenders, LATENCY_RATE, seconds, pauses, runs)
            for name, _, _ in contenders:
                rows.append([name, *row_figures(chosen[name])])
    finally:
        pauses.close()
    table(f"From a producer process: latency, send to callback (us), {seconds:g} s per row, median p99 of {runs}",
          ["path", "msgs/s", "p50", "p99", "p99.9", "max", "arrived"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1 << 20, help="messages per pass")
    parser.add_argument("--short", action="store_true", help="a quick check: small passes, once")
    args = parser.parse_args()
    count, repeat = (20_000, 1) if args.short else (args.count, 5)
    native_table(200_000 if args.short else 20_000_000, 3 if args.short else 7)
    dispatcher_table(count, repeat)
    latency_table(0.05 if args.short else 1.0, 1 if args.short else 3)


if __name__ == "__main__":
    main()
