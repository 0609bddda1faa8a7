"""orvix.net.ZmqReceiver: PUSH/PULL and PUB/SUB received natively into every kind of
target (order, content, subscriptions), multipart and oversize messages, CURVE, stop
while blocked, a sender that reconnects, a target closed under the receiver, exit,
fork, bad endpoints, and a sender and a receiver in two network namespaces."""
import asyncio
import errno
import itertools
import os
import shutil
import subprocess
import sys
import threading
import time

import pytest
import zmq

from corvane_helpers import check_python, run_python
from orvix.batch import AsyncBatchDispatcher, Batch, ThreadedBatchDispatcher
from orvix.net import ZmqReceiver
from orvix.shm import SharedRing
from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher, ThreadedDispatcher

pytestmark = pytest.mark.timeout(60)

WAIT = 30.0
TARGETS = ["ThreadedDispatcher", "SyncDispatcher", "AsyncDispatcher", "ThreadedBatchDispatcher",
           "AsyncBatchDispatcher", "SharedProducer"]
_names = itertools.count()


class Sink:
    """A target of one kind, set up with its reader, and every message its
    callback was handed (as bytes, in order)."""

    def __init__(self, kind, slot_size=64, capacity=4096, **kwargs):
        self.messages = []
        self.arrived = threading.Condition()
        self.loop = self.ring = self.consumer = None
        if kind.startswith("Async"):
            cls = AsyncDispatcher if kind == "AsyncDispatcher" else AsyncBatchDispatcher
            self.loop = asyncio.new_event_loop()
            self.loop_thread = threading.Thread(target=self.loop.run_forever)
            self.loop_thread.start()

            async def make():
                d = cls(self.take_async, capacity=capacity, slot_size=slot_size, **kwargs)
                d.setup()
                return d
            self.target = asyncio.run_coroutine_threadsafe(make(), self.loop).result(WAIT)
        elif kind == "SharedProducer":
            self.ring = SharedRing(f"orvix-zmq-{os.getpid()}-{next(_names)}", slot_size, capacity)
            self.consumer = ThreadedBatchDispatcher(self.take, ring=self.ring)
            self.consumer.setup()
            self.target = SharedRing.attach(self.ring.name)
        else:
            cls = {"ThreadedDispatcher": ThreadedDispatcher, "SyncDispatcher": SyncDispatcher,
                   "ThreadedBatchDispatcher": ThreadedBatchDispatcher}[kind]
            self.target = cls(self.take, capacity=capacity, slot_size=slot_size, **kwargs)
            self.target.setup()

    def take(self, message):
        with self.arrived:
            if isinstance(message, Batch):
                self.messages.extend(bytes(m) for m in message)
            else:
                self.messages.append(bytes(message))
            self.arrived.notify_all()

    async def take_async(self, message):
        self.take(message)

    def wait_for(self, predicate, timeout=WAIT):
        with self.arrived:
            assert self.arrived.wait_for(lambda: predicate(self.messages), timeout), self.messages[-5:]

    def wait_for_last(self, message):
        self.wait_for(lambda messages: messages[-1:] == [message])

    def wait_for_count(self, n):
        self.wait_for(lambda messages: len(messages) >= n)

    def close(self):
        if self.loop is not None:
            self.loop.call_soon_threadsafe(self.target.close)
            self.loop.call_soon_threadsafe(self.loop.stop)
            self.loop_thread.join(WAIT)
            self.loop.close()
        elif self.ring is not None:
            self.target.close()
            self.consumer.close()
            self.ring.close()
        else:
            self.target.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


@pytest.fixture
def context():
    ctx = zmq.Context()
    yield ctx
    ctx.destroy(linger=0)


def sender(ctx, kind, endpoint, bind=False, **options):
    s = ctx.socket(kind)
    s.linger = 0
    for name, value in options.items():
        setattr(s, name, value)
    (s.bind if bind else s.connect)(endpoint)
    return s


def until_subscribed(sink, pub, probe, timeout=WAIT):
    """A publisher drops what it sends before the subscription reached it: sends
    `probe` until one arrived, then returns how many messages came before the next."""
    deadline = time.monotonic() + timeout
    while not sink.messages:
        assert time.monotonic() < deadline, "the subscription never reached the publisher"
        pub.send(probe)
        time.sleep(0.01)
    pub.send(probe + b"-last")
    sink.wait_for_last(probe + b"-last")
    return len(sink.messages)


def numbered(prefix, n):
    """n messages of sizes up to the slot's 64 bytes, each telling its number."""
    return [(prefix + b"%d:" % i + b"x" * (i % 60))[:64] for i in range(n)]


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("path", ["PUSH/PULL", "PUB/SUB", "PUB/SUB filtered"])
def test_every_message_arrives_in_order_and_whole(context, target, path):
    count = 2000
    wanted = numbered(b"A", count)
    with Sink(target) as sink:
        if path == "PUSH/PULL":
            receiver = ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="PULL", bind=True)
        else:
            # A subscriber drops at its high-water mark: none here, so that nothing is lost.
            receiver = ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="SUB", bind=True, hwm=0,
                                   subscribe=b"A" if path.endswith("filtered") else None)
        with receiver:
            kind = zmq.PUSH if path == "PUSH/PULL" else zmq.PUB
            s = sender(context, kind, receiver.endpoints[0], sndhwm=0)
            skipped = until_subscribed(sink, s, b"A-probe") if kind == zmq.PUB else 0
            others = numbered(b"B", count)
            for a, b in zip(wanted, others):
                s.send(a)
                s.send(b)
            s.send(b"A-end")
            sink.wait_for_last(b"A-end")
        stats = receiver.stats()   # final once the with block joined the thread
        received = sink.messages[skipped:-1]
        if path == "PUB/SUB filtered":
            assert received == wanted
        else:
            assert received == [m for pair in zip(wanted, others) for m in pair]
        assert stats["stored"] == stats["received"] == len(sink.messages)
        assert stats["refused_full"] == stats["too_long"] == stats["multipart"] == stats["unsent"] == 0
        assert not receiver.running and receiver.stats()["state"] == "stopped"


@pytest.mark.parametrize("multipart", ["drop", "framed"])
def test_multipart_and_oversize_messages_are_counted_or_framed_never_cut(context, multipart):
    with Sink("ThreadedBatchDispatcher", slot_size=32) as sink:
        with ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="PULL", bind=True, multipart=multipart) as receiver:
            s = sender(context, zmq.PUSH, receiver.endpoints[0])
            s.send(b"one")
            s.send_multipart([b"two", b"", b"parts"])
            s.send(b"x" * 33)                        # a byte over the slot
            s.send_multipart([b"y" * 20, b"z" * 20])  # framed: 48 bytes
            s.send(b"end")
            sink.wait_for_count(2 if multipart == "drop" else 3)
        stats = receiver.stats()   # final once the with block joined the thread
    if multipart == "drop":
        assert sink.messages == [b"one", b"end"]
        assert (stats["multipart"], stats["too_long"]) == (2, 1)
    else:
        def framed(*frames):
            return b"".join(len(f).to_bytes(4, "little") + f for f in frames)
        assert sink.messages == [framed(b"one"), framed(b"two", b"", b"parts"), framed(b"end")]
        assert (stats["multipart"], stats["too_long"]) == (0, 2)
    assert stats["received"] == 5 and stats["bytes"] == 3 + 8 + 33 + 40 + 3
    assert stats["received"] == sum(stats[k] for k in ("stored", "refused_full", "too_long", "unsent", "multipart"))


def test_curve_lets_in_only_the_allowed_client_keys(context):
    server_public, server_secret = zmq.curve_keypair()
    allowed_public, allowed_secret = zmq.curve_keypair()
    unknown_public, unknown_secret = zmq.curve_keypair()
    with Sink("ThreadedDispatcher") as sink:
        with ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="PULL", bind=True,
                         curve_secret_key=server_secret.decode(), curve_clients=[allowed_public]) as receiver:
            def client(public, secret):
                return sender(context, zmq.PUSH, receiver.endpoints[0], curve_serverkey=server_public,
                              curve_publickey=public, curve_secretkey=secret)
            unknown = client(unknown_public, unknown_secret)
            unknown.send(b"from the unknown client", zmq.NOBLOCK)   # queued, never delivered
            plain = sender(context, zmq.PUSH, receiver.endpoints[0])
            plain.send(b"without CURVE")
            allowed = client(allowed_public, allowed_secret)
            allowed.send(b"from the allowed client")
            sink.wait_for_count(1)
            while receiver.stats()["curve_refused"] == 0:   # the unknown client's handshake is answered
                time.sleep(0.01)
            allowed.send(b"end")
            sink.wait_for_count(2)
        stats = receiver.stats()   # final once the with block joined the thread
    assert sink.messages == [b"from the allowed client", b"end"]
    assert stats["curve_accepted"] >= 1 and stats["curve_refused"] >= 1


@pytest.mark.parametrize("where", ["receive", "full ring"])
def test_stop_ends_a_blocked_receive_or_wait_for_room_at_once(context, where):
    # Without a reader the ring fills and the receiver waits for room (on_full="wait").
    d = ThreadedDispatcher(lambda m: None, capacity=4, slot_size=16)
    receiver = ZmqReceiver(d, "tcp://127.0.0.1:*", kind="PULL", bind=True, on_full="wait")
    receiver.start()
    if where == "full ring":
        s = sender(context, zmq.PUSH, receiver.endpoints[0])
        for _ in range(10):
            s.send(b"m")
        while d.stats()["pending"] < 4 or receiver.stats()["received"] < 5:
            time.sleep(0.001)
    assert receiver.running
    receiver.stop()
    assert receiver.join(5), "stop() did not end the receiver"
    d.close()


def test_a_sender_that_reconnects_goes_on_where_it_stopped(context):
    # The receiver connects; the sender binds, goes away and comes back on the same port.
    with Sink("ThreadedBatchDispatcher") as sink:
        first = sender(context, zmq.PUSH, "tcp://127.0.0.1:*", bind=True)
        endpoint = first.getsockopt_string(zmq.LAST_ENDPOINT)
        with ZmqReceiver(sink.target, endpoint, kind="PULL") as receiver:
            for i in range(500):
                first.send(b"%d" % i)
            sink.wait_for_count(500)
            first.close()
            deadline = time.monotonic() + WAIT
            while True:   # the port is free once libzmq's I/O thread has closed the first socket
                try:
                    second = sender(context, zmq.PUSH, endpoint, bind=True)
                    break
                except zmq.ZMQError as e:
                    assert e.errno == errno.EADDRINUSE and time.monotonic() < deadline
                    time.sleep(0.01)
            for i in range(500, 1000):
                second.send(b"%d" % i)
            sink.wait_for_count(1000)
        stats = receiver.stats()   # final once the with block joined the thread
    assert sink.messages == [b"%d" % i for i in range(1000)]
    assert stats["received"] == stats["stored"] == 1000


def test_the_targets_close_ends_the_receiver(context):
    with Sink("ThreadedDispatcher") as sink:
        receiver = ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="PULL", bind=True)
        receiver.start()
        s = sender(context, zmq.PUSH, receiver.endpoints[0])
        s.send(b"before")
        sink.wait_for_count(1)
        sink.target.close()
        s.send(b"after")
        assert receiver.join(WAIT)
        assert receiver.stats()["state"] == "target closed" and sink.messages == [b"before"]


@pytest.mark.parametrize("endpoint, bind, error, message", [
    ("tcp://127.0.0.1", True, ValueError, "cannot bind 'tcp://127.0.0.1'"),
    ("udp://127.0.0.1:1", False, ValueError, "cannot connect to 'udp://127.0.0.1:1'"),
    ("inproc://x", True, ValueError, "inproc://"),
    ([], True, ValueError, "at least one endpoint"),
    (5, True, TypeError, "endpoints must be"),
    ("tcp://127.0.0.2\0:1", True, ValueError, "NUL"),
])
def test_bad_endpoints_raise_clear_exceptions(endpoint, bind, error, message):
    d = ThreadedDispatcher(lambda m: None)
    with pytest.raises(error, match=message.replace("/", "/")):
        ZmqReceiver(d, endpoint, kind="PULL", bind=bind)
    d.close()


def test_an_address_in_use_and_bad_options_are_refused(context):
    d = ThreadedDispatcher(lambda m: None)
    taken = sender(context, zmq.PUSH, "tcp://127.0.0.1:*", bind=True)
    with pytest.raises(OSError) as raised:
        ZmqReceiver(d, taken.getsockopt_string(zmq.LAST_ENDPOINT), kind="PULL", bind=True)
    assert raised.value.errno == errno.EADDRINUSE
    public, secret = zmq.curve_keypair()
    for kwargs, error, message in [
        ({"kind": "REQ"}, ValueError, "kind must be 'SUB' or 'PULL'"),
        ({}, TypeError, "needs kind="),
        ({"kind": "PULL", "subscribe": b""}, ValueError, "subscribe is for kind='SUB'"),
        ({"kind": "PULL", "on_full": "block"}, ValueError, "on_full must be"),
        ({"kind": "PULL", "multipart": "cut"}, ValueError, "multipart must be"),
        ({"kind": "PULL", "hwm": -2}, ValueError, "hwm must be"),
        ({"kind": "PULL", "curve_secret_key": secret, "curve_clients": [public]}, ValueError, "bind=True"),
        ({"kind": "PULL", "bind": True, "curve_secret_key": b"short", "curve_clients": [public]}, ValueError,
         "curve_secret_key must be a CURVE key"),
        ({"kind": "PULL", "bind": True, "curve_secret_key": secret, "curve_clients": []}, ValueError,
         "at least one client"),
    ]:
        with pytest.raises(error, match=message):
            ZmqReceiver(d, "tcp://127.0.0.1:*", **kwargs)
    with pytest.raises(TypeError, match="expected an AsyncDispatcher"):
        ZmqReceiver(object(), "tcp://127.0.0.1:*", kind="PULL")
    d.close()


# The receiver runs (blocked in its receive, or pushing a stream) when the
# interpreter exits; it is reachable from the script's globals.
EXIT_RUNNING = """
import zmq
from orvix.net import ZmqReceiver
from orvix.utils.corvane.corvane import ThreadedDispatcher
d = ThreadedDispatcher(lambda m: None, capacity=16, slot_size=16)
d.setup()
receiver = ZmqReceiver(d, "tcp://127.0.0.1:*", kind="PULL", bind=True, on_full="wait")
receiver.start()
push = zmq.Context().socket(zmq.PUSH)
push.connect(receiver.endpoints[0])
for _ in range({count}):
    push.send(b"m")
print("released")
"""


@pytest.mark.parametrize("count", [0, 20000], ids=["idle", "streaming"])
def test_interpreter_exit_with_a_running_receiver(count):
    assert check_python(EXIT_RUNNING.format(count=count), timeout=30) == "released\n"


FORK = """
import os, time, zmq
from orvix.net import ZmqReceiver
from orvix.utils.corvane.corvane import ThreadedDispatcher
got = []
d = ThreadedDispatcher(lambda m: got.append(bytes(m)), capacity=64, slot_size=16)
d.setup()
receiver = ZmqReceiver(d, "tcp://127.0.0.1:*", kind="PULL", bind=True)
receiver.start()
pid = os.fork()
if pid == 0:
    code = 0 if not receiver.running and receiver.stats()["state"] == "forked" else 1
    try:
        receiver.start()
        code = 2
    except RuntimeError:
        pass
    receiver.stop()
    receiver.join()
    del receiver
    os._exit(code)
_, status = os.waitpid(pid, 0)
push = zmq.Context().socket(zmq.PUSH)
push.connect(receiver.endpoints[0])
push.send(b"after the fork")
while not got:
    time.sleep(0.01)
receiver.stop()
receiver.join()
print(os.waitstatus_to_exitcode(status), got)
"""


def test_a_forked_child_does_not_inherit_the_receiver():
    assert check_python(FORK, timeout=30) == "0 [b'after the fork']\n"


def test_without_libzmq_importing_the_receiver_names_the_package():
    blocked = """
import sys
class Missing:
    def find_spec(self, name, path=None, target=None):
        if name == "orvix.net._zmq":
            raise ImportError("no libzmq in this build")
sys.meta_path.insert(0, Missing())
try:
    from orvix.net import ZmqReceiver
except ImportError as e:
    print(e)
"""
    assert "libzmq3-dev" in check_python(blocked)


# Two network namespaces joined by a veth pair: the sender in one, the receiver
# in the other, nothing else reachable from either.
NAMESPACE_RECEIVER = """
import sys, threading
from orvix.net import ZmqReceiver
from orvix.batch import ThreadedBatchDispatcher
count = int(sys.argv[1])
got = []
done = threading.Event()
def take(batch):
    got.extend(bytes(m) for m in batch)
    if len(got) >= count:
        done.set()
d = ThreadedBatchDispatcher(take, capacity=4096, slot_size=32)
d.setup()
with ZmqReceiver(d, sys.argv[2], kind="PULL", bind=True) as receiver:
    print("ready", flush=True)
    assert done.wait(30), len(got)
d.close()
assert got == [b"%d" % i for i in range(count)], got[:5]
print("received", len(got))
"""
NAMESPACE_SENDER = """
import sys, zmq
push = zmq.Context().socket(zmq.PUSH)
push.connect(sys.argv[2])
for i in range(int(sys.argv[1])):
    push.send(b"%d" % i)
push.close(linger=10000)
"""


def namespaces_allowed():
    if os.geteuid() != 0 or shutil.which("ip") is None:
        return "needs root and iproute2 to create network namespaces"
    probe = subprocess.run(["unshare", "-n", "true"], capture_output=True)
    return None if probe.returncode == 0 else f"network namespaces not allowed here: {probe.stderr.decode().strip()}"


@pytest.mark.skipif(namespaces_allowed() is not None, reason=namespaces_allowed() or "")
def test_sender_and_receiver_in_two_network_namespaces():
    tag = f"{os.getpid() % 100000}"
    a, b = f"orvixzA{tag}", f"orvixzB{tag}"
    run = lambda *args: subprocess.run(args, check=True, capture_output=True, timeout=10)
    run("ip", "netns", "add", a)
    try:
        run("ip", "netns", "add", b)
        run("ip", "link", "add", f"va{tag}", "netns", a, "type", "veth", "peer", "name", f"vb{tag}", "netns", b)
        run("ip", "-n", a, "addr", "add", "10.231.0.1/30", "dev", f"va{tag}")
        run("ip", "-n", b, "addr", "add", "10.231.0.2/30", "dev", f"vb{tag}")
        for ns, dev in ((a, f"va{tag}"), (b, f"vb{tag}")):
            run("ip", "-n", ns, "link", "set", dev, "up")
            run("ip", "-n", ns, "link", "set", "lo", "up")
        count, endpoint = 20000, "tcp://10.231.0.2:5700"
        env = dict(os.environ, PYTHONSAFEPATH="1")
        receiver = subprocess.Popen(["ip", "netns", "exec", b, sys.executable, "-c", NAMESPACE_RECEIVER,
                                     str(count), endpoint], stdout=subprocess.PIPE, text=True, env=env)
        assert receiver.stdout.readline() == "ready\n"
        subprocess.run(["ip", "netns", "exec", a, sys.executable, "-c", NAMESPACE_SENDER, str(count), endpoint],
                       check=True, timeout=30, env=env)
        out, _ = receiver.communicate(timeout=30)
        assert receiver.returncode == 0 and out == f"received {count}\n"
    finally:
        subprocess.run(["ip", "netns", "del", a], capture_output=True)
        subprocess.run(["ip", "netns", "del", b], capture_output=True)
