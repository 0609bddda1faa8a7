"""Data from other machines, received natively into any dispatcher.

``UdpReceiver(target, address, ...)`` is a native thread that never takes
the interpreter lock: it receives UDP datagrams (unicast or multicast, IPv4
or IPv6) with ``recvmmsg`` and pushes each vector of them into ``target`` as
one burst. ``target`` is anything ``orvix.feed.Feed`` accepts: every
dispatcher of ``orvix.utils.corvane.corvane`` and ``orvix.batch``, and an
attached ``orvix.shm.SharedProducer``. Linux only.

With ``metadata=True`` each message starts with a ``METADATA_SIZE``-byte
prefix laid out as ``METADATA_FIELDS`` (a numpy dtype description):
receive time, sender address and port, family and payload length.

``ZmqReceiver(target, endpoints, kind="PULL" | "SUB", ...)`` receives from
ZeroMQ PULL or SUB sockets the same way. It exists where orvix was built with
libzmq; elsewhere importing it raises ``ImportError`` naming the package to
install.
"""

import ipaddress
import struct

from orvix.net._net import METADATA_SIZE, UdpReceiver

try:
    from orvix.net._zmq import ZMQ_VERSION, ZmqReceiver
except ImportError:
    _ZMQ_MISSING = ("orvix.net.ZmqReceiver needs libzmq, which this build of orvix was made without: install "
                    "libzmq >= 4.3 with its pkg-config file (Debian: apt-get install libzmq3-dev) and build orvix "
                    "again")

    def __getattr__(name: str) -> object:
        if name in ("ZmqReceiver", "ZMQ_VERSION"):
            raise ImportError(_ZMQ_MISSING, name=__name__)
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

__all__ = ["METADATA_FIELDS", "METADATA_SIZE", "UdpReceiver", "split_metadata", "ZMQ_VERSION", "ZmqReceiver"]

METADATA_FIELDS = [
    ("recv_ns", "<i8"),      # the kernel's receive time, ns since the epoch (CLOCK_REALTIME); 0 if none
    ("addr", "u1", (16,)),   # the sender's address, network order; IPv4 as ::ffff:a.b.c.d
    ("port", "<u2"),         # the sender's port
    ("family", "<u2"),       # 4 or 6
    ("length", "<u4"),       # payload bytes after the prefix
]

_PREFIX = struct.Struct("<q16sHHI")
assert _PREFIX.size == METADATA_SIZE


def split_metadata(message):
    """split_metadata(message) -> (recv_ns, (host, port), payload) of a message received with metadata=True."""
    recv_ns, addr, port, family, length = _PREFIX.unpack_from(message)
    address = ipaddress.IPv6Address(addr)
    host = str(address.ipv4_mapped) if family == 4 else str(address)
    return recv_ns, (host, port), bytes(memoryview(message)[METADATA_SIZE:METADATA_SIZE + length])
