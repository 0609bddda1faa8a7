"""The lock-free single-producer/single-consumer message ring, SPSCQueue."""

from collections.abc import Buffer
from typing import Final, SupportsInt

RESULT_STORED: Final = 1
"""A push stored its message; a pop handed one out."""
RESULT_FULL: Final = 0
"""A push was refused because the ring is full; a ``try_pop`` found it empty."""
RESULT_TOO_LARGE: Final = -1
"""A push was refused: the message is longer than the ring's limit (never truncated)."""
RESULT_CLOSED: Final = -2
"""The ring is closed: pushes are refused and waits end."""
RESULT_WRONG_MODE: Final = -3
"""The call belongs to the other mode (fixed-size vs. variable-size) than the ring's first call chose."""

class SPSCQueue:
    """A lock-free single-producer/single-consumer ring of byte messages.

    The ring carries either fixed-size messages (``push`` / ``pop``, each up to
    ``slot_size`` bytes) or variable-size ones (``push_var`` / ``pop_var``, each
    up to ``max_var_size`` bytes); its first call decides which, and calls of
    the other family then raise ``RuntimeError``. Python methods never wait:
    a full ring refuses a push (counted in ``refused``) unless ``overwrite``
    drops the oldest messages (counted in ``dropped``). Native code reaches the
    same ring without the interpreter lock through the C-level method table
    declared in ``orvix/ringq/ringq.h``.
    """

    def __init__(
        self,
        slot_size: SupportsInt = 1024,
        capacity: SupportsInt = 16384,
        overwrite: bool = False,
        zerocopy: bool = False,
        block_on_full: bool = False,
    ) -> None: ...
    def __len__(self) -> int:
        """The number of messages stored and not yet taken (a snapshot)."""
    def push(self, message: Buffer, /) -> bool:
        """Store a bytes-like message of up to ``slot_size`` bytes: True when stored, False when full.

        A longer message raises ``ValueError``; a closed ring, or one in variable-size mode,
        ``RuntimeError``.
        """
    def push_var(self, message: Buffer, /) -> bool:
        """Store a variable-size message of up to ``max_var_size`` bytes: True or False as ``push``."""
    def pop(self) -> bytes | None:
        """Take the oldest message as bytes, or None when the ring is empty."""
    def pop_var(self) -> bytes | None:
        """Take the oldest variable-size message as bytes, or None when the ring is empty."""
    def close(self) -> None:
        """Close the ring: wake every waiter; later pushes fail, pops still drain."""
    @property
    def slot_size(self) -> int:
        """Largest fixed-size message, in bytes."""
    @property
    def capacity(self) -> int:
        """Fixed-size messages the ring holds (a power of two)."""
    @property
    def max_var_size(self) -> int:
        """Largest variable-size message, in bytes."""
    @property
    def overwrite(self) -> bool:
        """Whether a full ring drops its oldest messages."""
    @property
    def zerocopy(self) -> bool:
        """Whether native consumers read messages in place (else from a copy)."""
    @property
    def block_on_full(self) -> bool:
        """Whether a notifying native push waits for room.

        It waits only while a reader is present to make room (a new queue has one; a
        ``ThreadedDispatcher``'s queue has one while its reader runs) and its producer
        was not interrupted; otherwise a full queue refuses it, as without the flag.
        """
    @property
    def closed(self) -> bool:
        """Whether ``close()`` was called."""
    @property
    def dropped(self) -> int:
        """Messages dropped to make room (``overwrite``)."""
    @property
    def refused(self) -> int:
        """Pushes that stored nothing: the ring was full or closed, or the message too large."""
