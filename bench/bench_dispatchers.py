"""AsyncDispatcher and SyncDispatcher against the usual ways a native thread reaches Python.

Every row moves 64-byte messages from a native producer thread to a trivial
Python callback and reports
  - delivered: messages per second from the producer's start to the last callback;
  - producer:  nanoseconds the producer thread spends per message, and that
               figure against the ring's bare push (the same native thread
               pushing straight into an SPSCQueue, measured in the same run).
Each figure is the median of interleaved rounds (every round runs each row once, the
order rotating), the delivered rate beside its spread (min-max).

The dispatchers are fed by the example producer `producer_cpp` (no interpreter
lock). The peers are fed by `dispatch_peers`, a native thread that takes the
interpreter lock per message and calls one Python callable:
  - loop.call_soon_threadsafe(cb, msg)               (asyncio, then uvloop)
  - janus / culsans queue: sync_q.put(msg), an asyncio task awaits async_q.get()
  - queue.SimpleQueue.put(msg), a Python thread blocks in get()

Run from a build tree:  PYTHONPATH=build/<tree>/python .venv/bin/python bench/bench_dispatchers.py
"""
import argparse
import asyncio
import functools
import queue
import statistics
import threading
import time

import uvloop

import dispatch_peers
import producer_cpp
from result_tables import interleaved, median_spread, table
from orvix.ringq.ringq import SPSCQueue
from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher

SIZE = 64


class Result:
    def __init__(self, name, count, seconds, producer_ns):
        self.name = name
        self.rate = count / seconds
        self.producer_ns = producer_ns / count


class Countdown:
    """The trivial callback: counts messages and sets `done` at the last one."""

    def __init__(self, count, done):
        self.left = count
        self.done = done

    def __call__(self, msg):
        self.left -= 1
        if self.left == 0:
            self.done.set()

    async def coroutine(self, msg):
        self(msg)


def run_on(loop_factory, main):
    with asyncio.Runner(loop_factory=loop_factory) as runner:
        return runner.run(main())


# ---- the floor: the ring's bare push ----------------------------------------------

def bare_ring_push(count):
    """Producer ns/msg of SPSCQueue.push from a native thread (the median of three)."""
    times = []
    for _ in range(3):
        f = dispatch_peers.start_ring(SPSCQueue(slot_size=SIZE, capacity=1 << 18), count, SIZE)
        f.join()
        times.append(f.elapsed_ns)
    return sorted(times)[1] / count


# ---- asyncio consumers -----------------------------------------------------------

def async_dispatcher(count, loop_factory, name):
    async def main():
        countdown = Countdown(count, asyncio.Event())
        # The ring holds the whole run: no refusal, no retry pause in the timing.
        d = AsyncDispatcher(countdown.coroutine, capacity=1 << 18, slot_size=SIZE)
        d.setup()
        await asyncio.sleep(0)
        start = time.perf_counter()
        p = producer_cpp.start(d, count, SIZE)
        await countdown.done.wait()
        elapsed = time.perf_counter() - start
        p.join()
        d.close()
        return Result(name, count, elapsed, p.elapsed_ns)
    return run_on(loop_factory, main)


def call_soon_threadsafe_peer(count, loop_factory, name):
    async def main():
        loop = asyncio.get_running_loop()
        countdown = Countdown(count, asyncio.Event())
        start = time.perf_counter()
        f = dispatch_peers.start(functools.partial(loop.call_soon_threadsafe, countdown), count, SIZE)
        await countdown.done.wait()
        elapsed = time.perf_counter() - start
        await asyncio.to_thread(f.join)
        return Result(name, count, elapsed, f.elapsed_ns)
    return run_on(loop_factory, main)


def thread_queue_peer(count, make_queue, name):
    async def main():
        q = make_queue()
        countdown = Countdown(count, asyncio.Event())
        start = time.perf_counter()
        f = dispatch_peers.start(q.sync_q.put, count, SIZE)
        get = q.async_q.get
        while not countdown.done.is_set():
            await countdown.coroutine(await get())
        elapsed = time.perf_counter() - start
        await asyncio.to_thread(f.join)
        return Result(name, count, elapsed, f.elapsed_ns)
    return run_on(asyncio.new_event_loop, main)


# ---- thread consumers ------------------------------------------------------------

def sync_dispatcher(count):
    countdown = Countdown(count, threading.Event())
    d = SyncDispatcher(countdown, capacity=1 << 18, slot_size=SIZE)
    d.setup()
    start = time.perf_counter()
    p = producer_cpp.start(d, count, SIZE)
    countdown.done.wait()
    elapsed = time.perf_counter() - start
    p.join()
    d.close()
    return Result("SyncDispatcher", count, elapsed, p.elapsed_ns)


def simple_queue_peer(count):
    q = queue.SimpleQueue()
    countdown = Countdown(count, threading.Event())

    def reader():
        get = q.get
        for _ in range(count):
            countdown(get())
    t = threading.Thread(target=reader)
    t.start()
    start = time.perf_counter()
    f = dispatch_peers.start(q.put, count, SIZE)
    t.join()
    elapsed = time.perf_counter() - start
    f.join()
    return Result("native thread + GIL -> SimpleQueue.put, thread get()", count, elapsed, f.elapsed_ns)


def optional_queue(module_name):
    try:
        module = __import__(module_name)
        module.Queue   # noqa: B018 - the import is the check
        return module.Queue
    except Exception as exc:   # an unusable install is reported, not fatal
        print(f"  ({module_name} peer skipped: {type(exc).__name__}: {exc})")
        return None


def print_table(title, results, baseline, bare_ns, rounds):
    """The median of each figure over the rounds, the delivered rate with its spread."""
    base = statistics.median(r.rate for r in results[baseline])
    rows = []
    for name, rs in results.items():
        rate, spread = median_spread([r.rate for r in rs])
        producer_ns = statistics.median(r.producer_ns for r in rs)
        rows.append([name, rate, spread, rate / base, producer_ns, producer_ns / bare_ns])
    table(f"{title}, median of {rounds} interleaved rounds",
          ["path", "delivered/s", "min-max", "x baseline", "producer ns/msg", "x bare push"], rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=200_000, help="messages per dispatcher run")
    parser.add_argument("--peer-count", type=int, default=60_000, help="messages per peer run")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds (the median is shown)")
    parser.add_argument("--short", action="store_true", help="a quick check: 20,000 and 5,000 messages, one round")
    args = parser.parse_args()
    n, pn, rounds = (20_000, 5_000, 1) if args.short else (args.count, args.peer_count, args.rounds)

    print(f"{SIZE}-byte messages; dispatchers {n:,} messages per run, peers {pn:,}")
    bare_ns = bare_ring_push(n)
    print(f"ring's bare push (SPSCQueue.push from a native thread): {bare_ns:.1f} ns/msg")
    baseline = "native thread + GIL -> call_soon_threadsafe (asyncio)"
    contenders = [
        ("AsyncDispatcher (asyncio)", lambda: async_dispatcher(n, asyncio.new_event_loop, "AsyncDispatcher (asyncio)")),
        ("AsyncDispatcher (uvloop)", lambda: async_dispatcher(n, uvloop.new_event_loop, "AsyncDispatcher (uvloop)")),
        (baseline, lambda: call_soon_threadsafe_peer(pn, asyncio.new_event_loop, baseline)),
        ("native thread + GIL -> call_soon_threadsafe (uvloop)",
         lambda: call_soon_threadsafe_peer(pn, uvloop.new_event_loop,
                                           "native thread + GIL -> call_soon_threadsafe (uvloop)")),
    ]
    for module_name in ("janus", "culsans"):
        make_queue = optional_queue(module_name)
        if make_queue:
            name = f"native thread + GIL -> {module_name} sync_q.put"
            contenders.append((name, functools.partial(thread_queue_peer, pn, make_queue, name)))
    print_table("Into an asyncio loop (baseline: call_soon_threadsafe under asyncio)",
                interleaved(contenders, rounds), baseline, bare_ns, rounds)

    sync_peer = "native thread + GIL -> SimpleQueue.put, thread get()"
    print_table("Onto a Python thread (baseline: SimpleQueue)",
                interleaved([("SyncDispatcher", lambda: sync_dispatcher(n)),
                             (sync_peer, lambda: simple_queue_peer(pn))], rounds), sync_peer, bare_ns, rounds)


if __name__ == "__main__":
    main()
