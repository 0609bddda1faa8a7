"""orvix: byte messages from native producer threads into Python, through a lock-free ring."""

__version__: str
"""The package version, as in the C headers' ``ORVIX_VERSION`` macros."""

def get_include() -> str:
    """The folder to put on a C or C++ compiler's include path for ``#include "orvix/..."``."""

def get_cmake_dir() -> str:
    """The folder holding ``orvixConfig.cmake``: pass it as ``-Dorvix_DIR=`` to ``find_package(orvix CONFIG)``."""
