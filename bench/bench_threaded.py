"""ThreadedDispatcher delivery beside its peers, measured in the same run.

A native producer thread pushes COUNT messages of 64 bytes; a Python callback
counts them. Figures, medians of REPEAT passes (the contenders' passes alternate):

  delivered   messages per second reaching the callback (first push to last call)
  push ns     the producer thread's own cost per message

The dispatcher's ring has room for a whole pass (by default 32768 messages,
2.4 MB: it stays in a core's cache) and is warmed up by a first pass, so the
producer never waits for the reader nor for the system to map fresh pages:
its figure is the cost of a push alone, while the reader drains the ring
concurrently. A larger --count measures a ring that spills to memory.

Peers:
  (a) lock per message   a native thread that takes the interpreter lock and calls
                          the callback itself for every message (keeping one thread
                          state, its best case): dispatch_peers.start
  (a') Ensure/Release     the same with PyGILState_Ensure/Release per message
  (b) ceiling            one loop holding the lock that calls the callback with a
                          fresh bytes object per message: no hand-over at all

Every producer thread runs on the same CPU (the first of this process's), and
the dispatcher's reader on another one: the push costs compare the same
thread on the same core, not a producer alone on an idle core against one
that the scheduler moves about. Figures are medians of the passes with their
spread (min-max); the push cost ratio is that of the two medians shown.

    PYTHONPATH=build/<tree>/python .venv/bin/python bench/bench_threaded.py [--count N]
"""
import argparse
import contextlib
import functools
import gc
import os
import threading
import time

import dispatch_peers
import producer_cpp
from result_tables import interleaved, median_spread, table
import threaded_peers
from orvix.utils.corvane.corvane import ThreadedDispatcher

SIZE = 64
REPEAT = 15


# The CPUs this process may use: producers on the first, the dispatcher's reader on the second.
CPUS = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []


@contextlib.contextmanager
def threads_made_on(index):
    """Threads started meanwhile (native threads inherit their maker's CPUs) run on CPUS[index]."""
    if len(CPUS) < 2:
        yield
        return
    before = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {CPUS[index]})   # 0: the calling thread only
    try:
        yield
    finally:
        os.sched_setaffinity(0, before)


class Counter:
    """The callback every contender calls: counts, and signals the last message of a pass."""

    def __init__(self, count):
        self.count = count
        self.seen = 0
        self.done = threading.Event()

    def rearm(self):
        self.seen = 0
        self.done.clear()

    def __call__(self, message):
        self.seen += 1
        if self.seen == self.count:
            self.done.set()


def threaded_dispatcher(count):
    """(one_pass, close) for the dispatcher; one_pass() returns (delivered ns, push ns)."""
    callback = Counter(count)
    d = ThreadedDispatcher(callback, capacity=count, slot_size=SIZE)
    with threads_made_on(1):
        d.setup()
    ring = gc.get_referents(d)[0]   # the collector's view of the dispatcher: its ring, its callback

    def one_pass():
        # The last call of the previous pass may have returned without its
        # message having left the ring yet; a pass needs the whole ring.
        while len(ring):
            time.sleep(0.0001)
        callback.rearm()
        start = time.perf_counter_ns()
        with threads_made_on(0):
            producer = producer_cpp.start(d, count, SIZE)
        assert callback.done.wait(60), "not every message was delivered"
        delivered_ns = time.perf_counter_ns() - start
        assert producer.join() == count
        return delivered_ns, producer.elapsed_ns

    one_pass()   # maps the ring's pages
    return one_pass, d.close


def peer(run_pass):
    """A contender whose run_pass(callback, count, size) delivers a whole pass
    and returns its time in nanoseconds (the producer's time is the same)."""
    def contender(count):
        callback = Counter(count)

        def one_pass():
            callback.rearm()
            with threads_made_on(0):   # its producer thread, or its loop on this one
                ns = run_pass(callback, count, SIZE)
            assert callback.done.is_set()
            return ns, ns

        return one_pass, lambda: None
    return contender


def feeder_pass(callback, count, size):
    feeder = dispatch_peers.start(callback, count, size)
    feeder.join()
    return feeder.elapsed_ns


def best_of_alternating(contenders, count):
    """{name: [(delivered ns, producer ns) of each of REPEAT passes]}. The passes
    of the contenders alternate, the order rotating every round: a shared
    machine drifts by more than the differences measured here, and passes of
    one kind after the other would put the drift on one side. A pass during
    which the whole machine stopped (bench_latency's MachinePauses, the
    latency rows' guard) is run again, up to ATTEMPTS times in all."""
    from bench_latency import ATTEMPTS, MachinePauses
    passes = {name: make(count) for name, make in contenders}
    pauses = MachinePauses()

    def guarded(run_pass):
        for _ in range(ATTEMPTS):
            start = time.monotonic_ns()
            result = run_pass()
            if not pauses.during(start, time.monotonic_ns()):
                break
        return result
    try:
        return interleaved([(name, functools.partial(guarded, run_pass)) for name, (run_pass, _) in passes.items()],
                           REPEAT)
    finally:
        pauses.close()
        for _, close in passes.values():
            close()


def push_cost_ratio(theirs, mine):
    """Their median push cost over ours."""
    return median_spread([t[1] for t in theirs])[0] / median_spread([m[1] for m in mine])[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=32768, help="messages per pass")
    parser.add_argument("--short", action="store_true", help="a quick check: 3 passes of 4096 messages")
    args = parser.parse_args()
    global REPEAT
    count, REPEAT = (4096, 3) if args.short else (args.count, REPEAT)

    passes = best_of_alternating([
        ("ThreadedDispatcher", threaded_dispatcher),
        ("(a) lock per message", peer(feeder_pass)),
        ("(a') Ensure/Release", peer(threaded_peers.ensure_per_message)),
        ("(b) ceiling", peer(threaded_peers.ceiling)),
    ], count)
    # Per contender: the median delivery rate and push cost per message, with their spreads.
    best = {name: (median_spread([count / r[0] * 1e9 for r in runs]), median_spread([r[1] / count for r in runs]))
            for name, runs in passes.items()}
    ours = passes["ThreadedDispatcher"]
    table(f"ThreadedDispatcher: {count} messages of {SIZE} bytes per pass, median of {REPEAT} interleaved passes, "
          "every producer on the same CPU (the push cost ratio: the peer's median over ours)",
          ["path", "delivered msgs/s", "push ns", "push cost vs ThreadedDispatcher", "msgs/s min-max", "push ns min-max"],
          [[name, rate[0], push[0], push_cost_ratio(passes[name], ours), rate[1], push[1]]
           for name, (rate, push) in best.items()])
    best = {name: (rate[0], push[0]) for name, (rate, push) in best.items()}

    mine, peer_a, ceil = best["ThreadedDispatcher"], best["(a) lock per message"], best["(b) ceiling"]
    print()
    print(f"delivered vs (a): {mine[0] / peer_a[0]:.2f}x  (goal >= 0.9)")
    print(f"delivered vs (b): {mine[0] / ceil[0]:.2f}x  (goal >= 0.5)")
    print(f"push cost, (a) / ThreadedDispatcher: {push_cost_ratio(passes['(a) lock per message'], ours):.0f}x "
          "lower  (goal >= 20)")


if __name__ == "__main__":
    main()
