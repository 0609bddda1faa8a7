"""A native producer thread that any user can start from Python.

``Feed`` pushes numbered, timestamped messages into a dispatcher from a
native thread that never takes the interpreter lock, through the public
producer header ``orvix/utils/corvane/producer.h``: the load generator of the
benchmarks and the demonstration, and the reference example of a native
producer.

Message layout: bytes 0..7 the sequence number (uint64 little-endian, from
0), bytes 8..15 the send time in ns on ``CLOCK_MONOTONIC`` (the clock of
``time.monotonic_ns()`` on Linux) taken just before the push, and byte ``i``
for ``i >= 16`` is ``(seq + i) & 0xFF``.
"""

from collections.abc import Buffer

from orvix.feed._feed import HEADER_SIZE as HEADER_SIZE, Feed as Feed

__all__ = ["Feed", "HEADER_SIZE", "parse_header"]

def parse_header(msg: Buffer, /) -> tuple[int, int]:
    """The ``(sequence number, send time in ns)`` of a message from a ``Feed``."""
