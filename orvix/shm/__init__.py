"""Rings in named shared memory: a producer in another process.

``SharedRing(name, ...)`` creates a ring in named shared memory; a producer
process attaches to it by name (``SharedRing.attach(name)`` from Python, or the
C header ``orvix/shm/producer.h`` from any language) and pushes with the
results of ``producer.h``; a ``ThreadedBatchDispatcher`` or
``AsyncBatchDispatcher`` made with ``ring=`` consumes it. Linux only.
"""

from orvix.shm._shm import SharedProducer, SharedRing

__all__ = ["SharedProducer", "SharedRing"]
