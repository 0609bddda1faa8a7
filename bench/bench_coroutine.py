"""The runtime's coroutine objects beside `async def` coroutines, same run.

Each case creates and awaits N coroutines with the same trivial body, once
written in C++ (bench/native/coro_bench.cpp) and once as `async def`. The C++
bodies are first steps, the runtime's form for a call that can finish at once
or only awaits its result (no C++ frame is made); the last three rows run the
same bodies written as C++ coroutines, which make a C++ frame per call. The
awaiting loop is an `async def` driven by hand (no event loop) for the plain
cases, and an asyncio task for the suspending case. Figures are nanoseconds
per coroutine, the median of REPEAT rounds with their spread (min-max). The
runs of the two kinds alternate (which one goes first swaps every round): the
speed of a shared machine drifts by more than the difference measured here,
and runs of one kind after the other would put the drift on one side only.
The ratio is that of the two medians shown, so that it follows from them.

A second table shows what each reuse of the runtime buys (released
coroutine objects, released C++ frames, one StopIteration refilled for every
returned value): the same function made without it, against the function as
it is, paired the same way; a gain of 1.2 means 1.2 times as slow without it.

    PYTHONPATH=build/<tree>/python .venv/bin/python bench/bench_coroutine.py
"""
import argparse
import asyncio
import time

import coro_bench as native
from result_tables import median_spread, table


async def trivial():
    return None


async def add(a, b):
    return a + b


async def await_value(aw):
    return await aw


async def loop_trivial(fn, n):
    for _ in range(n):
        await fn()


async def loop_add(fn, n):
    for i in range(n):
        await fn(i, 1)


async def ready():
    return 1


async def loop_awaiting(fn, n):
    for _ in range(n):
        await fn(ready())


async def loop_suspending(fn, n):
    for _ in range(n):
        await fn(asyncio.sleep(0))


def drive(coro):
    try:
        coro.send(None)
    except StopIteration:
        pass
    else:
        raise RuntimeError("the benchmark loop suspended")


def timed_pair(ours, theirs, n, repeat):
    """The median ns per coroutine of each over the rounds, each with its spread
    (min-max), and the ratio of the two medians (so that it follows from them)."""
    took = {ours: [], theirs: []}
    for round_ in range(repeat):
        for run in (ours, theirs) if round_ % 2 == 0 else (theirs, ours):
            t0 = time.perf_counter()
            run()
            took[run].append(time.perf_counter() - t0)
    a, a_spread = median_spread([t / n * 1e9 for t in took[ours]])
    b, b_spread = median_spread([t / n * 1e9 for t in took[theirs]])
    return a, a_spread, b, b_spread, a / b


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-n", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    n, repeat = args.n, args.repeat

    cases = [
        ("create + await, return None", loop_trivial, native.trivial, trivial, n, drive),
        ("create + await, return a + b", loop_add, native.add, add, n, drive),
        ("body awaits an async def", loop_awaiting, native.await_value, await_value, n, drive),
        ("await asyncio.sleep(0) in a task", loop_suspending, native.await_value, await_value,
         n // 10, asyncio.run),
        ("return None, as a C++ coroutine body", loop_trivial, native.trivial_body, trivial, n, drive),
        ("return a + b, as a C++ coroutine body", loop_add, native.add_body, add, n, drive),
        ("awaits an async def, as a C++ coroutine body", loop_awaiting, native.await_value_body, await_value,
         n, drive),
    ]
    rows = []
    for title, loop, ours, theirs, count, runner in cases:
        rows.append([title, *timed_pair(lambda: runner(loop(ours, count)),
                                        lambda: runner(loop(theirs, count)), count, repeat)])
    table(f"Coroutine type against async def (ns per coroutine, median of {repeat} interleaved rounds with min-max; "
          "ratio: runtime / async def)",
          ["case", "runtime", "runtime min-max", "async def", "async def min-max", "ratio"], rows)

    reuses = [
        ("coroutine objects (return a + b)", native.add, native.add_without_coroutine_objects),
        ("StopIteration (return a + b)", native.add, native.add_without_stop_iteration),
        ("C++ frames (return a + b, C++ body)", native.add_body, native.add_body_without_frames),
        ("all three (return a + b, C++ body)", native.add_body, native.add_body_without_reuse),
    ]
    rows = []
    for title, with_reuse, without in reuses:
        t_without, without_spread, t_with, with_spread, gain = timed_pair(
            lambda: drive(loop_add(without, n)), lambda: drive(loop_add(with_reuse, n)), n, repeat)
        rows.append([title, t_with, with_spread, t_without, without_spread, gain])
    table(f"What each reuse of the coroutine type buys (ns per coroutine, median of {repeat} interleaved rounds "
          "with min-max; gain: without / with)",
          ["reuse", "with", "with min-max", "without", "without min-max", "gain"], rows)


if __name__ == "__main__":
    main()
