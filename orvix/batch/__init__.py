"""Batch delivery: a reader hands its callback every message present at once.

``ThreadedBatchDispatcher`` and ``AsyncBatchDispatcher`` take native producers
exactly as ``ThreadedDispatcher`` and ``AsyncDispatcher`` do (the same
``producer.h`` entries and results, ``stats()``, ``close()``), but call (or
await) ``callback(batch)`` once for everything the ring holds at that moment,
up to ``max_batch`` messages. A ``Batch`` owns a copy of its messages:
``len``, indexing and iteration give each as ``bytes``, the buffer protocol
gives all payloads back to back (``numpy.frombuffer(batch, dtype)``), and
``offsets`` the boundaries between them.
"""

from orvix.batch._batch import AsyncBatchDispatcher, Batch, ThreadedBatchDispatcher

__all__ = ["AsyncBatchDispatcher", "Batch", "ThreadedBatchDispatcher"]
