"""Data from another process over UDP and ZeroMQ: orvix.net's receivers beside a C loop and the Python peers.

Throughput: a C sender process (bench_udp send: sendmmsg, 64 datagrams a call, as fast as
the kernel takes them) sends COUNT datagrams of 64 and of 512 bytes over loopback to each
contender in turn, the contenders' passes alternating, the median pass of REPEAT:
- the ceiling: a plain C recvmmsg loop that reads each datagram (bench_udp recv);
- UdpReceiver into a ThreadedDispatcher's ring emptied by a native consumer loop
  (bench/native/ring_drain.cpp), into ThreadedBatchDispatcher and AsyncBatchDispatcher
  (len(batch) per call), and into AsyncDispatcher (one call per datagram);
- the peers: asyncio's DatagramProtocol (asyncio and uvloop loops) and a Python thread
  calling recv_into.
Every socket asks for a 4 MiB receive buffer. A pass ends when every datagram sent arrived
or none arrived for 0.3 s; its rate is what arrived over the time from the sender's first
send to the last arrival. Each row states sent, received and dropped (by the kernel: the
socket buffer overflowed; by the ring: refused full or unsent), and what bounds it: the
sender when the row lost nothing and received at 90 % or more of the rate the sender sent
at, else the receiver. The pass shown is the median of those that lost nothing, else of all.
Latency at 10k datagrams/s, 64 bytes, from the sender's stamp (CLOCK_MONOTONIC) to the
callback, for the paths into Python and their peers, the median p99 of RUNS.

ZeroMQ, the same way: a C libzmq PUSH sender process (bench_zmq push) connects to each
contender's PULL socket bound on tcp://127.0.0.1 and sends COUNT messages of 64 and of 512
bytes; PUSH/PULL pushes back, so nothing is lost and the sender goes at the pace of the
slowest stage. The ceiling is a plain C libzmq PULL loop (bench_zmq pull); ZmqReceiver's
paths are those of UdpReceiver; the peers are a Python thread calling pyzmq's recv()
(copying and not), recv_multipart(), and zmq.asyncio's recv() in an asyncio loop. A row's
bound is the C loop's (the sender and libzmq's I/O threads) when it reaches 80 % of the C
loop, else the consumer. Latency at 10k messages/s beside zmq.asyncio and the pyzmq thread.

    PYTHONPATH=build/<tree>/python:bench .venv/bin/python bench/bench_net.py [--short]
"""
import argparse
import asyncio
import functools
import os
import pathlib
import socket
import struct
import subprocess
import threading
import time
import warnings

import zmq
import zmq.asyncio

import orvix
import ring_drain
from bench_batch import Counter, each_message
from bench_latency import LOOPS, MachinePauses, await_for, median_runs, row_figures, wait_for
from bench_latency import on_loop as latency_on_loop
from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.net import UdpReceiver, ZmqReceiver
from orvix.utils.corvane.corvane import AsyncDispatcher, ThreadedDispatcher
from result_tables import interleaved, table

SIZES = (64, 512)
CAPACITY = 1 << 16
RECEIVE_BUFFER = 4 << 20
IDLE_S = 0.3            # a pass ends when nothing arrived for this long after the sender finished
LATENCY_RATE = 10_000
LATENCY_SIZE = 64
SO_MEMINFO, SK_MEMINFO_DROPS = 55, 8
# The native programs: in the tree with the C++ benchmarks (write_results.py says which),
# else in this package's own tree (<tree>/python/orvix/__init__.py -> <tree>/bench).
PROGRAM = pathlib.Path(os.environ.get("ORVIX_NATIVE_BENCH_DIR")
                       or pathlib.Path(orvix.__file__).resolve().parents[2] / "bench") / "bench_udp"
ZMQ_PROGRAM = PROGRAM.with_name("bench_zmq")


def send(port, count, size, rate=None):
    return subprocess.Popen([str(PROGRAM), "send", "127.0.0.1", str(port), str(count), str(size),
                             *([str(rate)] if rate else [])], stdout=subprocess.PIPE, text=True)


def sent_by(sender):
    """(start_ns, end_ns, sent) of a finished sender process."""
    out, _ = sender.communicate(timeout=300)
    assert sender.returncode == 0, sender.returncode
    return tuple(int(v) for v in out.split())


def kernel_drops(sock):
    return struct.unpack("9I", sock.getsockopt(socket.SOL_SOCKET, SO_MEMINFO, 36))[SK_MEMINFO_DROPS]


def udp_socket(blocking):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, RECEIVE_BUFFER)
    sock.bind(("127.0.0.1", 0))
    sock.setblocking(blocking)
    return sock


def zmq_push(endpoint, count, size, rate=None):
    return subprocess.Popen([str(ZMQ_PROGRAM), "push", endpoint, str(count), str(size),
                             *([str(rate)] if rate else [])], stdout=subprocess.PIPE, text=True)


class Udp:
    """UdpReceiver's side of a row: the receiver, its address for the sender, the sender."""
    name = "UdpReceiver"
    send = staticmethod(send)

    @staticmethod
    def receiver(target):
        with warnings.catch_warnings():   # a kernel that caps the buffer caps every contender alike
            warnings.simplefilter("ignore", RuntimeWarning)
            r = UdpReceiver(target, ("127.0.0.1", 0), receive_buffer=RECEIVE_BUFFER)
        r.start()
        return r, r.address[1]


class Zmq:
    """ZmqReceiver's side of a row: a PULL socket bound on loopback, a C PUSH sender."""
    name = "ZmqReceiver"
    send = staticmethod(zmq_push)

    @staticmethod
    def receiver(target):
        r = ZmqReceiver(target, "tcp://127.0.0.1:*", kind="PULL", bind=True)
        r.start()
        return r, r.endpoints[0]


def finish(r):
    r.stop()
    r.join()
    s = r.stats()
    return {"kernel": s["kernel_drops"], "ring": s["refused_full"] + s["unsent"]}


class LoopThread:
    """An event loop running in a thread of its own, so that every contender is watched alike."""

    def __init__(self, loop_name):
        self.loop = LOOPS[loop_name]()
        self.thread = threading.Thread(target=self.loop.run_forever)
        self.thread.start()

    def run(self, coroutine):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(60)

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(10)
        self.loop.close()


# ---- throughput contenders: make(size, counter) -> (port, seen(), stop() -> drops) ----------


def native_loop(source):
    def make(size, counter):
        d = ThreadedDispatcher(print, capacity=CAPACITY, slot_size=size)   # never set up: the loop reads
        drain = ring_drain.start(d)
        r, address = source.receiver(d)

        def stop():
            drops = finish(r)
            d.close()
            drain.join()
            return drops
        return address, lambda: drain.taken, stop
    return make


def threaded_batch(source):
    def make(size, counter):
        d = ThreadedBatchDispatcher(lambda batch: counter.add(len(batch)), slot_size=size, capacity=CAPACITY)
        d.setup()
        r, address = source.receiver(d)

        def stop():
            drops = finish(r)
            d.close()
            return drops
        return address, lambda: counter.seen, stop
    return make


def receiver_on_loop(source, loop_name, cls):
    def make(size, counter):
        loop = LoopThread(loop_name)
        if cls is AsyncBatchDispatcher:
            async def callback(batch):
                counter.add(len(batch))
        else:
            async def callback(message):
                counter.add(1)

        async def create():
            d = cls(callback, slot_size=size, capacity=CAPACITY)
            d.setup()
            return d
        d = loop.run(create())
        r, address = source.receiver(d)

        def stop():
            drops = finish(r)

            async def close():
                d.close()
                await asyncio.sleep(0.01)
            loop.run(close())
            loop.close()
            return drops
        return address, lambda: counter.seen, stop
    return make


def datagram_protocol_peer(loop_name):
    def make(size, counter):
        loop = LoopThread(loop_name)
        sock = udp_socket(blocking=False)

        class Protocol(asyncio.DatagramProtocol):
            def datagram_received(self, data, addr):
                counter.add(1)

        async def create():
            transport, _ = await asyncio.get_running_loop().create_datagram_endpoint(Protocol, sock=sock)
            return transport
        transport = loop.run(create())
        port = sock.getsockname()[1]

        def stop():
            drops = {"kernel": kernel_drops(sock), "ring": 0}

            async def close():
                transport.close()
                await asyncio.sleep(0.01)
            loop.run(close())
            loop.close()
            return drops
        return port, lambda: counter.seen, stop
    return make


def recv_into_peer(size, counter):
    sock = udp_socket(blocking=True)
    sock.settimeout(0.05)
    stopping = threading.Event()

    def run():
        buffer = bytearray(65536)
        while not stopping.is_set():
            try:
                sock.recv_into(buffer)
            except TimeoutError:
                continue
            counter.add(1)
    thread = threading.Thread(target=run)
    thread.start()

    def stop():
        stopping.set()
        thread.join()
        drops = {"kernel": kernel_drops(sock), "ring": 0}
        sock.close()
        return drops
    return sock.getsockname()[1], lambda: counter.seen, stop


def settle(seen, sent):
    """Waits until `sent` datagrams arrived or none for IDLE_S; returns when the last arrived."""
    last_count, last_ns = seen(), time.monotonic_ns()
    deadline = time.monotonic() + 120
    while last_count < sent and time.monotonic() < deadline:
        time.sleep(0.001)
        now, count = time.monotonic_ns(), seen()
        if count != last_count:
            last_count, last_ns = count, now
        elif now - last_ns > IDLE_S * 1e9:
            break
    return last_ns


def one_pass(make, count, size, source=Udp):
    counter = Counter()
    counter.rearm(count)
    address, seen, stop = make(size, counter)
    start_ns, end_ns, sent = sent_by(source.send(address, count, size))
    last_ns = settle(seen, sent)
    drops = stop()
    received = seen()
    return {"sent": sent, "received": received, **drops,
            "rate": received * 1e9 / max(last_ns - start_ns, 1), "send_rate": sent * 1e9 / max(end_ns - start_ns, 1)}


def c_loop_pass(count, size):
    loop = subprocess.Popen([str(PROGRAM), "recv", "0", str(count)], stdout=subprocess.PIPE, text=True)
    port = int(loop.stdout.readline().split()[1])
    start_ns, end_ns, sent = sent_by(send(port, count, size))
    out, _ = loop.communicate(timeout=300)
    fields = out.split()
    received, drops, last_ns = int(fields[1]), int(fields[3]), int(fields[7])
    return {"sent": sent, "received": received, "kernel": drops, "ring": 0,
            "rate": received * 1e9 / max(last_ns - start_ns, 1), "send_rate": sent * 1e9 / max(end_ns - start_ns, 1)}


C_LOOP = "C recvmmsg loop (ceiling)"


def receiver_paths(source):
    """The receiver's rows: into a native consumer loop and into each dispatcher that takes bursts or messages."""
    paths = [(f"{source.name} -> native consumer loop", native_loop(source)),
             (f"{source.name} -> ThreadedBatchDispatcher", threaded_batch(source))]
    for cls in (AsyncBatchDispatcher, AsyncDispatcher):
        for loop_name in LOOPS:
            paths.append((f"{source.name} -> {cls.__name__} ({loop_name})", receiver_on_loop(source, loop_name, cls)))
    return paths


def contenders():
    paths = [(C_LOOP, None), *receiver_paths(Udp)]
    peers = []
    for loop_name in LOOPS:
        peers.append((f"{loop_name} DatagramProtocol (peer)", datagram_protocol_peer(loop_name)))
    peers.append(("Python thread recv_into (peer)", recv_into_peer))
    return paths + peers


def median_passes(chosen, repeat, run):
    """{name: its median pass of `repeat`}: the contenders' passes alternate, the order rotating."""
    passes = interleaved([(name, functools.partial(run, make)) for name, make in chosen], repeat)
    # The median by rate of the passes that lost nothing, else of all of them: a rate
    # with loss is shown with its loss.
    def median(ps):
        lossless = [p for p in ps if p["received"] == p["sent"]] or ps
        return sorted(lossless, key=lambda p: p["rate"])[(len(lossless) - 1) // 2]
    return {name: median(ps) for name, ps in passes.items()}


def throughput_table(count, size, repeat):
    chosen = contenders()
    best = median_passes(chosen, repeat,
                       lambda make: c_loop_pass(count, size) if make is None else one_pass(make, count, size))
    ceiling = best[C_LOOP]["rate"]
    best_asyncio = max(p["rate"] for name, p in best.items() if "DatagramProtocol" in name)
    rows = []
    for name, _ in chosen:
        p = best[name]
        lossless = p["received"] == p["sent"]
        bound = "sender" if lossless and p["rate"] >= 0.9 * p["send_rate"] else "receiver"
        rows.append([name, p["rate"], p["sent"], p["received"], p["kernel"], p["ring"],
                     p["rate"] / ceiling, p["rate"] / best_asyncio, bound])
    table(f"UDP into Python: {count} datagrams of {size} bytes per pass over loopback from a C sendmmsg "
          f"sender process, median pass of {repeat}",
          ["path", "msgs/s", "sent", "received", "kernel drops", "ring drops", "x C loop", "x best asyncio",
           "bound"], rows)


# ---- ZeroMQ: the C PULL loop and the pyzmq peers (make(size, counter) -> (endpoint, seen(), stop())) ----

ZMQ_C_LOOP = "C libzmq PULL loop (ceiling)"
NO_DROPS = {"kernel": 0, "ring": 0}   # PUSH/PULL pushes back: a peer loses nothing


def zmq_c_loop_pass(count, size):
    loop = subprocess.Popen([str(ZMQ_PROGRAM), "pull", str(count)], stdout=subprocess.PIPE, text=True)
    endpoint = loop.stdout.readline().split()[1]
    start_ns, end_ns, sent = sent_by(zmq_push(endpoint, count, size))
    out, _ = loop.communicate(timeout=300)
    received, last_ns = int(out.split()[1]), int(out.split()[3])
    return {"sent": sent, "received": received, **NO_DROPS,
            "rate": received * 1e9 / max(last_ns - start_ns, 1), "send_rate": sent * 1e9 / max(end_ns - start_ns, 1)}


def pull_socket(context):
    sock = context.socket(zmq.PULL)
    sock.linger = 0
    sock.bind("tcp://127.0.0.1:*")
    return sock, sock.getsockopt_string(zmq.LAST_ENDPOINT)


def pyzmq_thread_peer(receive):
    """A Python thread that receives with receive(sock) until stopped (a 50 ms receive timeout to look)."""
    def make(size, counter):
        context = zmq.Context()
        sock, endpoint = pull_socket(context)
        sock.rcvtimeo = 50
        stopping = threading.Event()

        def run():
            while not stopping.is_set():
                try:
                    receive(sock)
                except zmq.Again:
                    continue
                counter.add(1)
        thread = threading.Thread(target=run)
        thread.start()

        def stop():
            stopping.set()
            thread.join()
            context.destroy(linger=0)
            return NO_DROPS
        return endpoint, lambda: counter.seen, stop
    return make


def zmq_asyncio_peer(size, counter):
    loop = LoopThread("asyncio")
    context = zmq.asyncio.Context()
    sock, endpoint = pull_socket(context)

    async def run():
        while True:
            await sock.recv()
            counter.add(1)
    task = asyncio.run_coroutine_threadsafe(run(), loop.loop)

    def stop():
        loop.loop.call_soon_threadsafe(task.cancel)

        async def close():
            await asyncio.sleep(0.01)
            context.destroy(linger=0)
        loop.run(close())
        loop.close()
        return NO_DROPS
    return endpoint, lambda: counter.seen, stop


ZMQ_PEERS = {
    "pyzmq recv() copy, Python thread (peer)": pyzmq_thread_peer(lambda sock: sock.recv()),
    "pyzmq recv(copy=False), Python thread (peer)": pyzmq_thread_peer(lambda sock: sock.recv(copy=False)),
    "pyzmq recv_multipart(), Python thread (peer)": pyzmq_thread_peer(lambda sock: sock.recv_multipart()),
    "zmq.asyncio recv() (peer)": zmq_asyncio_peer,
}


def zmq_throughput_table(count, size, repeat):
    chosen = [(ZMQ_C_LOOP, None), *receiver_paths(Zmq), *ZMQ_PEERS.items()]
    best = median_passes(chosen, repeat, lambda make: zmq_c_loop_pass(count, size) if make is None
                       else one_pass(make, count, size, Zmq))
    ceiling = best[ZMQ_C_LOOP]["rate"]
    best_sync = max(best[name]["rate"] for name in ZMQ_PEERS if "thread" in name)
    asyncio_peer = best["zmq.asyncio recv() (peer)"]["rate"]
    rows = []
    for name, _ in chosen:
        p = best[name]
        bound = "C loop's (sender, libzmq)" if p["rate"] >= 0.8 * ceiling else "consumer"
        rows.append([name, p["rate"], p["sent"], p["received"], p["ring"], p["rate"] / ceiling,
                     p["rate"] / best_sync, p["rate"] / asyncio_peer, bound])
    table(f"ZeroMQ into Python: {count} messages of {size} bytes per pass, PUSH/PULL over tcp://127.0.0.1 from "
          f"a C libzmq sender process, median pass of {repeat}",
          ["path", "msgs/s", "sent", "received", "ring drops", "x C loop", "x best pyzmq loop", "x zmq.asyncio",
           "bound"], rows)


# ---- latency: run(recorder, count, rate) -------------------------------------------------------


def settled(recorder, count, sender):
    """Waits for the sender, then for its datagrams (a second at most: a lost one is counted, not waited for)."""
    sent_by(sender)
    return time.monotonic() + 1


def threaded_latency(source):
    def run(recorder, count, rate):
        d = ThreadedBatchDispatcher(each_message(recorder), slot_size=LATENCY_SIZE, capacity=CAPACITY)
        d.setup()
        r, address = source.receiver(d)
        try:
            wait_for(recorder, count, settled(recorder, count, source.send(address, count, LATENCY_SIZE, rate)))
        finally:
            finish(r)
            d.close()
    return run


def loop_latency(source, loop_name, cls):
    async def body(recorder, count, rate):
        record = each_message(recorder) if cls is AsyncBatchDispatcher else recorder

        async def callback(item):
            record(item)
        d = cls(callback, slot_size=LATENCY_SIZE, capacity=CAPACITY)
        d.setup()
        r, address = source.receiver(d)
        try:
            sender = source.send(address, count, LATENCY_SIZE, rate)
            deadline = await asyncio.to_thread(settled, recorder, count, sender)
            await await_for(recorder, count, deadline)
        finally:
            await asyncio.to_thread(finish, r)
            d.close()
    return latency_on_loop(loop_name, body)


def receiver_latency_paths(source):
    chosen = [(f"{source.name} -> ThreadedBatchDispatcher", threaded_latency(source), False)]
    for loop_name in LOOPS:
        chosen.append((f"{source.name} -> AsyncBatchDispatcher ({loop_name})",
                       loop_latency(source, loop_name, AsyncBatchDispatcher), False))
        chosen.append((f"{source.name} -> AsyncDispatcher ({loop_name})",
                       loop_latency(source, loop_name, AsyncDispatcher), False))
    return chosen


def protocol_latency(loop_name):
    async def body(recorder, count, rate):
        class Protocol(asyncio.DatagramProtocol):
            def datagram_received(self, data, addr):
                recorder(data)
        sock = udp_socket(blocking=False)
        transport, _ = await asyncio.get_running_loop().create_datagram_endpoint(Protocol, sock=sock)
        try:
            sender = send(sock.getsockname()[1], count, LATENCY_SIZE, rate)
            await await_for(recorder, count, await asyncio.to_thread(settled, recorder, count, sender))
        finally:
            transport.close()
    return latency_on_loop(loop_name, body)


def recv_thread_latency(recorder, count, rate):
    sock = udp_socket(blocking=True)
    sock.settimeout(1)
    sender = send(sock.getsockname()[1], count, LATENCY_SIZE, rate)
    buffer = bytearray(LATENCY_SIZE)
    try:
        for _ in range(count):
            sock.recv_into(buffer)
            recorder(buffer)
    except TimeoutError:
        pass   # a datagram lost: the row says how many arrived
    sent_by(sender)
    sock.close()


def latency_rows(chosen, seconds, runs):
    pauses = MachinePauses()
    try:
        measured = median_runs(chosen, LATENCY_RATE, seconds, pauses, runs)
    finally:
        pauses.close()
    return [[name, *row_figures(measured[name])] for name, _, _ in chosen]


LATENCY_COLUMNS = ["path", "msgs/s", "p50", "p99", "p99.9", "max", "arrived"]


def latency_table(seconds, runs):
    chosen = receiver_latency_paths(Udp)
    for loop_name in LOOPS:
        chosen.append((f"{loop_name} DatagramProtocol (peer)", protocol_latency(loop_name), True))
    chosen.append(("Python thread recv_into (peer)", recv_thread_latency, True))
    table(f"UDP latency, sender stamp to callback (us), {LATENCY_SIZE}-byte datagrams, {seconds:g} s per row, "
          f"median p99 of {runs}", LATENCY_COLUMNS, latency_rows(chosen, seconds, runs))


def zmq_asyncio_latency(loop_name):
    async def body(recorder, count, rate):
        context = zmq.asyncio.Context()
        sock, endpoint = pull_socket(context)
        try:
            sender = zmq_push(endpoint, count, LATENCY_SIZE, rate)
            for _ in range(count):   # PUSH/PULL loses nothing: every message comes
                recorder(await sock.recv())
            sent_by(sender)
        finally:
            context.destroy(linger=0)
    return latency_on_loop(loop_name, body)


def pyzmq_thread_latency(recorder, count, rate):
    context = zmq.Context()
    sock, endpoint = pull_socket(context)
    try:
        sender = zmq_push(endpoint, count, LATENCY_SIZE, rate)
        for _ in range(count):
            recorder(sock.recv())
        sent_by(sender)
    finally:
        context.destroy(linger=0)


def zmq_latency_table(seconds, runs):
    chosen = [*receiver_latency_paths(Zmq), ("zmq.asyncio recv() (peer)", zmq_asyncio_latency("asyncio"), True),
              ("pyzmq recv(), Python thread (peer)", pyzmq_thread_latency, True)]
    table(f"ZeroMQ latency, sender stamp to callback (us), {LATENCY_SIZE}-byte messages over tcp://127.0.0.1, "
          f"{seconds:g} s per row, median p99 of {runs}", LATENCY_COLUMNS, latency_rows(chosen, seconds, runs))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1_000_000, help="datagrams (and ZeroMQ messages) per pass")
    parser.add_argument("--short", action="store_true", help="a quick check: small passes, once")
    args = parser.parse_args()
    count, repeat = (20_000, 1) if args.short else (args.count, 3)
    for size in SIZES:
        throughput_table(count, size, repeat)
    latency_table(0.05 if args.short else 1.0, 1 if args.short else 3)
    for size in SIZES:
        zmq_throughput_table(count, size, repeat)
    zmq_latency_table(0.05 if args.short else 1.0, 1 if args.short else 3)


if __name__ == "__main__":
    main()
