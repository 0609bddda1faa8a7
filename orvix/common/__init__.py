"""Conversions of Python objects into byte ranges for native code.

Native modules take the C functions ``obj_to_cbuf``, ``buf_to_cbuf`` and
``str_to_cbuf`` from the capsules in ``__qvx_capi__`` (see ``conversions.h``);
``obj_to_bytes``, ``buf_to_bytes`` and ``str_to_bytes`` run the same functions
from Python and return a copy of the bytes they take.
"""

from orvix.common._conversions import __qvx_capi__, buf_to_bytes, obj_to_bytes, str_to_bytes

__all__ = ["buf_to_bytes", "obj_to_bytes", "str_to_bytes"]
