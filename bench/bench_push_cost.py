"""The producer's cost of one push, per dispatcher, beside the bare ring push, in one run.

A native thread without the interpreter lock pushes COUNT messages of 64
bytes in batches of 1024 and takes them out again between batches (untimed),
so the ring (4096 slots) stays in the cache and never fills: the figure is
the push alone. No reader runs, so the socket dispatchers send no wake-up
datagram (their doorbell is not armed); wake-ups are in bench_dispatchers.
The median of REPEAT passes, nanoseconds per push.

  bare ring push         SPSCQueue table entry `push` (what the socket dispatchers call)
  bare ring push_notify  entry `push_notify` (what ThreadedDispatcher calls)
  <dispatcher>           orvix_producer_push: the dispatcher's entry, with the ring's result
  <dispatcher> (void)    its push_fn without a result (AsyncDispatcher, SyncDispatcher)

    PYTHONPATH=build/release/python:bench .venv/bin/python bench/bench_push_cost.py [--short]
"""
import argparse
import statistics

import push_cost
from result_tables import table
from orvix.ringq.ringq import SPSCQueue
from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher, ThreadedDispatcher

SIZE = 64
RING = {"capacity": 4096, "slot_size": SIZE}


def ignore(message):
    pass


async def ignore_async(message):
    pass


def median_of(cases, count, repeat):
    """The median ns per push of each (make, entry) case; the cases take turns, so that
    a disturbance of the machine is spread over all of them."""
    targets = [(make(), entry) for make, entry in cases]
    for target, entry in targets:   # warm-up: pages mapped, code hot
        push_cost.measure(target, count // 10, SIZE, entry)
    runs = [[] for _ in targets]
    for _ in range(repeat):
        for i, (target, entry) in enumerate(targets):
            runs[i].append(push_cost.measure(target, count, SIZE, entry))
    return [statistics.median(r) for r in runs]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=2_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--short", action="store_true", help="a small run that only checks the command works")
    a = parser.parse_args()
    if a.short:
        a.count, a.repeat = 20_000, 1

    cases = [
        ("bare ring push", lambda: SPSCQueue(**RING), "ring", None),
        ("bare ring push_notify", lambda: SPSCQueue(**RING), "ring_notify", None),
        ("ThreadedDispatcher", lambda: ThreadedDispatcher(ignore, **RING), "producer", 1),
        ("SyncDispatcher", lambda: SyncDispatcher(ignore, **RING), "producer", 0),
        ("SyncDispatcher (void)", lambda: SyncDispatcher(ignore, **RING), "void", 0),
        ("AsyncDispatcher", lambda: AsyncDispatcher(ignore_async, **RING), "producer", 0),
        ("AsyncDispatcher (void)", lambda: AsyncDispatcher(ignore_async, **RING), "void", 0),
    ]
    ns = median_of([(make, entry) for _, make, entry, _ in cases], a.count, a.repeat)
    # Each dispatcher beside the bare entry it calls: push (socket dispatchers), push_notify (threaded).
    rows = []
    for (name, _, _, bare), n in zip(cases, ns):
        base = n if bare is None else ns[bare]
        rows.append([name, n, base, n - base])
    table(f"Producer push cost, {SIZE}-byte messages (ns per push, median of {a.repeat})",
          ["path", "push", "bare ring", "above the ring"], rows)


if __name__ == "__main__":
    main()
