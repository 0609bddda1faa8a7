"""ThreadedDispatcher delivery beside its peers, measured in the same run.

A native producer thread pushes COUNT messages of 64 bytes; a Python callback
counts them. Figures, best of REPEAT runs:

  delivered   messages per second reaching the callback (first push to last call)
  push ns     the producer thread's own cost per message

Peers:
  (a) lock per message   a native thread that takes the interpreter lock and calls
                          the callback itself for every message (keeping one thread
                          state, its best case): dispatch_peers.start
  (a') Ensure/Release     the same with PyGILState_Ensure/Release per message
  (b) ceiling            one loop holding the lock that calls the callback with a
                          fresh bytes object per message: no hand-over at all

    PYTHONPATH=build/<tree>/python .venv/bin/python bench/bench_threaded.py [--count N]
"""
import argparse
import threading
import time

import dispatch_peers
import producer_cpp
import threaded_peers
from orvix.utils.corvane.corvane import ThreadedDispatcher

SIZE = 64
REPEAT = 3


def counting_callback(count):
    """The callback every contender calls: counts, and signals the last message."""
    done = threading.Event()
    seen = 0

    def callback(message):
        nonlocal seen
        seen += 1
        if seen == count:
            done.set()

    return callback, done


def threaded_dispatcher(count):
    callback, done = counting_callback(count)
    # Room for every message, so the producer never waits for the reader and
    # its figure is the cost of a push alone.
    d = ThreadedDispatcher(callback, capacity=count, slot_size=SIZE, block_on_full=True)
    d.setup()
    start = time.perf_counter_ns()
    producer = producer_cpp.start(d, count, SIZE)
    assert done.wait(120), "not every message was delivered"
    delivered_ns = time.perf_counter_ns() - start
    assert producer.join() == count
    d.close()
    return delivered_ns, producer.elapsed_ns


def lock_per_message(count):
    callback, done = counting_callback(count)
    feeder = dispatch_peers.start(callback, count, SIZE)
    feeder.join()
    assert done.is_set()
    return feeder.elapsed_ns, feeder.elapsed_ns


def ensure_per_message(count):
    callback, done = counting_callback(count)
    ns = threaded_peers.ensure_per_message(callback, count, SIZE)
    assert done.is_set()
    return ns, ns


def ceiling(count):
    callback, done = counting_callback(count)
    ns = threaded_peers.ceiling(callback, count, SIZE)
    assert done.is_set()
    return ns, ns


def best(run, count):
    """(delivered msgs/s, producer ns per message), best of REPEAT runs."""
    results = [run(count) for _ in range(REPEAT)]
    delivered_ns = min(r[0] for r in results)
    push_ns = min(r[1] for r in results)
    return count / delivered_ns * 1e9, push_ns / count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1_000_000)
    count = parser.parse_args().count

    rows = [
        ("ThreadedDispatcher", best(threaded_dispatcher, count)),
        ("(a) lock per message", best(lock_per_message, count)),
        ("(a') Ensure/Release", best(ensure_per_message, count)),
        ("(b) ceiling", best(ceiling, count)),
    ]
    print(f"{count} messages of {SIZE} bytes, best of {REPEAT}")
    print(f"{'':24}{'delivered msgs/s':>18}{'push ns':>10}")
    for name, (rate, push) in rows:
        print(f"{name:24}{rate:18,.0f}{push:10.1f}")

    mine, peer_a, ceil = rows[0][1], rows[1][1], rows[3][1]
    print()
    print(f"delivered vs (a): {mine[0] / peer_a[0]:.2f}x  (goal >= 0.9)")
    print(f"delivered vs (b): {mine[0] / ceil[0]:.2f}x  (goal >= 0.5)")
    print(f"push cost, (a) / ThreadedDispatcher: {peer_a[1] / mine[1]:.0f}x lower  (goal >= 20)")


if __name__ == "__main__":
    main()
