"""Latency per message on every path, beside its peers measured in the same run.

Each message carries its send time (CLOCK_MONOTONIC ns, bytes 8..15); the callback,
a native Recorder, adds now - send time to a histogram. Messages of 64 bytes at fixed
rates; p50, p99, p99.9 and max in microseconds per path and rate.

  native thread -> Python thread   ThreadedDispatcher, SyncDispatcher (fed by orvix.feed)
      peers: (a) a native thread taking the lock and calling back directly,
             (b) SimpleQueue.put under the lock, a Python thread in get()
  native thread -> event loop      AsyncDispatcher (fed by orvix.feed), asyncio and uvloop
      peer:  call_soon_threadsafe under the lock
  coroutine -> coroutine           AsyncQueue push_buf / pop, asyncio and uvloop
      peer:  asyncio.Queue put / get (both pushed from a paced coroutine)

A rate a path cannot carry shows as latency growing with the backlog. Each path and
rate runs RUNS times (the contenders' runs alternating); its row is the run with the
median p99, beside the lowest and highest p99 of its runs (how far a p99 moves from run
to run, which tells a real difference from a chance one).

A row during which a separate process saw the whole machine stop (a host's CPU
quota stops a virtual machine for up to 100 ms) is measured again; the last table
counts them.

The wake-up table measures the wake-up alone, at 1k and 10k msgs/s: datagrams sent by
another process to a thread blocked in recv (SyncDispatcher's wait) and to
loop.sock_recv (AsyncDispatcher's wait). A path's latency beyond it is its own.

    PYTHONPATH=build/<tree>/python .venv/bin/python bench/bench_latency.py [--short]
"""
import argparse
import asyncio
import functools
import queue
import socket
import struct
import subprocess
import sys
import threading
import time

import uvloop

import dispatch_peers
import latency_recorder
from result_tables import interleaved, table
from orvix.feed import Feed
from orvix.utils.corvane.corvane import AsyncDispatcher, AsyncQueue, SyncDispatcher, ThreadedDispatcher

SIZE = 64
RATES = (1_000, 10_000, 100_000, 1_000_000)
PERCENTILES = (50.0, 99.0, 99.9)
HEADER = struct.Struct("<QQ")
PADDING = bytes(SIZE - HEADER.size)
CAPACITY = 1 << 16
BATCH = 256
LOOPS = {"asyncio": asyncio.new_event_loop, "uvloop": uvloop.new_event_loop}


def wait_for(recorder, count, deadline):
    while recorder.seen < count and time.monotonic() < deadline:
        time.sleep(0.001)


async def await_for(recorder, count, deadline):
    while recorder.seen < count and time.monotonic() < deadline:
        await asyncio.sleep(0.001)


# ---- native thread -> Python thread ------------------------------------------------

def feed_into(dispatcher_class):
    def run(recorder, count, rate):
        d = dispatcher_class(recorder, capacity=CAPACITY, slot_size=SIZE)
        d.setup()
        try:
            with Feed(d, count=count, rate=rate, size=SIZE) as feed:
                feed.join()
            wait_for(recorder, count, time.monotonic() + 30)
        finally:
            d.close()
    return run


def lock_per_message(recorder, count, rate):
    dispatch_peers.start(recorder, count, SIZE, rate).join()


def simple_queue(recorder, count, rate):
    q = queue.SimpleQueue()

    def reader():
        get = q.get
        for _ in range(count):
            recorder(get())
    thread = threading.Thread(target=reader)
    thread.start()
    dispatch_peers.start(q.put, count, SIZE, rate).join()
    thread.join(30)


# ---- native thread -> event loop -------------------------------------------------------

def on_loop(loop_name, body):
    def run(recorder, count, rate):
        with asyncio.Runner(loop_factory=LOOPS[loop_name]) as runner:
            runner.run(body(recorder, count, rate))
    return run


async def async_dispatcher(recorder, count, rate):
    async def callback(msg):
        recorder(msg)
    d = AsyncDispatcher(callback, capacity=CAPACITY, slot_size=SIZE)
    d.setup()
    await asyncio.sleep(0)
    try:
        feed = Feed(d, count=count, rate=rate, size=SIZE)
        feed.start()
        await asyncio.to_thread(feed.join)
        await await_for(recorder, count, time.monotonic() + 30)
    finally:
        d.close()


async def call_soon_threadsafe(recorder, count, rate):
    loop = asyncio.get_running_loop()
    feeder = dispatch_peers.start(lambda msg: loop.call_soon_threadsafe(recorder, msg), count, SIZE, rate)
    await asyncio.to_thread(feeder.join)
    await await_for(recorder, count, time.monotonic() + 30)


# ---- coroutine -> coroutine ---------------------------------------------------------------

async def paced_producer(put, count, rate):
    """Pushes message i at start + i / rate, stamping it just before the push;
    while waiting, and after every BATCH messages when behind, it yields to the
    loop (the consumer runs there), so neither queue fills up."""
    period = 1e9 / rate
    start = time.monotonic_ns()
    for i in range(count):
        due = start + i * period
        while (now := time.monotonic_ns()) < due:
            await asyncio.sleep((due - now) / 1e9 - 1e-4 if due - now > 200_000 else 0)
        await put(HEADER.pack(i, time.monotonic_ns()) + PADDING)
        if i % BATCH == BATCH - 1:
            await asyncio.sleep(0)


async def consumer(get, recorder, count):
    for _ in range(count):
        recorder(await get())


async def async_queue(recorder, count, rate):
    q = AsyncQueue(None, SIZE, CAPACITY)
    await asyncio.gather(paced_producer(q.push_buf, count, rate), consumer(q.pop, recorder, count))


async def asyncio_queue(recorder, count, rate):
    q = asyncio.Queue(CAPACITY)
    await asyncio.gather(paced_producer(q.put, count, rate), consumer(q.get, recorder, count))


# ---- where the time goes: the wake-up alone -------------------------------------------
#
# A separate process sends timestamped datagrams (no interpreter lock shared
# with this one) to a socket that this process waits on: in a blocking recv
# on a thread, as SyncDispatcher's reader does, or in loop.sock_recv, as
# AsyncDispatcher's reader task does. What remains of a path's latency beyond
# this stage is its own: the ring, the pop, handing over to the callback.

SENDER = """
import socket, struct, sys, time
port, count, rate, size = map(int, sys.argv[1:])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
header, padding = struct.Struct("<QQ"), bytes(size - 16)
period, start = 1e9 / rate, time.monotonic_ns()
for i in range(count):
    due = start + i * period
    while (now := time.monotonic_ns()) < due:
        if due - now > 200_000:
            time.sleep((due - now) / 1e9 - 1e-4)
    s.sendto(header.pack(i, time.monotonic_ns()) + padding, ("127.0.0.1", port))
"""


def datagram_sender(sock, count, rate):
    return subprocess.Popen([sys.executable, "-c", SENDER, str(sock.getsockname()[1]), str(count), str(rate),
                             str(SIZE)])


def udp_socket(blocking):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
    sock.bind(("127.0.0.1", 0))
    sock.setblocking(blocking)
    return sock


def datagram_to_thread(recorder, count, rate):
    sock = udp_socket(blocking=True)
    sock.settimeout(5)
    sender = datagram_sender(sock, count, rate)
    try:
        for _ in range(count):
            recorder(sock.recv(SIZE))
    except OSError:
        pass   # a datagram lost on loopback: the rows say how many arrived
    sender.wait()
    sock.close()


async def datagram_to_loop(recorder, count, rate):
    loop = asyncio.get_running_loop()
    sock = udp_socket(blocking=False)
    sender = datagram_sender(sock, count, rate)
    try:
        for _ in range(count):
            recorder(await asyncio.wait_for(loop.sock_recv(sock, SIZE), 5))
    except (OSError, TimeoutError):
        pass
    await asyncio.to_thread(sender.wait)
    sock.close()


def stages():
    """The wake-up stages, beside the paths that contain them."""
    yield "datagram -> thread blocked in recv", datagram_to_thread
    for loop_name in LOOPS:
        yield f"datagram -> loop.sock_recv ({loop_name})", on_loop(loop_name, datagram_to_loop)


def destinations():
    """(destination, [(contender, run, is_peer)]): the paths first, then their peers."""
    yield "native thread -> Python thread", [
        ("ThreadedDispatcher", feed_into(ThreadedDispatcher), False),
        ("SyncDispatcher", feed_into(SyncDispatcher), False),
        ("(a) native thread, lock per message", lock_per_message, True),
        ("(b) SimpleQueue to a thread", simple_queue, True),
    ]
    for loop_name in LOOPS:
        yield f"native thread -> {loop_name} loop", [
            (f"AsyncDispatcher ({loop_name})", on_loop(loop_name, async_dispatcher), False),
            (f"call_soon_threadsafe ({loop_name})", on_loop(loop_name, call_soon_threadsafe), True),
        ]
    for loop_name in LOOPS:
        yield f"coroutine -> coroutine ({loop_name})", [
            (f"AsyncQueue ({loop_name})", on_loop(loop_name, async_queue), False),
            (f"asyncio.Queue ({loop_name})", on_loop(loop_name, asyncio_queue), True),
        ]


# ---- pauses of the whole machine ------------------------------------------------------
#
# A virtual machine can be stopped as a whole by its host (a CPU quota running
# out stops every thread for up to 100 ms). Such a pause lands in the tail of
# whichever row runs meanwhile and says nothing about its path. A separate
# process, sharing no lock with this one, sleeps 2 ms at a time and reports
# every wake-up that came more than PAUSE_MS late; a row during which it saw
# one is measured again (up to ATTEMPTS times).

PAUSE_MS = 20
ATTEMPTS = 3
PAUSE_METER = f"""
import time
last = time.monotonic_ns()
while True:
    time.sleep(0.002)
    now = time.monotonic_ns()
    if now - last > {PAUSE_MS} * 1_000_000:
        print(last, now, flush=True)
    last = now
"""


class MachinePauses:
    """The pauses (start, end in CLOCK_MONOTONIC ns) that the meter process reported."""

    def __init__(self):
        self.seen = []
        self.remeasured = self.still_paused = 0
        self._meter = subprocess.Popen([sys.executable, "-c", PAUSE_METER], stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self._collect, daemon=True).start()

    def _collect(self):
        for line in self._meter.stdout:
            start, end = map(int, line.split())
            self.seen.append((start, end))

    def during(self, start, end):
        time.sleep(2 * PAUSE_MS / 1e3)   # a pause that ended just now is reported by then
        return any(s < end and e > start for s, e in list(self.seen))

    def close(self):
        self._meter.kill()
        self._meter.wait()


def measure(run, rate, seconds, pauses):
    """Runs `seconds` of messages after a warm-up of a tenth as many, which are not recorded;
    again when the machine paused meanwhile."""
    count = max(100, int(rate * seconds))
    warm_up = count // 10
    for attempt in range(ATTEMPTS):
        recorder = latency_recorder.Recorder(skip=warm_up)
        start = time.monotonic_ns()
        run(recorder, count + warm_up, rate)
        if not pauses.during(start, time.monotonic_ns()):
            break
        if attempt < ATTEMPTS - 1:
            pauses.remeasured += 1
        else:
            pauses.still_paused += 1
    us = [recorder.percentile(p) / 1e3 for p in PERCENTILES]
    return {"rate": rate, "count": count, "delivered": recorder.seen - warm_up,
            "p50": us[0], "p99": us[1], "p99.9": us[2], "max": recorder.max / 1e3}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="seconds of messages per path and rate")
    parser.add_argument("--runs", type=int, default=3, help="runs per path and rate (the median p99 is shown)")
    parser.add_argument("--short", action="store_true", help="a quick check: 1k and 10k msgs/s, 0.05 s each, once")
    args = parser.parse_args()
    rates, seconds, runs = (RATES[:2], 0.05, 1) if args.short else (RATES, args.seconds, args.runs)

    print(f"latency in us from send to callback, {SIZE}-byte messages, {seconds:g} s per path and rate")
    pauses = MachinePauses()
    try:
        measure_all(rates, seconds, pauses, runs)
    finally:
        pauses.close()
    table(f"Machine pauses: latency rows during which another process saw the machine stop for over {PAUSE_MS} ms",
          ["rows", "count"], [["measured again", pauses.remeasured],
                              [f"still hit after {ATTEMPTS} tries", pauses.still_paused]])


def row_figures(r):
    """A measured row's columns from msgs/s on: rate, p50, p99, p99.9, max, what arrived."""
    arrived = "all" if r["delivered"] == r["count"] else f"{r['delivered']} of {r['count']}"
    return [r["rate"], r["p50"], r["p99"], r["p99.9"], r["max"], arrived]


def median_runs(contenders, rate, seconds, pauses, runs):
    """{name: the measured run with the median p99 of `runs` runs, with the lowest
    and highest p99 of those runs}. The runs of the contenders alternate, the
    order rotating every round, so that the machine's drift does not fall on
    one of them only."""
    measured = interleaved([(name, functools.partial(measure, run, rate, seconds, pauses))
                            for name, run, _ in contenders], runs)
    chosen = {}
    for name, rs in measured.items():
        rs.sort(key=lambda r: r["p99"])
        chosen[name] = dict(rs[len(rs) // 2], p99_low=rs[0]["p99"], p99_high=rs[-1]["p99"])
    return chosen


def measure_all(rates, seconds, pauses, runs):
    for destination, contenders in destinations():
        rows = []
        for rate in rates:
            chosen = median_runs(contenders, rate, seconds, pauses, runs)
            for name, _, is_peer in contenders:
                r = chosen[name]
                *figures, arrived = row_figures(r)
                rows.append([name, "peer" if is_peer else "path", *figures, r["p99_low"], r["p99_high"], arrived])
        table(f"Latency, {destination} (us)",
              ["path", "role", "msgs/s", "p50", "p99", "p99.9", "max", "p99 of runs, min", "p99 of runs, max",
               "arrived"], rows)

    # The wake-up stages at one rate each path can carry without a backlog.
    rows = []
    for rate in rates[:2]:
        for name, run in stages():
            rows.append([name, *row_figures(measure(run, rate, seconds, pauses))])
    table("Wake-up alone: a datagram from another process, latency (us)",
          ["stage", "msgs/s", "p50", "p99", "p99.9", "max", "arrived"], rows)


if __name__ == "__main__":
    main()
