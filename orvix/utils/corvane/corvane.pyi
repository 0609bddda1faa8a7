"""Delivery of byte messages from native producer threads, and an asyncio queue of byte messages.

Each class owns one ``orvix.ringq.ringq.SPSCQueue``. A native producer pushes
into a dispatcher from its own thread without the interpreter lock, through
``orvix/utils/corvane/producer.h`` (``orvix.feed`` is a ready-made one); the
dispatcher hands every message, in order, to its callback as ``bytes``.
"""

import asyncio
import socket
from collections.abc import Awaitable, Buffer, Callable
from typing import Literal, NoReturn, NotRequired, SupportsBytes, SupportsInt, TypedDict

class _Stats(TypedDict):
    """What ``stats()`` returns: a snapshot of what happened to the messages so far.

    Every snapshot keeps ``delivered + dropped + pending <= stored + 1`` and,
    in fixed-size mode, ``pending <= capacity + 1`` (the ring's capacity, a
    power of two); at rest, ``stored == delivered + dropped + pending``.

    A name of the stubs only (the module has no such attribute): annotate
    with it under ``typing.TYPE_CHECKING``, or use a plain ``dict``.
    """

    stored: int
    """Pushes the ring accepted."""
    refused: int
    """Pushes that stored nothing: the ring was full or closed, or the message too large (each retry counted)."""
    dropped: int
    """Stored messages overwritten before delivery (``overwrite=True``)."""
    delivered: int
    """Messages handed to the callback (counted as the call starts) or returned by ``pop()``."""
    pending: int
    """Messages in the ring now."""
    reader: Literal["not started", "running", "stopped", "closed"]
    """How the reader (AsyncQueue: the dispatch task) stands."""
    error: NotRequired[BaseException]
    """The exception that stopped the reader; present only when ``reader`` is ``"stopped"``."""
    wakeups_failed: NotRequired[int]
    """SyncDispatcher and AsyncDispatcher only: wake-up datagram sends that failed (each attempt counted)."""
    producer: NotRequired[Literal["none", "attached", "detached", "gone", "corrupt"]]
    """Batch dispatchers consuming an ``orvix.shm.SharedRing`` only: where the ring's producer stands."""

class ThreadedDispatcher:
    """Hands every message from a native producer to a plain callable on a native reader thread.

    No socket and no event loop: the producer's push is one call into the
    ring, and a native reader thread, started by ``setup()``, sleeps inside
    the ring and per message takes the interpreter lock, calls
    ``callback(message)`` and lets the lock go before it touches the ring
    again. Messages pushed before ``setup()`` wait in the ring.

    ``capacity`` messages of up to ``slot_size`` bytes, or length-prefixed
    records of any size up to the ring's limit with ``variable_size=True``.
    ``block_on_full=True`` makes a producer wait for room instead of being
    refused, but only while the reader runs: before ``setup()`` and after the
    callback raised, a push into the full ring is refused at once (0, counted
    in ``refused``), and a producer waiting when the reader stops is released
    with 0. ``overwrite=True`` drops the oldest messages instead. The
    producer's push returns the ring's result (1 stored, 0 full, negative
    refused).

    An exception from the callback is reported through ``sys.unraisablehook``
    and ends the reader; its message counts as delivered and a later
    ``setup()`` goes on with the next one. ``close()`` closes the ring and
    never waits for the reader.
    """

    def __init__(
        self,
        callback: Callable[[bytes], object],
        capacity: SupportsInt = 16384,
        slot_size: SupportsInt = 2048,
        zerocopy: bool = False,
        block_on_full: bool = False,
        overwrite: bool = False,
        variable_size: bool = False,
    ) -> None: ...
    def setup(self) -> None:
        """Start the reader thread (``RuntimeError`` while one runs; nothing after ``close()``)."""
    def close(self) -> None:
        """Close the ring; the reader ends at its next wait. Harmless twice."""
    def stats(self) -> _Stats:
        """What happened to the messages so far (a snapshot); see ``_Stats``."""

class SyncDispatcher:
    """Hands every message from a native producer to a plain callable on a Python thread.

    ``setup()`` binds a loopback UDP socket and starts a ``threading.Thread``
    that sleeps in a blocking receive with the interpreter lock released. A
    producer's push stores the message in the ring and, when the reader is
    asleep, sends it a one-byte wake-up datagram; the reader then calls
    ``callback(message)`` for every message in the ring, in order.

    Mind the argument order: ``zerocopy`` comes before ``overwrite`` here.
    ``daemon`` is the reader thread's daemon flag. ``close()`` closes the ring
    and lets the reader deliver what it holds and end. A callback that raises ends the reader,
    and ``threading`` reports the exception.
    """

    def __init__(
        self,
        callback: Callable[[bytes], object],
        capacity: SupportsInt = 16384,
        slot_size: SupportsInt = 2048,
        zerocopy: bool = False,
        overwrite: bool = False,
        variable_size: bool = False,
        daemon: bool = False,
    ) -> None: ...
    def setup(self, host: str | None = "127.0.0.1") -> None:
        """Bind the wake-up socket on ``host`` and start the reader thread (once per dispatcher)."""
    def close(self) -> None:
        """Close the ring (later pushes answer -2); the reader delivers what it holds, then ends. Harmless twice."""
    def stats(self) -> _Stats:
        """What happened to the messages so far (a snapshot); see ``_Stats``."""
    def _try_pop(self) -> NoReturn:
        """The reader loop for fixed-size messages, run by the reader thread; ends only by an exception."""
    def _try_pop_var(self) -> NoReturn:
        """The reader loop for variable-size messages."""

class AsyncDispatcher:
    """Delivers every message from a native producer into an asyncio event loop.

    ``setup()``, called inside the running loop, binds a loopback UDP socket
    and starts a reader task. A producer's push stores the message in the
    ring and, when the reader is asleep, sends it a one-byte wake-up datagram;
    the reader then empties the ring and awaits ``callback(message)`` once per
    message, in order. The callback must return an awaitable (an ``async
    def`` function): anything else ends the reader with ``TypeError``, as does
    any exception from the callback.

    A native producer is told of a refusal: ``orvix_producer_push`` (and
    the record's ``try_push_fn``) returns the ring's result, 0 when the ring
    is full, and ``stats()`` counts it. Size the ring (``capacity`` x
    ``slot_size``) for the largest backlog, retry a refused message after a
    growing pause, or choose ``overwrite=True``. ``close()`` cancels the reader and closes the socket;
    any thread may call it.
    """

    def __init__(
        self,
        callback: Callable[[bytes], Awaitable[object]],
        capacity: SupportsInt = 16384,
        slot_size: SupportsInt = 2048,
        overwrite: bool = False,
        zerocopy: bool = False,
        variable_size: bool = False,
    ) -> None: ...
    def setup(self, host: str | None = "127.0.0.1") -> None:
        """Bind the wake-up socket on ``host`` and start the reader task in the running loop (once)."""
    def close(self) -> None:
        """Close the ring (later pushes answer -2), cancel the reader task and close the socket. Harmless twice or before ``setup()``."""
    def stats(self) -> _Stats:
        """What happened to the messages so far (a snapshot); see ``_Stats``."""
    async def _reader(self, loop: asyncio.AbstractEventLoop, sock: socket.socket) -> None:
        """The reader task's body: wait for a wake-up datagram, drain the ring, await the callback."""

class AsyncQueue:
    """AsyncQueue(loop=None, size_t slot_size=1024, size_t capacity=16384, bool overwrite=False, bool zerocopy=False, bool block_on_full=False)

    An asyncio queue of byte messages over one ring, for coroutines of one
    event loop (without ``loop``, it binds the running loop). A push copies
    its message into the ring at once and wakes a waiting consumer; a full
    ring raises ``asyncio.QueueFull`` (unless ``overwrite=True``) and a message
    longer than ``slot_size`` raises ``ValueError``. A consumer awaits
    ``pop()``, or ``start_dispatcher(callback)`` starts a task that awaits
    ``callback(message)`` for every message, in order, until ``shutdown()``.
    """

    def __init__(
        self,
        loop: asyncio.AbstractEventLoop | None = None,
        slot_size: SupportsInt = 1024,
        capacity: SupportsInt = 16384,
        overwrite: bool = False,
        zerocopy: bool = False,
        block_on_full: bool = False,
    ) -> None: ...
    async def push_buf(self, msg: Buffer) -> None:
        """Push the contents of a C-contiguous buffer (``bytes``, ``bytearray``, ``memoryview``, ...)."""
    async def push_obj(self, msg: Buffer | str | SupportsBytes | None) -> None:
        """Push a bytes-like object, a str as UTF-8 or ``bytes(msg)`` of an object with ``__bytes__``; None pushes nothing."""
    async def push_str(self, msg: str) -> None:
        """Push a str as UTF-8."""
    async def pop(self) -> bytes:
        """Take the oldest message, waiting while the queue is empty."""
    def start_dispatcher(self, callback: Callable[[bytes], Awaitable[object]]) -> None:
        """Start a task that awaits ``callback(message)`` for every message (one task at a time)."""
    async def shutdown(self, *excinfo: object) -> None:
        """Wake every waiter, cancel the dispatch task and wait for it; the arguments are ignored."""
    def stats(self) -> _Stats:
        """What happened to the messages so far (a snapshot); see ``_Stats``."""
