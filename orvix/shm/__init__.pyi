"""Rings in named shared memory: a producer in another process (Linux).

``SharedRing(name, ...)`` creates a ring in named shared memory; a producer
process attaches to it by name (``SharedRing.attach(name)``, or the C header
``orvix/shm/producer.h``) and pushes with the results of ``producer.h``; a
``ThreadedBatchDispatcher`` or ``AsyncBatchDispatcher`` made with ``ring=``
consumes it.
"""

from types import TracebackType
from typing import Literal, TypedDict, final

from _typeshed import ReadableBuffer

class _SharedRingStats(TypedDict):
    stored: int
    refused: int
    dropped: int
    taken: int
    pending: int
    producer: Literal["none", "attached", "detached", "gone", "corrupt"]

@final
class SharedRing:
    """The consumer side of a ring in named shared memory, created by this process.

    ``name`` is ``"/name"`` or ``"name"``; the memory is readable and
    writable by this user only unless ``mode`` says otherwise. ``close()``
    (also on ``with`` exit and on deallocation) marks the ring closed, so
    that an attached producer's pushes answer -2, and removes the name.
    """

    def __init__(
        self,
        name: str,
        *,
        slot_size: int = 2048,
        capacity: int = 16384,
        variable_size: bool = False,
        overwrite: bool = False,
        mode: int = 0o600,
    ) -> None: ...
    @staticmethod
    def attach(name: str) -> SharedProducer:
        """Attach to the ring ``name`` as its producer; ``RuntimeError`` while another producer is attached."""
    @staticmethod
    def unlink(name: str) -> None:
        """Remove a ring's name that a creator which died left behind."""
    def close(self) -> None:
        """Close the ring (pushes answer -2) and remove its name; idempotent."""
    def stats(self) -> _SharedRingStats:
        """The ring's counters and where its producer stands (a snapshot)."""
    @property
    def name(self) -> str:
        """The name, with its leading ``/``."""
    @property
    def slot_size(self) -> int: ...
    @property
    def capacity(self) -> int: ...
    @property
    def variable_size(self) -> bool: ...
    @property
    def overwrite(self) -> bool: ...
    @property
    def closed(self) -> bool: ...
    @property
    def producer(self) -> Literal["none", "attached", "detached", "gone", "corrupt"]:
        """``"gone"``: the producer died attached; ``"corrupt"``: it broke the ring's layout and the ring is read no more."""
    def __enter__(self) -> SharedRing: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Literal[False]: ...

@final
class SharedProducer:
    """The producer side of a SharedRing (from ``SharedRing.attach``), in any process.

    ``orvix.feed.Feed`` and native producers (``producer.h``) push into it as
    into a ThreadedDispatcher, one producer session at a time (a second
    ``Feed`` is refused while one runs). ``close()`` under a running ``Feed``
    makes its pushes answer -2; the ring is handed on once it stopped.
    """

    def push(self, data: ReadableBuffer, /) -> int:
        """1 stored, 0 the ring is full, -1 too large, -2 closed (or this producer detached), -3 other mode."""
    def close(self) -> None:
        """Detach: the ring takes another producer."""
    @property
    def closed(self) -> bool:
        """Whether the consumer closed the ring, or this producer detached."""
    def __enter__(self) -> SharedProducer: ...
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> Literal[False]: ...

__all__ = ["SharedProducer", "SharedRing"]
