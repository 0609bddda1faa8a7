"""Shared by the soak and leak runs: what a process holds, and sequence checks."""
import os
import struct
import threading
import time

from corvane_helpers import native_threads
from orvix.feed import HEADER_SIZE, Feed, parse_header

MESSAGE_SIZE = HEADER_SIZE
# Each producer run pushes one chunk numbered from 0 and the next starts only
# once the chunk is delivered, so a ring that holds a chunk never refuses a
# message whatever the push result says, and the long run needs no more memory
# than the short one.
CHUNK = 50_000
CAPACITY = 1 << 16
WARM_CHUNKS = 2   # by then every page of the ring has been used once


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def footprint():
    """(fds, threads) once readers that are on their way out have left."""
    last = None
    for _ in range(200):
        now = (open_fds(), native_threads())
        if now == last:
            return now
        last = now
        time.sleep(0.02)
    return last


class SequenceCheck:
    """A callback: message n of the run must carry sequence number n % CHUNK."""

    def __init__(self):
        self.count = 0
        self.fault = None
        self.chunk_done = threading.Event()

    def __call__(self, message):
        if self.fault is None:
            expected = self.count % CHUNK
            seq = parse_header(message)[0]
            if seq != expected or len(message) != MESSAGE_SIZE:
                self.fault = f"message {self.count}: seq {seq}, {len(message)} bytes; expected seq {expected}"
        self.count += 1
        if self.count % CHUNK == 0:
            self.chunk_done.set()

    def message(self, n):
        """Message n as a producer coroutine pushes it (the feed's header, no send time)."""
        return struct.pack("<QQ", n % CHUNK, 0)


class BatchSequenceCheck(SequenceCheck):
    """The same check as a batch callback: the messages of a batch are read
    as records at once, and must carry the next sequence numbers."""

    def __call__(self, batch):
        import numpy as np
        seqs = np.frombuffer(batch, dtype=[("seq", "<u8"), ("sent", "<u8")])["seq"]
        n = len(batch)
        if self.fault is None:
            expected = (self.count + np.arange(n, dtype=np.uint64)) % CHUNK
            if batch.nbytes != n * MESSAGE_SIZE or not (seqs == expected).all():
                at = int(np.argmax(seqs != expected)) if batch.nbytes == n * MESSAGE_SIZE else 0
                self.fault = f"message {self.count + at}: seq {seqs[at]}; expected seq {expected[at]}"
        self.count += n
        if self.count % CHUNK == 0:
            self.chunk_done.set()


def feed_in_chunks(dispatcher, check, count, probe=None, burst=1):
    """Pushes `count` messages from the native feed, chunk by chunk (`burst`
    at a time), each once the one before is delivered; calls probe("warm")
    after WARM_CHUNKS and probe("end") after the last. Blocks; call it off
    the loop thread."""
    for c in range(count // CHUNK):
        check.chunk_done.clear()
        feed = Feed(dispatcher, count=CHUNK, size=MESSAGE_SIZE, burst=burst)
        feed.start()
        assert feed.join(60), f"chunk {c}: the feed did not finish"
        report = feed.report()
        assert report["stored"] == CHUNK and report["refused"] == 0, f"chunk {c}: {report}"
        assert check.chunk_done.wait(60), f"chunk {c}: {check.count} delivered; {check.fault}"
        after_chunk(probe, c, count)


def after_chunk(probe, c, count):
    if probe is None:
        return
    if c + 1 == WARM_CHUNKS:
        probe("warm")
    if c + 1 == count // CHUNK:
        probe("end")
