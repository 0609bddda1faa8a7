"""AsyncQueue throughput beside asyncio.Queue and janus, measured in the same run.

One event loop; a producer coroutine awaits a push per message and yields to the
loop every BATCH messages (so the queues stay bounded), while a consumer awaits a
pop per message, or a dispatch task awaits a callback per message. Figures are
messages per second, the median of REPEAT rounds with their spread (min-max), the
runs of the queues alternating; the gain over asyncio.Queue is the ratio of the
two medians shown.

    PYTHONPATH=build/<tree>/python .venv/bin/python bench/bench_asyncqueue.py [--no-uvloop]
"""
import argparse
import asyncio
import functools
import time

import janus
from result_tables import interleaved, median_spread, table

from orvix.utils.corvane.corvane import AsyncQueue

MESSAGE = b"m" * 64
BATCH = 256
CAPACITY = 16384


async def produce(put, n):
    for i in range(n):
        await put(MESSAGE)
        if i % BATCH == BATCH - 1:
            await asyncio.sleep(0)


async def consume(get, n):
    for _ in range(n):
        await get()


async def pair(put, get, n):
    t0 = time.perf_counter()
    await asyncio.gather(produce(put, n), consume(get, n))
    return time.perf_counter() - t0


async def orvix_pop(n):
    q = AsyncQueue(None, 128, CAPACITY)
    return await pair(q.push_buf, q.pop, n)


async def asyncio_get(n):
    q = asyncio.Queue(CAPACITY)
    return await pair(q.put, q.get, n)


async def janus_get(n):
    q = janus.Queue(CAPACITY)
    try:
        return await pair(q.async_q.put, q.async_q.get, n)
    finally:
        q.close()
        await q.wait_closed()


async def counted(n):
    """A callback that resolves `finished` after n messages."""
    finished = asyncio.get_running_loop().create_future()
    seen = 0

    async def callback(msg):
        nonlocal seen
        seen += 1
        if seen == n:
            finished.set_result(None)
    return callback, finished


async def orvix_dispatch(n):
    q = AsyncQueue(None, 128, CAPACITY)
    callback, finished = await counted(n)
    t0 = time.perf_counter()
    q.start_dispatcher(callback)
    await produce(q.push_buf, n)
    await finished
    elapsed = time.perf_counter() - t0
    await q.shutdown()
    return elapsed


async def asyncio_dispatch(n):
    q = asyncio.Queue(CAPACITY)
    callback, finished = await counted(n)

    async def dispatch():
        while True:
            await callback(await q.get())

    t0 = time.perf_counter()
    task = asyncio.ensure_future(dispatch())
    await produce(q.put, n)
    await finished
    elapsed = time.perf_counter() - t0
    task.cancel()
    return elapsed


def rates_per_round(loop_factory, fns, n, repeat):
    """{name: [rate in each round]}. The runs of the functions alternate, the
    order rotating every round: a shared machine drifts by more than the
    differences measured here, and runs of one kind after the other would put
    the drift on one side only."""
    def rate(fn):
        with asyncio.Runner(loop_factory=loop_factory) as runner:
            return n / runner.run(fn(n))
    return interleaved([(name, functools.partial(rate, fn)) for name, fn in fns.items()], repeat)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=200_000, help="messages per run")
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--no-uvloop", action="store_true", help="run under asyncio's own loop only")
    parser.add_argument("--short", action="store_true", help="a quick check: 10,000 messages, one run")
    args = parser.parse_args()
    if args.short:
        args.n, args.repeat = 10_000, 1

    loops = [("asyncio", asyncio.new_event_loop)]
    if not args.no_uvloop:
        try:
            import uvloop
            loops.append(("uvloop", uvloop.new_event_loop))
        except ImportError:
            print("(uvloop is not installed: asyncio's loop only)")

    rows = []
    for loop_name, factory in loops:
        rates = rates_per_round(factory, {"orvix pop": orvix_pop, "asyncio get": asyncio_get,
                                          "janus get": janus_get, "orvix dispatch": orvix_dispatch,
                                          "asyncio dispatch": asyncio_dispatch},
                                args.n, args.repeat)
        med = {name: median_spread(r) for name, r in rates.items()}
        rows += [
            [f"push_buf/pop ({loop_name})", med["orvix pop"][0], med["asyncio get"][0], med["janus get"][0],
             med["orvix pop"][0] / med["asyncio get"][0], med["orvix pop"][1], med["asyncio get"][1]],
            [f"push_buf/dispatch ({loop_name})", med["orvix dispatch"][0], med["asyncio dispatch"][0], "",
             med["orvix dispatch"][0] / med["asyncio dispatch"][0], med["orvix dispatch"][1],
             med["asyncio dispatch"][1]],
        ]
    table(f"AsyncQueue, {args.n} messages of {len(MESSAGE)} bytes, median of {args.repeat} interleaved rounds "
          "(msgs/s; the gain is the ratio of the two medians)",
          ["path", "AsyncQueue", "asyncio.Queue", "janus", "x asyncio.Queue", "AsyncQueue min-max",
           "asyncio.Queue min-max"], rows)


if __name__ == "__main__":
    main()
