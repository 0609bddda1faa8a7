"""Batch delivery: a reader hands its callback every message present at once.

``ThreadedBatchDispatcher`` and ``AsyncBatchDispatcher`` take native
producers exactly as ``ThreadedDispatcher`` and ``AsyncDispatcher`` do (the
same ``producer.h`` entries and results, ``stats()``, ``close()``), but call
(or await) ``callback(batch)`` once for everything the ring holds at that
moment, up to ``max_batch`` messages. A batch never waits to fill up.
With ``ring=SharedRing(...)`` a dispatcher consumes that ring, whose
producer is in another process, instead of building its own (its sizes and
flags are the ring's); ``stats()`` then adds ``producer``.
"""

import asyncio
import socket
from collections.abc import Awaitable, Callable, Iterator
from typing import final

from orvix.shm import SharedRing
from orvix.utils.corvane.corvane import _Stats

@final
class Batch:
    """The messages a reader took from the ring in one go, in memory of their own.

    Never a view into the ring: nothing can change it under its user. The
    reader fills the same Batch again for its next call only when the
    callback kept no reference to it (a kept Batch, and any view of it, stays
    as it was).
    """

    def __len__(self) -> int:
        """The number of messages."""
    def __getitem__(self, index: int, /) -> bytes:
        """Message ``index`` (negative counts from the end) as ``bytes``."""
    def __iter__(self) -> Iterator[bytes]:
        """Every message in order, each as ``bytes``."""
    def __buffer__(self, flags: int, /) -> memoryview:
        """All payloads back to back, read-only: ``numpy.frombuffer(batch, dtype)`` reads fixed-size records
        without a copy; ``bytes(batch)`` copies them."""
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...
    @property
    def offsets(self) -> tuple[int, ...]:
        """``(0, end of message 0, end of message 1, ...)``: message ``i`` is ``bytes(batch)[offsets[i]:offsets[i + 1]]``."""
    @property
    def nbytes(self) -> int:
        """The payload bytes of all messages together."""

class ThreadedBatchDispatcher:
    """Hands a native producer's messages to a plain callable in batches, on a native reader thread.

    ``ThreadedDispatcher``'s reader, lifetime and producer entries: a
    native reader thread, started by ``setup()``, sleeps inside the ring and,
    for everything the ring holds when it wakes (at most ``max_batch``
    messages), takes the interpreter lock once and calls ``callback(batch)``.
    Messages pushed before ``setup()`` wait in the ring. ``block_on_full``,
    ``overwrite`` and ``variable_size`` are as for ``ThreadedDispatcher``;
    ``close()``, a forgotten close, fork and interpreter exit too.
    """

    def __init__(
        self,
        callback: Callable[[Batch], object],
        *,
        slot_size: int = 2048,
        capacity: int = 16384,
        max_batch: int = 1024,
        variable_size: bool = False,
        overwrite: bool = False,
        block_on_full: bool = False,
        ring: SharedRing | None = None,
    ) -> None: ...
    def setup(self) -> None:
        """Start the reader thread; ``RuntimeError`` while one runs, or in a forked child of one on a SharedRing."""
    def close(self) -> None:
        """Close the ring: later pushes are refused; the reader delivers what the ring holds, then ends."""
    def stats(self) -> _Stats:
        """What happened to the messages so far (a snapshot): ``delivered`` counts messages, not batches."""

class AsyncBatchDispatcher:
    """Hands a native producer's messages to a coroutine function in batches, on an asyncio event loop.

    ``AsyncDispatcher``'s socket wake-up, task, setup and close: ``setup()``
    inside a running loop starts a task that awaits ``callback(batch)`` with
    everything the ring holds at that moment (at most ``max_batch``
    messages), and waits for the producer's wake-up datagram when the ring
    is empty.
    """

    def __init__(
        self,
        callback: Callable[[Batch], Awaitable[object]],
        *,
        slot_size: int = 2048,
        capacity: int = 16384,
        max_batch: int = 1024,
        variable_size: bool = False,
        overwrite: bool = False,
        ring: SharedRing | None = None,
    ) -> None: ...
    def setup(self, host: str = "127.0.0.1") -> None:
        """Open the wake-up socket and start the reader task in the running loop (once; not in a forked child of one on a SharedRing)."""
    def close(self) -> None:
        """Close the ring and the socket and cancel the task; what the ring holds stays there (``pending``)."""
    def stats(self) -> _Stats:
        """What happened to the messages so far (a snapshot): ``delivered`` counts messages, not batches."""
    async def _reader(self, loop: asyncio.AbstractEventLoop, sock: socket.socket) -> None:
        """The reader task's body: wait for a wake-up datagram, drain the ring in batches, await the callback."""

__all__ = ["AsyncBatchDispatcher", "Batch", "ThreadedBatchDispatcher"]
