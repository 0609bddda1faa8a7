"""orvix.net: native UDP receivers pushing into every kind of target, over loopback and network namespaces."""
import asyncio
import errno
import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import uuid
import warnings

import pytest

pytest.importorskip("orvix.net._net")

from corvane_helpers import check_python
from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.feed import Feed
from orvix.net import METADATA_FIELDS, METADATA_SIZE, UdpReceiver, split_metadata
from orvix.shm import SharedRing
from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher, ThreadedDispatcher

pytestmark = pytest.mark.timeout(60)

KINDS = ["threaded", "sync", "async", "threaded_batch", "async_batch", "shared"]
RAMP = bytes(range(256)) * 260
LOOPBACK = ("127.0.0.1", 0)


def message(seq, size=None):
    """Datagram `seq`: its number, then a ramp; sizes vary from 8 to 207 bytes unless given."""
    size = 8 + seq * 7 % 200 if size is None else size
    return struct.pack("<Q", seq)[:size] + RAMP[seq % 256:seq % 256 + max(size - 8, 0)]


class Sink:
    """A target of one kind, its reader running (unless `reader=False`), collecting what arrives."""

    def __init__(self, kind, capacity=4096, slot_size=2048, reader=True):
        self.kind, self.messages, self.lock = kind, [], threading.Condition()
        self.ring = self.loop = None
        sizes = {"capacity": capacity, "slot_size": slot_size}
        if kind in ("async", "async_batch"):
            ready = threading.Event()

            async def main():
                async def callback(item):
                    self.take(item)
                self.loop = asyncio.get_running_loop()
                cls = AsyncDispatcher if kind == "async" else AsyncBatchDispatcher
                self.target = self.dispatcher = cls(callback, **sizes)
                if reader:
                    self.dispatcher.setup()
                self.done = asyncio.Event()
                ready.set()
                await self.done.wait()
                self.dispatcher.close()

            self.thread = threading.Thread(target=asyncio.run, args=(main(),))
            self.thread.start()
            assert ready.wait(10)
            return
        if kind == "shared":
            self.ring = SharedRing(f"orvix-net-{os.getpid()}-{uuid.uuid4().hex[:8]}", **sizes)
            self.dispatcher = ThreadedBatchDispatcher(self.take, ring=self.ring)
            self.target = SharedRing.attach(self.ring.name)
        else:
            cls = {"threaded": ThreadedDispatcher, "sync": SyncDispatcher,
                   "threaded_batch": ThreadedBatchDispatcher}[kind]
            self.target = self.dispatcher = cls(self.take, **sizes)
        if reader:
            self.dispatcher.setup()

    def take(self, item):
        with self.lock:
            if isinstance(item, bytes):
                self.messages.append(item)
            else:
                self.messages.extend(item)
            self.lock.notify_all()

    def wait_for(self, count, timeout=20):
        with self.lock:
            return self.lock.wait_for(lambda: len(self.messages) >= count, timeout)

    def close_target(self):
        """The target's own close(): the ring refuses every later push."""
        if self.kind == "shared":
            self.ring.close()
        elif self.loop is not None:
            asyncio.run_coroutine_threadsafe(asyncio.sleep(0), self.loop).result(10)
            self.loop.call_soon_threadsafe(self.dispatcher.close)
            asyncio.run_coroutine_threadsafe(asyncio.sleep(0), self.loop).result(10)
        else:
            self.dispatcher.close()

    def close(self):
        if self.loop is not None:
            self.loop.call_soon_threadsafe(self.done.set)
            self.thread.join(10)
        else:
            self.dispatcher.close()
        if self.ring is not None:
            self.target.close()
            self.ring.close()


def send_paced(sock, address, sink, datagrams, window=64, timeout=20):
    """Sends `datagrams` `window` at a time, each window once the sink holds everything before it."""
    deadline = time.monotonic() + timeout
    for start in range(0, len(datagrams), window):
        for d in datagrams[start:start + window]:
            sock.sendto(d, address)
        assert sink.wait_for(min(start + window, len(datagrams)), max(deadline - time.monotonic(), 0)), (
            len(sink.messages), start)


def conserved(stats):
    """Every datagram taken in ended in exactly one place."""
    return stats["received"] == (stats["stored"] + stats["refused_full"] + stats["too_long"]
                                 + stats["not_allowed"] + stats["unsent"])


@pytest.fixture
def sender():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.bind(("127.0.0.1", 0))
        yield sock


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("on_full", ["wait", "drop"])
def test_every_datagram_arrives_once_in_order_as_sent(kind, on_full, sender):
    sink = Sink(kind)
    count = 3000
    datagrams = [message(seq) for seq in range(count)]
    with UdpReceiver(sink.target, LOOPBACK, on_full=on_full, burst=16) as receiver:
        send_paced(sender, receiver.address, sink, datagrams)
        assert receiver.stats()["state"] == "running"
    sink.close()
    stats = receiver.stats()
    assert sink.messages == datagrams and stats["state"] == "stopped"
    assert {k: stats[k] for k in ("received", "stored", "bytes", "errors", "kernel_drops")} == {
        "received": count, "stored": count, "bytes": sum(map(len, datagrams)), "errors": 0, "kernel_drops": 0}


@pytest.mark.parametrize("kind", KINDS)
def test_datagrams_longer_than_a_slot_are_counted_and_never_cut(kind, sender):
    sink = Sink(kind, capacity=64, slot_size=256)
    sizes = [10, 256, 257, 1000, 65507, 0, 200]
    with UdpReceiver(sink.target, LOOPBACK) as receiver:
        for seq, size in enumerate(sizes):
            sender.sendto(message(seq, size), receiver.address)
        assert sink.wait_for(4)
        sender.sendto(b"marker", receiver.address)
        assert sink.wait_for(5)
    sink.close()
    stats = receiver.stats()
    assert sink.messages == [message(0, 10), message(1, 256), b"", message(6, 200), b"marker"]
    assert (stats["received"], stats["stored"], stats["too_long"]) == (8, 5, 3) and conserved(stats)


@pytest.mark.parametrize("kind", KINDS)
def test_a_flood_beyond_the_ring_is_counted_by_the_ring_and_the_kernel(kind, sender):
    # No reader: the ring (8 slots) fills. "drop" keeps reading and counts
    # each refused datagram; "wait" stops reading, so the socket buffer
    # fills and the kernel counts. A loopback send has put its datagram in
    # the socket's buffer (or dropped it) when it returns, and the receiver
    # takes what the buffer holds as it stops: every datagram sent is
    # received or counted as dropped by the kernel.
    count = 3000
    for on_full in ("drop", "wait"):
        sink = Sink(kind, capacity=8, slot_size=64, reader=False)
        receiver = UdpReceiver(sink.target, LOOPBACK, on_full=on_full)
        receiver.start()
        for seq in range(count):
            sender.sendto(message(seq, 32), receiver.address)
        receiver.stop()
        assert receiver.join(5)
        stats = receiver.stats()
        assert stats["received"] + stats["kernel_drops"] == count and conserved(stats), (on_full, stats)
        assert 8 <= stats["stored"] <= 9, stats    # a fixed-size ring holds capacity (+ 1) messages
        if kind != "shared":    # the ring counts the same (and, with "wait", each attempt refused)
            ring = sink.dispatcher.stats()
            assert ring["stored"] == stats["stored"] and ring["refused"] >= stats["refused_full"], ring
        if on_full == "drop":
            assert stats["refused_full"] > 0 and (kind == "shared" or ring["refused"] == stats["refused_full"])
        else:
            assert stats["refused_full"] == 0 and stats["kernel_drops"] > 0 and stats["unsent"] >= 1
        sink.close()


@pytest.mark.parametrize("kind", ["threaded", "async_batch"])
def test_stop_wakes_an_idle_receiver_at_once(kind):
    sink = Sink(kind)
    receiver = UdpReceiver(sink.target, LOOPBACK)
    receiver.start()
    time.sleep(0.05)             # blocked in its receive by now
    begin = time.monotonic()
    receiver.stop()
    assert receiver.join(5)
    # Not a timeout poll: the stop wakes the receive through its eventfd.
    assert time.monotonic() - begin < 0.1
    assert not receiver.running and receiver.stats()["state"] == "stopped"
    with pytest.raises(RuntimeError, match="already started"):
        receiver.start()
    sink.close()


@pytest.mark.parametrize("kind", KINDS)
def test_closing_the_target_ends_the_receiver_and_it_says_so(kind, sender):
    sink = Sink(kind)
    receiver = UdpReceiver(sink.target, LOOPBACK)
    receiver.start()
    sender.sendto(b"before", receiver.address)
    assert sink.wait_for(1)
    sink.close_target()
    sender.sendto(b"after", receiver.address)     # its push answers -2
    assert receiver.join(10)
    stats = receiver.stats()
    assert (stats["state"], stats["stored"], stats["unsent"]) == ("target closed", 1, 1) and conserved(stats)
    sink.close()
    assert sink.messages == [b"before"]


# A receiver still running when the interpreter exits: idle, receiving into
# a reader that needs the interpreter lock, or waiting for room in a full ring.
RUNNING_AT_EXIT = """
    import socket, sys
    from orvix.net import UdpReceiver
    from orvix.utils.corvane.corvane import ThreadedDispatcher

    d = ThreadedDispatcher(eval("lambda m: __import__('time').sleep(0.001)", {{}}), capacity=4, slot_size=64)
    {reader}
    r = UdpReceiver(d, ("127.0.0.1", 0))
    r.start()
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for i in range({count}):
        s.sendto(b"x" * 16, r.address)
    print("exiting")
    {end}
"""


@pytest.mark.parametrize("reader, count, end", [
    ("", 0, ""),
    ("d.setup()", 2000, ""),
    ("", 100, ""),
    ("d.setup()", 2000, "sys.exit(3)"),
], ids=["idle", "receiving", "waiting-for-room", "sys-exit"])
def test_interpreter_exit_with_a_running_receiver(reader, count, end):
    code = RUNNING_AT_EXIT.format(reader=reader, count=count, end=end)
    if end:
        from corvane_helpers import run_python
        result = run_python(code, timeout=30)
        assert (result.returncode, result.stdout) == (3, "exiting\n"), result.stderr
    else:
        assert check_python(code, timeout=30) == "exiting\n"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("producer", ["UdpReceiver", "Feed"])
def test_a_forked_child_does_not_inherit_a_running_producer_thread(producer, sender):
    # Feed shares the receivers' lifecycle: its copy in a child must not wait for the parent's thread either.
    sink = Sink("threaded")
    if producer == "Feed":
        running = Feed(sink.target, duration=600, size=16, rate=1000)
        running.start()
        assert sink.wait_for(1)
    else:
        running = UdpReceiver(sink.target, LOOPBACK)
        running.start()
        sender.sendto(b"one", running.address)
        assert sink.wait_for(1)
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)   # forking with threads
        pid = os.fork()
    if pid == 0:
        try:
            running.stop()
            seen = (running.running, running.join(1),
                    running.stats()["state"] if producer == "UdpReceiver" else "forked")
            del running
            os.write(write, repr(seen).encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as child:
        if not select.select([child], [], [], 10)[0]:   # a child stuck waiting for the parent's thread
            os.kill(pid, signal.SIGKILL)
        seen = child.read()
    assert os.waitpid(pid, 0)[1] == 0 and seen == "(False, True, 'forked')", seen
    if producer == "UdpReceiver":
        sender.sendto(b"two", running.address)     # the parent's receiver runs on
        assert sink.wait_for(2)
    assert running.running
    running.stop()
    assert running.join(5)
    sink.close()
    if producer == "UdpReceiver":
        assert sink.messages == [b"one", b"two"]


def test_allowed_sources_metadata_and_the_prefix_layout():
    np = pytest.importorskip("numpy")
    sink = Sink("threaded_batch")
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
        other.bind(("127.0.0.2", 0))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as allowed:
            allowed.bind(("127.0.0.1", 0))
            allowed_address = allowed.getsockname()
            before = time.time_ns()
            with UdpReceiver(sink.target, LOOPBACK, metadata=True, allow=["127.0.0.1", "::1"]) as receiver:
                assert receiver.metadata
                other.sendto(b"not allowed", receiver.address)
                allowed.sendto(b"a" * 24, receiver.address)
                allowed.sendto(b"b" * 24, receiver.address)
                assert sink.wait_for(2)
            after = time.time_ns()
    sink.close()
    stats = receiver.stats()    # final once stopped: a push is counted just after the reader may have it
    assert (stats["received"], stats["not_allowed"], stats["stored"]) == (3, 1, 2) and conserved(stats)
    recv_ns, source, payload = split_metadata(sink.messages[0])
    assert before <= recv_ns <= after and source == allowed_address and payload == b"a" * 24
    records = np.frombuffer(b"".join(sink.messages),
                            np.dtype(METADATA_FIELDS + [("payload", "S24")]))
    assert np.dtype(METADATA_FIELDS).itemsize == METADATA_SIZE
    assert list(records["payload"]) == [b"a" * 24, b"b" * 24] and list(records["family"]) == [4, 4]
    assert list(records["port"]) == [allowed_address[1]] * 2 and list(records["length"]) == [24, 24]
    assert bytes(records["addr"][0]) == socket.inet_pton(socket.AF_INET6, "::ffff:127.0.0.1")


def test_ipv6_and_several_receivers_on_one_port():
    if not socket.has_ipv6:
        pytest.skip("no IPv6")
    sinks = [Sink("threaded"), Sink("threaded")]
    first = UdpReceiver(sinks[0].target, ("::1", 0), reuse_port=True, metadata=True)
    port = first.address[1]
    second = UdpReceiver(sinks[1].target, ("::1", port), reuse_port=True, metadata=True)
    assert first.address[:2] == ("::1", port) and len(first.address) == 4
    with first, second, socket.socket(socket.AF_INET6, socket.SOCK_DGRAM) as sock:
        sock.bind(("::1", 0))
        for seq in range(200):     # the kernel picks a receiver by the sender's address: all go to one
            sock.sendto(message(seq), ("::1", port))
        deadline = time.monotonic() + 20
        while sum(len(sink.messages) for sink in sinks) < 200 and time.monotonic() < deadline:
            time.sleep(0.005)
        sender = sock.getsockname()[:2]
    for sink in sinks:
        sink.close()
    (got,) = [sink.messages for sink in sinks if sink.messages]
    assert [split_metadata(m) [1:] for m in got] == [(sender, message(seq)) for seq in range(200)]


def test_the_kernel_capping_the_receive_buffer_is_reported():
    with open("/proc/sys/net/core/rmem_max") as f:
        rmem_max = int(f.read())
    d = ThreadedDispatcher(print)
    with pytest.warns(RuntimeWarning, match="the kernel capped the receive buffer at"):
        receiver = UdpReceiver(d, LOOPBACK, receive_buffer=rmem_max + 4096)
    assert receiver.receive_buffer_size == 2 * rmem_max
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert UdpReceiver(d, LOOPBACK, receive_buffer=4096).receive_buffer_size >= 4096
    d.close()


PORT_IN_USE = ("127.0.0.1", "in use")   # made a bound port's address by the test


@pytest.mark.parametrize("address, kwargs, error, text", [
    (("localhost", 0), {}, ValueError, "the host must be a numeric IPv4 or IPv6 address, got 'localhost'"),
    (("127.0.0.1", 65536), {}, ValueError, "port must be an int from 0 to 65535, got 65536"),
    (("127.0.0.1", "80"), {}, ValueError, "port must be an int from 0 to 65535, got '80'"),
    ("127.0.0.1:80", {}, TypeError, "address must be a (host, port) tuple, got '127.0.0.1:80'"),
    (("127.0.0.1", 0, 0, 0), {}, ValueError, "an IPv4 address is (host, port)"),
    (PORT_IN_USE, {}, OSError, f"[Errno {errno.EADDRINUSE}] cannot bind the UDP socket"),
    (("192.0.2.1", 0), {}, OSError, f"[Errno {errno.EADDRNOTAVAIL}] cannot bind the UDP socket"),
    (LOOPBACK, {"group": "10.0.0.1"}, ValueError, "group must be a multicast address, got '10.0.0.1'"),
    (LOOPBACK, {"group": "ff02::1"}, ValueError, "group 'ff02::1' is IPv6 but the address is IPv4"),
    (LOOPBACK, {"group": "239.0.0.1", "source": "239.0.0.2"}, ValueError, "source must be a unicast IPv4 address"),
    (LOOPBACK, {"source": "10.0.0.1"}, ValueError, "source and interface need a multicast group"),
    (LOOPBACK, {"group": "239.0.0.1", "interface": "no-such-if0"}, OSError,
     f"[Errno {errno.ENODEV}] no network interface named 'no-such-if0'"),
    (LOOPBACK, {"group": "239.0.0.1", "interface": "x" * 40}, OSError,
     f"[Errno {errno.ENODEV}] no network interface named 'xxx"),
    (LOOPBACK, {"on_full": "block"}, ValueError, "on_full must be 'drop' or 'wait', got 'block'"),
    (LOOPBACK, {"burst": 0}, ValueError, "burst must be from 1 to 1024, got 0"),
    (LOOPBACK, {"allow": "127.0.0.1"}, TypeError, "allow must be an iterable of addresses, not a str"),
    (LOOPBACK, {"allow": ["127.0.0.1", "nope"]}, ValueError, "an allowed source must be a numeric"),
    (LOOPBACK, {"allow": []}, ValueError, "allow is empty"),
    (LOOPBACK, {"receive_buffer": -1}, ValueError, "receive_buffer must be from 0"),
])
def test_bad_addresses_groups_and_options_are_refused(address, kwargs, error, text):
    d = ThreadedDispatcher(print)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken, pytest.raises(error) as info:
        taken.bind(("127.0.0.1", 0))
        UdpReceiver(d, taken.getsockname() if address is PORT_IN_USE else address, **kwargs)
    assert str(info.value).startswith(text), str(info.value)
    if text.startswith("[Errno"):
        assert info.value.errno == int(text[7:text.index("]")])
    with pytest.raises(TypeError, match="expected an AsyncDispatcher, SyncDispatcher or ThreadedDispatcher"):
        UdpReceiver(object(), LOOPBACK)
    d.close()


# Two network namespaces joined by a veth pair: the sender's (two addresses,
# so that a source-specific join has a source to refuse) and the receiver's.
NETNS_RECEIVER = """
    import sys, time
    from orvix.net import UdpReceiver, split_metadata
    from orvix.batch import ThreadedBatchDispatcher
    got = []
    d = ThreadedBatchDispatcher(got.extend)
    d.setup()
    kwargs = eval(sys.argv[1])
    with UdpReceiver(d, (sys.argv[2], 5400), metadata=True, **kwargs) as r:
        print("ready", flush=True)
        deadline = time.monotonic() + 20
        while not (got and split_metadata(got[-1])[2] == b"end") and time.monotonic() < deadline:
            time.sleep(0.01)           # until the sender's last datagram, its marker
    d.close()
    got = [split_metadata(m) for m in got]
    print(repr((sorted(set(m[1][0] for m in got)), [m[2] for m in got], r.stats()["received"])))
"""
NETNS_SENDER = """
    import socket, sys, time
    family = socket.AF_INET6 if ":" in sys.argv[1] else socket.AF_INET
    for source in sys.argv[2:]:
        s = socket.socket(family, socket.SOCK_DGRAM)
        if family == socket.AF_INET:
            s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(source))
        else:
            s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, socket.if_nametoindex("veth-s"))
        s.bind((source, 0))
        for i in range(5):
            s.sendto(f"{source} {i}".encode(), (sys.argv[1], 5400))
    s.sendto(b"end", (sys.argv[1], 5400))     # from the last source
"""


@pytest.fixture(scope="module")
def two_namespaces():
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("creating network namespaces needs root and iproute2's ip")
    tag = uuid.uuid4().hex[:6]
    sender, receiver = f"orvix-s-{tag}", f"orvix-r-{tag}"

    def ip(*args, ns=None):
        cmd = ["ip", "netns", "exec", ns, "ip", *args] if ns else ["ip", *args]
        return subprocess.run(cmd, capture_output=True, text=True, timeout=10)

    created = ip("netns", "add", sender)
    if created.returncode != 0:
        pytest.skip(f"network namespaces are not allowed here: {created.stderr.strip()}")
    try:
        ip("netns", "add", receiver)
        steps = [
            ip("link", "add", "veth-s", "type", "veth", "peer", "name", "veth-r", ns=sender),
            ip("link", "set", "veth-r", "netns", receiver, ns=sender),
            ip("addr", "add", "10.77.0.1/24", "dev", "veth-s", ns=sender),
            ip("addr", "add", "10.77.0.3/24", "dev", "veth-s", ns=sender),
            ip("addr", "add", "fd77::1/64", "dev", "veth-s", "nodad", ns=sender),
            ip("addr", "add", "10.77.0.2/24", "dev", "veth-r", ns=receiver),
            ip("addr", "add", "fd77::2/64", "dev", "veth-r", "nodad", ns=receiver),
            ip("link", "set", "veth-s", "up", ns=sender),
            ip("link", "set", "veth-r", "up", ns=receiver),
            ip("link", "set", "lo", "up", ns=receiver),
            ip("route", "add", "239.0.0.0/8", "dev", "veth-s", ns=sender),
            ip("route", "add", "232.0.0.0/8", "dev", "veth-s", ns=sender),
            ip("route", "add", "224.0.0.0/4", "dev", "veth-r", ns=receiver),   # for a join with no interface
        ]
        failed = [s for s in steps if s.returncode != 0]
        if failed:
            pytest.skip(f"cannot set up the veth pair: {failed[0].stderr.strip()}")
        yield sender, receiver
    finally:
        ip("netns", "del", sender)
        ip("netns", "del", receiver)


@pytest.mark.parametrize("group, bind, kwargs, sources, expected", [
    ("239.7.7.7", "0.0.0.0", {"group": "239.7.7.7", "interface": "veth-r"}, ["10.77.0.1", "10.77.0.3"],
     ["10.77.0.1", "10.77.0.3"]),
    ("232.7.7.7", "232.7.7.7", {"group": "232.7.7.7", "source": "10.77.0.3", "interface": "veth-r"},
     ["10.77.0.1", "10.77.0.3"], ["10.77.0.3"]),
    ("239.7.7.8", "0.0.0.0", {"group": "239.7.7.8"}, ["10.77.0.1"], ["10.77.0.1"]),
    ("ff15::77", "::", {"group": "ff15::77", "interface": "veth-r"}, ["fd77::1"], ["fd77::1"]),
], ids=["any-source", "source-specific", "kernel-chosen-interface", "ipv6"])
def test_multicast_between_two_namespaces(two_namespaces, group, bind, kwargs, sources, expected):
    sender_ns, receiver_ns = two_namespaces
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    receiver = subprocess.Popen(["ip", "netns", "exec", receiver_ns, sys.executable, "-c",
                                 NETNS_RECEIVER.replace("\n    ", "\n"), repr(kwargs), bind],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert receiver.stdout.readline() == "ready\n", receiver.stderr.read()
        sent = subprocess.run(["ip", "netns", "exec", sender_ns, sys.executable, "-c",
                               NETNS_SENDER.replace("\n    ", "\n"), group, *sources],
                              capture_output=True, text=True, timeout=20)
        assert sent.returncode == 0, sent.stderr
        out, err = receiver.communicate(timeout=30)
    finally:
        receiver.kill()
    hosts, payloads, received = eval(out)
    assert hosts == expected, err
    assert payloads == [f"{s} {i}".encode() for s in expected for i in range(5)] + [b"end"]
    assert received == len(payloads)
