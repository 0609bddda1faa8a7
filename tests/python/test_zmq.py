"""orvix.net.ZmqReceiver: PUSH/PULL and PUB/SUB received natively into every kind of
target (order, content, subscriptions), multipart and oversize messages, CURVE, stop
while blocked, a sender that reconnects, a target closed under the receiver, exit,
fork, bad endpoints, and a sender and a receiver in two network namespaces."""
import errno
import os
import subprocess
import sys
import time

import pytest
import zmq

from corvane_helpers import check_python
from orvix.net import ZmqReceiver
from orvix.utils.corvane.corvane import ThreadedDispatcher
# The receivers share their targets' harness, conservation law and namespaces.
from test_net import KINDS, Sink, conserved, two_namespaces  # noqa: F401 (a fixture)

pytestmark = pytest.mark.timeout(60)

WAIT = 30.0


def wait_for_last(sink, message, timeout=WAIT):
    with sink.lock:
        assert sink.lock.wait_for(lambda: sink.messages[-1:] == [message], timeout), sink.messages[-5:]


class Peers:
    """pyzmq sockets of one context, all closed with it at the end of the test."""

    def __init__(self):
        self.context = zmq.Context()
        self.sockets = []

    def socket(self, kind, endpoint, bind=False, **options):
        s = self.context.socket(kind)
        self.sockets.append(s)
        s.linger = 0
        for name, value in options.items():
            setattr(s, name, value)
        (s.bind if bind else s.connect)(endpoint)
        return s

    def close(self):
        for s in self.sockets:
            s.close()
        self.context.term()


@pytest.fixture
def peers():
    p = Peers()
    yield p
    p.close()


def until_subscribed(sink, pub, probe, timeout=WAIT):
    """A publisher drops what it sends before the subscription reached it: sends
    `probe` until one arrived, then returns how many messages came before the next."""
    deadline = time.monotonic() + timeout
    while not sink.messages:
        assert time.monotonic() < deadline, "the subscription never reached the publisher"
        pub.send(probe)
        time.sleep(0.01)
    pub.send(probe + b"-last")
    wait_for_last(sink, probe + b"-last")
    return len(sink.messages)


def numbered(prefix, n):
    """n messages of sizes up to the slot's 64 bytes, each telling its number."""
    return [(prefix + b"%d:" % i + b"x" * (i % 60))[:64] for i in range(n)]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("path", ["PUSH/PULL", "PUB/SUB", "PUB/SUB filtered"])
def test_every_message_arrives_in_order_and_whole(peers, kind, path):
    count = 2000
    wanted, others = numbered(b"A", count), numbered(b"B", count)
    sink = Sink(kind, slot_size=64)
    if path == "PUSH/PULL":
        receiver = ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="PULL", bind=True)
    else:
        # A subscriber drops at its high-water mark: none here, so that nothing is lost.
        receiver = ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="SUB", bind=True, hwm=0,
                               subscribe=b"A" if path.endswith("filtered") else None)
    with receiver:
        pattern = zmq.PUSH if path == "PUSH/PULL" else zmq.PUB
        s = peers.socket(pattern, receiver.endpoints[0], sndhwm=0)
        skipped = until_subscribed(sink, s, b"A-probe") if pattern == zmq.PUB else 0
        for a, b in zip(wanted, others):
            s.send(a)
            s.send(b)
        s.send(b"A-end")
        wait_for_last(sink, b"A-end")
    stats = receiver.stats()   # final: the with block joined the thread
    sink.close()
    received = sink.messages[skipped:-1]
    assert received == (wanted if path.endswith("filtered") else [m for pair in zip(wanted, others) for m in pair])
    assert stats["stored"] == stats["received"] == len(sink.messages) and stats["multipart"] == 0
    assert conserved(stats) and stats["state"] == "stopped"


@pytest.mark.parametrize("multipart", ["drop", "framed"])
def test_multipart_and_oversize_messages_are_counted_or_framed_never_cut(peers, multipart):
    sink = Sink("threaded_batch", slot_size=32)
    with ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="PULL", bind=True, multipart=multipart) as receiver:
        s = peers.socket(zmq.PUSH, receiver.endpoints[0])
        s.send(b"one")
        s.send_multipart([b"two", b"", b"parts"])
        s.send(b"x" * 33)                         # a byte over the slot
        s.send_multipart([b"y" * 20, b"z" * 20])  # framed: 48 bytes, over the slot
        s.send(b"end")
        assert sink.wait_for(2 if multipart == "drop" else 3)
    stats = receiver.stats()
    sink.close()
    if multipart == "drop":
        assert sink.messages == [b"one", b"end"]
        assert (stats["multipart"], stats["too_long"]) == (2, 1)
    else:
        def framed(*frames):
            return b"".join(len(f).to_bytes(4, "little") + f for f in frames)
        assert sink.messages == [framed(b"one"), framed(b"two", b"", b"parts"), framed(b"end")]
        assert (stats["multipart"], stats["too_long"]) == (0, 2)
    assert stats["received"] == 5 and stats["bytes"] == 3 + 8 + 33 + 40 + 3
    # A dropped multipart message is the one way out of the shared law.
    assert stats["received"] - stats["multipart"] == stats["stored"] + stats["too_long"] and stats["unsent"] == 0


def test_curve_lets_in_only_the_allowed_client_keys(peers):
    server_public, server_secret = zmq.curve_keypair()
    allowed_public, allowed_secret = zmq.curve_keypair()
    unknown_public, unknown_secret = zmq.curve_keypair()
    sink = Sink("threaded")
    with ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="PULL", bind=True,
                     curve_secret_key=server_secret.decode(), curve_clients=[allowed_public]) as receiver:
        def client(public, secret):
            return peers.socket(zmq.PUSH, receiver.endpoints[0], curve_serverkey=server_public,
                          curve_publickey=public, curve_secretkey=secret)
        unknown = client(unknown_public, unknown_secret)
        unknown.send(b"from the unknown client", zmq.NOBLOCK)   # queued, never delivered
        plain = peers.socket(zmq.PUSH, receiver.endpoints[0])
        plain.send(b"without CURVE")                             # no handshake: never connected
        allowed = client(allowed_public, allowed_secret)
        allowed.send(b"from the allowed client")
        assert sink.wait_for(1)
        deadline = time.monotonic() + WAIT
        while receiver.stats()["curve_refused"] == 0:   # the unknown client's handshake was answered
            assert time.monotonic() < deadline
            time.sleep(0.01)
        allowed.send(b"end")
        assert sink.wait_for(2)
    stats = receiver.stats()
    sink.close()
    assert sink.messages == [b"from the allowed client", b"end"]
    assert stats["curve_accepted"] >= 1 and stats["curve_refused"] >= 1


@pytest.mark.parametrize("where", ["receive", "full ring"])
def test_stop_ends_a_blocked_receive_or_wait_for_room_at_once(peers, where):
    # Without a reader the ring fills and the receiver waits for room (PULL's on_full="wait").
    sink = Sink("threaded", capacity=4, slot_size=16, reader=False)
    receiver = ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="PULL", bind=True)
    receiver.start()
    if where == "full ring":
        s = peers.socket(zmq.PUSH, receiver.endpoints[0])
        for _ in range(10):
            s.send(b"m")
        deadline = time.monotonic() + WAIT
        while sink.dispatcher.stats()["pending"] < 4 or receiver.stats()["received"] < 5:
            assert time.monotonic() < deadline
            time.sleep(0.001)
    else:
        time.sleep(0.05)   # blocked in its receive by now
    assert receiver.running
    begin = time.monotonic()
    receiver.stop()
    assert receiver.join(5)
    # Not a timeout poll: the stop shuts the receiver's context down.
    assert time.monotonic() - begin < 0.1
    stats = receiver.stats()
    assert stats["state"] == "stopped" and conserved(stats)
    sink.close()


def test_a_sender_that_reconnects_goes_on_where_it_stopped(peers):
    # The receiver connects; the sender binds, goes away and comes back on the same port.
    sink = Sink("threaded_batch")
    first = peers.socket(zmq.PUSH, "tcp://127.0.0.1:*", bind=True)
    endpoint = first.getsockopt_string(zmq.LAST_ENDPOINT)
    with ZmqReceiver(sink.target, endpoint, kind="PULL") as receiver:
        for i in range(500):
            first.send(b"%d" % i)
        assert sink.wait_for(500)
        first.close()
        deadline = time.monotonic() + WAIT
        while True:   # the port is free once libzmq's I/O thread has closed the first socket
            try:
                second = peers.socket(zmq.PUSH, endpoint, bind=True)
                break
            except zmq.ZMQError as e:
                assert e.errno == errno.EADDRINUSE and time.monotonic() < deadline
                time.sleep(0.01)
        for i in range(500, 1000):
            second.send(b"%d" % i)
        assert sink.wait_for(1000)
    stats = receiver.stats()
    sink.close()
    assert sink.messages == [b"%d" % i for i in range(1000)]
    assert stats["received"] == stats["stored"] == 1000


@pytest.mark.parametrize("kind", KINDS)
def test_the_targets_close_ends_the_receiver(peers, kind):
    sink = Sink(kind)
    receiver = ZmqReceiver(sink.target, "tcp://127.0.0.1:*", kind="PULL", bind=True)
    receiver.start()
    s = peers.socket(zmq.PUSH, receiver.endpoints[0])
    s.send(b"before")
    assert sink.wait_for(1)
    sink.close_target()
    s.send(b"after")   # its push answers -2
    assert receiver.join(WAIT)
    stats = receiver.stats()
    sink.close()
    assert (stats["state"], stats["stored"], stats["unsent"]) == ("target closed", 1, 1) and conserved(stats)
    assert sink.messages == [b"before"]


def test_one_receiver_on_several_endpoints_ipc_and_ipv6(peers, tmp_path):
    sink = Sink("threaded")
    with ZmqReceiver(sink.target, [f"ipc://{tmp_path}/feed", "tcp://[::1]:*", "tcp://127.0.0.1:*"], kind="PULL",
                     bind=True) as receiver:
        assert receiver.endpoints[0] == f"ipc://{tmp_path}/feed" and receiver.on_full == "wait"
        assert receiver.endpoints[1].startswith("tcp://[::1]:") and not receiver.endpoints[1].endswith(":*")
        for i, endpoint in enumerate(receiver.endpoints):
            s = peers.socket(zmq.PUSH, endpoint, ipv6=True)
            s.send(b"%d" % i)
            assert sink.wait_for(i + 1)
    sink.close()
    assert sink.messages == [b"0", b"1", b"2"]
    assert ZmqReceiver(sink.target, "tcp://127.0.0.1:1", kind="SUB").on_full == "drop"   # SUB drops anyway


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


def test_an_address_in_use_and_bad_options_are_refused(peers):
    d = ThreadedDispatcher(lambda m: None)
    taken = peers.socket(zmq.PUSH, "tcp://127.0.0.1:*", bind=True)
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
push.close(linger=10000)   # bounded: the messages go, or the sender gives up after 10 s
"""


def test_sender_and_receiver_in_two_network_namespaces(two_namespaces):
    sender_ns, receiver_ns = two_namespaces
    count, endpoint = 20000, "tcp://10.77.0.2:5700"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    receiver = subprocess.Popen(["ip", "netns", "exec", receiver_ns, sys.executable, "-c", NAMESPACE_RECEIVER,
                                 str(count), endpoint], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=env)
    try:
        assert receiver.stdout.readline() == "ready\n", receiver.stderr.read()
        sent = subprocess.run(["ip", "netns", "exec", sender_ns, sys.executable, "-c", NAMESPACE_SENDER, str(count),
                               endpoint], capture_output=True, text=True, timeout=30, env=env)
        assert sent.returncode == 0, sent.stderr
        out, err = receiver.communicate(timeout=30)
    finally:
        receiver.kill()
    assert (receiver.returncode, out) == (0, f"received {count}\n"), err
