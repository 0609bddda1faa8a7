"""orvix: byte messages from native producer threads into Python, through a lock-free ring."""

from orvix.batch import AsyncBatchDispatcher as AsyncBatchDispatcher
from orvix.batch import Batch as Batch
from orvix.batch import ThreadedBatchDispatcher as ThreadedBatchDispatcher
from orvix.feed import Feed as Feed
from orvix.shm import SharedProducer as SharedProducer
from orvix.shm import SharedRing as SharedRing
from orvix.utils.corvane.corvane import AsyncDispatcher as AsyncDispatcher
from orvix.utils.corvane.corvane import AsyncQueue as AsyncQueue
from orvix.utils.corvane.corvane import SyncDispatcher as SyncDispatcher
from orvix.utils.corvane.corvane import ThreadedDispatcher as ThreadedDispatcher

__version__: str
"""The package version, as ``ORVIX_VERSION_STRING`` in the C headers."""

__all__ = [
    "__version__", "get_cmake_dir", "get_include",
    "ThreadedDispatcher", "SyncDispatcher", "AsyncDispatcher", "AsyncQueue",
    "ThreadedBatchDispatcher", "AsyncBatchDispatcher", "Batch", "SharedRing", "SharedProducer", "Feed",
]

def get_include() -> str:
    """The folder to put on a C or C++ compiler's include path for ``#include "orvix/..."``."""

def get_cmake_dir() -> str:
    """The folder holding ``orvixConfig.cmake``: pass it as ``-Dorvix_DIR=`` to ``find_package(orvix CONFIG)``."""
