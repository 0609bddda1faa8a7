"""The native producer thread behind ``orvix.feed``: the ``Feed`` type (see ``orvix.feed``)."""

from types import TracebackType
from typing import Final, Literal, Self, TypedDict, type_check_only

from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.shm import SharedProducer
from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher, ThreadedDispatcher

HEADER_SIZE: Final = 16
"""Bytes of the header every message starts with: sequence number and send time."""

@type_check_only
class _Report(TypedDict):
    """What ``Feed.report()`` returns."""

    messages: int
    """Sequence numbers used."""
    stored: int
    """Pushes answered 1 (stored)."""
    refused: int
    """Pushes answered 0 (full), each retry counted."""
    failed: int
    """Pushes answered with a negative result."""
    elapsed_ns: int
    """Time from the thread's first push to its end."""

class Feed:
    """A native producer thread pushing into one dispatcher.

    It sends ``count`` messages, or sends for ``duration`` seconds (give at
    least one; with both, whichever ends first), each ``size`` bytes
    (at least ``HEADER_SIZE``), as fast as possible or at ``rate`` messages
    per second. A refused push is retried until stored (``on_full="retry"``)
    or counted and skipped (``on_full="skip"``). ``record_results=True``
    keeps each message's final push result for ``results()``.
    ``burst=n`` (up to 4096) pushes ``n`` messages at a time as one burst
    (``orvix_producer_push_burst``: one publish and one wake-up per burst).

    As a context manager it starts on entry and, on exit, stops unless it
    has finished, then joins. Deallocating a running feed stops and joins it
    (with the interpreter lock released).
    """

    def __init__(
        self,
        dispatcher: AsyncDispatcher
        | SyncDispatcher
        | ThreadedDispatcher
        | AsyncBatchDispatcher
        | ThreadedBatchDispatcher
        | SharedProducer,
        *,
        count: int | None = None,
        duration: float | None = None,
        size: int = 64,
        rate: float | None = None,
        on_full: Literal["retry", "skip"] = "retry",
        record_results: bool = False,
        burst: int = 1,
    ) -> None: ...
    def start(self) -> None:
        """Start the producer thread (once; a second start raises ``RuntimeError``).

        The feed becomes the one producer of the dispatcher's ring until its
        thread ends. While another producer pushes into that dispatcher (a
        running feed, say), ``start()`` raises ``RuntimeError``; a feed that
        was stopped and is still leaving is waited for (a few seconds at most).
        """
    def join(self, timeout: float | None = None) -> bool:
        """Wait, with the interpreter lock released, until the thread has finished: True once it has.

        A negative ``timeout`` looks without waiting; NaN raises ``ValueError``.
        """
    def stop(self) -> None:
        """Ask the thread to stop early; returns at once. A push waiting for room (``block_on_full``) ends at once."""
    @property
    def running(self) -> bool:
        """Whether the thread has started and not yet finished."""
    def report(self) -> _Report:
        """Counts of what the thread pushed and what the pushes answered."""
    def results(self) -> bytes:
        """With ``record_results=True``: one signed byte per sequence number, that message's final push result."""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None: ...
