"""orvix: byte messages from native producer threads into Python, through a lock-free ring."""

__version__ = "0.1.0"

# The classes are importable from here as well as from their own modules
# (orvix.utils.corvane.corvane, orvix.batch, orvix.shm, orvix.feed), which stay
# where they are. Each is looked up on first use, so that `import orvix` (for
# get_include(), or `python -m orvix --cflags`) loads no extension module.
_LAZY = {
    "ThreadedDispatcher": "orvix.utils.corvane.corvane",
    "SyncDispatcher": "orvix.utils.corvane.corvane",
    "AsyncDispatcher": "orvix.utils.corvane.corvane",
    "AsyncQueue": "orvix.utils.corvane.corvane",
    "ThreadedBatchDispatcher": "orvix.batch",
    "AsyncBatchDispatcher": "orvix.batch",
    "Batch": "orvix.batch",
    "SharedRing": "orvix.shm",
    "SharedProducer": "orvix.shm",
    "Feed": "orvix.feed",
}

__all__ = ["__version__", "get_cmake_dir", "get_include", *_LAZY]


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'orvix' has no attribute {name!r}")
    import importlib
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value   # later lookups find it without coming here
    return value


def __dir__():
    return sorted({*globals(), *_LAZY})


def get_include():
    """The folder to put on a native producer's include path.

    It holds the public headers: "orvix/utils/corvane/producer.h" (with
    "corvane.h"), "orvix/ringq/ringq.h", "orvix/common/conversions.h",
    "orvix/shm/producer.h" (with "shm_layout.h"), the ring engine
    "orvix/ringq/spsc_ring.hpp" (with the other "orvix/ringq/*.hpp") and
    "orvix/version.h". "orvix/utils/corvane/", "orvix/ringq/ringq.h" and
    "orvix/common/" include <Python.h>, so the include folder of the CPython
    this copy was built for (3.12 or 3.13) is needed as well; the
    shared-ring producer "orvix/shm/producer.h" and the C++ ring engine need
    no Python. ``python -m orvix --cflags`` prints both folders as compiler
    flags.
    """
    import os.path
    return os.path.join(os.path.dirname(__file__), "include")


def get_cmake_dir():
    """The folder of orvix's CMake package: ``cmake -Dorvix_DIR=<it>``, then
    ``find_package(orvix CONFIG)`` gives the interface targets ``orvix::headers``
    (every header, with CPython's) and ``orvix::producer`` (the headers that
    need no Python: the shared-ring producer and the C++ ring engine)."""
    import os.path
    return os.path.join(os.path.dirname(__file__), "cmake")
