"""Rings in named shared memory: a producer in another process.

``SharedRing(name, ...)`` creates a ring in named shared memory; a producer
process attaches to it by name (``SharedRing.attach(name)`` from Python, or the
C header ``orvix/shm/producer.h`` from any language) and pushes with the
results of ``producer.h``; a ``ThreadedBatchDispatcher`` or
``AsyncBatchDispatcher`` made with ``ring=`` consumes it. Linux only.
"""

from orvix.batch import _batch

# The batch module holds the shared rings where they exist: their consumers
# are its dispatchers.
if not hasattr(_batch, "SharedRing"):
    raise ModuleNotFoundError("orvix.shm: rings in named shared memory exist on Linux only", name="orvix.shm")
SharedProducer = _batch.SharedProducer
SharedRing = _batch.SharedRing
del _batch

__all__ = ["SharedProducer", "SharedRing"]
