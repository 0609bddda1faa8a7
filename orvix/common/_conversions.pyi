"""The C conversion functions of orvix.common, as capsules and as Python functions."""

from collections.abc import Buffer
from typing import SupportsBytes

__qvx_capi__: dict[str, object]
"""Capsules of the C functions, keyed by name; each capsule is named by the function's signature text."""

def buf_to_bytes(obj: Buffer, /) -> bytes:
    """The bytes that ``buf_to_cbuf`` takes from ``obj``: the contents of its C-contiguous buffer."""

def obj_to_bytes(obj: Buffer | str | SupportsBytes | None, /) -> bytes | None:
    """The bytes that ``obj_to_cbuf`` takes from ``obj`` (a bytes-like object, a str as UTF-8 or an
    object with ``__bytes__``), or None for None, which has nothing to push."""

def str_to_bytes(obj: str, /) -> bytes:
    """The bytes that ``str_to_cbuf`` takes from ``obj``: the UTF-8 encoding of a str."""
