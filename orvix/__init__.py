"""orvix: byte messages from native producer threads into Python, through a lock-free ring."""

__version__ = "0.1.0"

__all__ = ["__version__", "get_cmake_dir", "get_include"]


def get_include():
    """The folder to put on a native producer's include path.

    It holds the public headers: "orvix/utils/corvane/producer.h" (with
    "corvane.h"), "orvix/ringq/ringq.h", "orvix/ringq/spsc_ring.hpp",
    "orvix/common/conversions.h" and "orvix/version.h". They include
    <Python.h>, so the include folder of the CPython this copy was built
    for (3.12 or 3.13) is needed as well.
    """
    import os.path
    return os.path.join(os.path.dirname(__file__), "include")


def get_cmake_dir():
    """The folder of orvix's CMake package: ``cmake -Dorvix_DIR=<it>``, then
    ``find_package(orvix CONFIG)`` gives the interface target ``orvix::headers``."""
    import os.path
    return os.path.join(os.path.dirname(__file__), "cmake")
