"""A native producer thread that anyone can start from Python.

``Feed(dispatcher, count=..., duration=..., size=64, rate=None, burst=1)``
pushes messages into an AsyncDispatcher, SyncDispatcher or ThreadedDispatcher
(or a batch dispatcher of orvix.batch) from its own native thread, ``burst``
at a time, through the public producer header and without the
interpreter lock. Message ``seq`` carries ``seq`` in bytes 0..7 and its send
time (``time.monotonic_ns()``'s clock) in bytes 8..15, both little-endian;
byte ``i`` beyond the header is ``(seq + i) & 0xFF``.
"""

import struct

from orvix.feed._feed import HEADER_SIZE, Feed

__all__ = ["Feed", "HEADER_SIZE", "parse_header"]

_HEADER = struct.Struct("<QQ")


def parse_header(message):
    """parse_header(message) -> (seq, sent_ns): the sequence number and send time of a feed's message."""
    return _HEADER.unpack_from(message)
