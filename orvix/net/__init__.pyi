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

from collections.abc import Buffer, Iterable
from types import TracebackType
from typing import Final, Literal, Self, TypedDict, type_check_only

from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.shm import SharedProducer
from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher, ThreadedDispatcher

__all__ = ["METADATA_FIELDS", "METADATA_SIZE", "UdpReceiver", "split_metadata", "ZMQ_VERSION", "ZmqReceiver"]

_Target = (
    AsyncDispatcher | SyncDispatcher | ThreadedDispatcher | AsyncBatchDispatcher | ThreadedBatchDispatcher | SharedProducer
)

METADATA_SIZE: Final = 32
"""Bytes of the prefix a message starts with when the receiver was made with ``metadata=True``."""

METADATA_FIELDS: Final[list[tuple[str, str] | tuple[str, str, tuple[int]]]]
"""The prefix as a numpy dtype description: ``numpy.dtype(METADATA_FIELDS)`` (32 bytes, little-endian)."""

def split_metadata(message: Buffer, /) -> tuple[int, tuple[str, int], bytes]:
    """``(recv_ns, (host, port), payload)`` of a message received with ``metadata=True``."""

@type_check_only
class _ReceiverStats(TypedDict):
    """What ``stats()`` returns. Every message taken in ends in exactly one of
    stored, refused_full, too_long, not_allowed or unsent:
    ``received == stored + refused_full + too_long + not_allowed + unsent``."""

    received: int
    """Messages taken in from the socket, all of them."""
    bytes: int
    """Their payload bytes."""
    stored: int
    """Messages the target's ring stored."""
    refused_full: int
    """Dropped because the ring was full (``on_full="drop"``)."""
    too_long: int
    """Dropped because they were longer than the ring's slot (or the receive) takes: never delivered cut short."""
    kernel_drops: int
    """Dropped by the kernel before the receiver saw them: the socket buffer was full (``SO_RXQ_OVFL``'s count)."""
    not_allowed: int
    """Dropped because their sender was not on the allow-list."""
    unsent: int
    """Taken in but not pushed: the receiver stopped, or the target closed, with them in hand."""
    errors: int
    """Receives that failed (and were retried)."""
    state: Literal["not started", "running", "stopped", "target closed", "failed", "forked"]
    """``"target closed"``: the target's ``close()`` ended the receiver; ``"forked"``: this is a forked
    child's copy of a receiver whose thread runs (or ran) in the parent."""
    error: str | None
    """With state ``"failed"``: what ended the receiver."""

@type_check_only
class _Receiver:
    """What every receiver of this module has: the lifecycle of ``orvix.feed.Feed``."""

    def start(self) -> None:
        """Start the receiver thread (once; a second start raises ``RuntimeError``), as the one producer of the
        target's ring: ``RuntimeError`` while another producer pushes into it."""
    def stop(self) -> None:
        """Ask the thread to stop; returns at once. A blocked receive and a push waiting for room end at once."""
    def join(self, timeout: float | None = None) -> bool:
        """Wait, with the interpreter lock released, until the thread has finished: True once it has.

        A negative ``timeout`` looks without waiting; NaN raises ``ValueError``.
        """
    @property
    def running(self) -> bool:
        """Whether the thread has started and not yet finished."""
    @property
    def on_full(self) -> Literal["drop", "wait"]:
        """What a full ring does to a message."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...

class UdpReceiver(_Receiver):
    """A native thread receiving UDP datagrams into one target, without the interpreter lock.

    The socket is bound to ``address`` (``(host, port)`` with a numeric IPv4
    or IPv6 host, ``""`` for IPv4's any address, port 0 for one the system
    chooses; IPv6 also ``(host, port, flowinfo, scope_id)``) when the object
    is made: a port in use raises ``OSError`` with ``EADDRINUSE`` there.
    ``group`` joins a multicast group of the address's family, from any
    source or, with ``source``, from that one only (source-specific), on the
    interface named ``interface`` (the kernel's choice when None).

    Each datagram is one message, in arrival order. The thread reads up to
    ``burst`` datagrams per ``recvmmsg`` and pushes them as one burst. A full
    ring waits (``on_full="wait"``, the default: the socket's buffer then
    fills and the kernel drops, counted in ``kernel_drops``) or drops and
    counts (``"drop"``: ``refused_full``). ``allow`` lists the senders whose
    datagrams are kept; ``receive_buffer`` asks for a socket buffer of that
    many bytes (``RuntimeWarning`` when the kernel grants less);
    ``reuse_port`` lets several receivers bind one port (``SO_REUSEPORT``).

    ``start()``, ``stop()``, ``join()``, ``running`` and the context manager
    are ``Feed``'s: the receiver is the one producer of the target's ring
    while it runs. ``stop()`` wakes a blocked receive at once. The target's
    ``close()`` ends the thread (``stats()["state"] == "target closed"``).
    Deallocating a running receiver stops and joins it.
    """

    def __init__(
        self,
        target: _Target,
        address: tuple[str, int] | tuple[str, int, int, int],
        *,
        group: str | None = None,
        source: str | None = None,
        interface: str | None = None,
        on_full: Literal["drop", "wait"] = "wait",
        burst: int = 64,
        metadata: bool = False,
        allow: Iterable[str] | None = None,
        receive_buffer: int = 0,
        reuse_port: bool = False,
    ) -> None: ...
    def stats(self) -> _ReceiverStats:
        """What the receiver took in and what became of it (a snapshot), with its state."""
    @property
    def address(self) -> tuple[str, int] | tuple[str, int, int, int]:
        """The local address the socket is bound to (with the port the system chose for 0)."""
    @property
    def receive_buffer_size(self) -> int:
        """The socket's receive buffer as the kernel reports it (``SO_RCVBUF``: about twice the payload it holds)."""
    @property
    def metadata(self) -> bool:
        """Whether each message starts with the ``METADATA_SIZE``-byte prefix."""

ZMQ_VERSION: Final[tuple[int, int, int]]
"""The version of the libzmq ``ZmqReceiver`` runs on."""

@type_check_only
class _ZmqReceiverStats(_ReceiverStats):
    """What ``ZmqReceiver.stats()`` returns: the shared counts (``kernel_drops`` and
    ``not_allowed`` stay 0: libzmq does not report what a subscriber drops at its
    high-water mark) and ZeroMQ's own. Every message taken in ends in exactly one of
    ``stored + refused_full + too_long + unsent + multipart``."""

    multipart: int
    """Messages of several frames dropped whole (``multipart="drop"``)."""
    curve_accepted: int
    """CURVE handshakes of an allowed client key."""
    curve_refused: int
    """CURVE handshakes refused: the client's public key is not in ``curve_clients``."""

class ZmqReceiver(_Receiver):
    """A native thread receiving from a ZeroMQ PULL or SUB socket into one target, without the interpreter lock.

    The socket (in a ZeroMQ context of the receiver's own) binds
    (``bind=True``) or connects to each of ``endpoints`` (``tcp://`` or
    ``ipc://``; a bound ``tcp://host:*`` gets a free port, see ``endpoints``)
    when the object is made: a malformed endpoint raises ``ValueError``, an
    address in use or not local ``OSError`` with its errno. ``kind="SUB"``
    takes the messages that start with one of ``subscribe`` (bytes or str,
    or a sequence of them; every message when None).

    A message of one frame is one orvix message, as sent. A message of
    several frames is dropped whole and counted (``multipart="drop"``), or,
    with ``multipart="framed"``, every message becomes one record of, per
    frame, its length (uint32 little-endian) and its bytes. A message longer
    than the ring's slot is dropped and counted (``too_long``), never cut.

    The thread waits for a message, takes up to ``burst`` that libzmq has
    queued already and pushes them as one burst. A full ring waits
    (``on_full="wait"``, the default for PULL: libzmq's queue then fills to
    ``hwm`` and the socket pushes back on its senders, so nothing is lost)
    or drops and counts (``"drop"``, the default for SUB: a subscriber drops
    at its high-water mark whatever the receiver does, uncounted, so the
    receiver keeps reading and drops where it is counted). ``hwm`` is
    ``ZMQ_RCVHWM`` (0: no limit; -1: libzmq's 1000).

    ``curve_secret_key`` (the server's, Z85 text or 32 bytes) and
    ``curve_clients`` (public keys) make a bound receiver a CURVE server that
    lets in only those clients.

    ``start()``, ``stop()``, ``join()``, ``running``, ``stats()`` and the
    context manager are ``UdpReceiver``'s. ``stop()`` ends a blocked receive
    at once (the receiver's context is shut down).
    """

    def __init__(
        self,
        target: _Target,
        endpoints: str | bytes | Iterable[str | bytes],
        *,
        kind: Literal["PULL", "SUB"],
        subscribe: str | bytes | Iterable[str | bytes] | None = None,
        bind: bool = False,
        hwm: int = -1,
        on_full: Literal["drop", "wait"] | None = None,
        multipart: Literal["drop", "framed"] = "drop",
        curve_secret_key: str | bytes | None = None,
        curve_clients: Iterable[str | bytes] | None = None,
        burst: int = 256,
    ) -> None: ...
    def stats(self) -> _ZmqReceiverStats:
        """What the receiver took in and what became of it (a snapshot), with its state."""
    @property
    def endpoints(self) -> tuple[str, ...]:
        """The endpoints as bound or connected (a bound ``tcp://host:*`` names the port it got)."""
