"""Helpers shared by the AsyncDispatcher and SyncDispatcher tests."""
import gc
import os
import pickle
import struct
import sys

import pytest

import dispatcher_probe

UNDER_SANITIZER = bool(os.environ.get("ORVIX_UNDER_SANITIZER"))

INVALID_SOCKET = 2**64 - 1


def expected_message(i, size):
    """Message i as the example producers build it."""
    head = struct.pack("<Q", i & (2**64 - 1))[:size]
    return head + bytes((i + k) & 0xFF for k in range(8, size))


def check_in_order(received, count, size):
    """Every message present, in order, with its exact content."""
    assert len(received) == count
    if size >= 8:
        numbers = [struct.unpack_from("<Q", m)[0] for m in received]
        assert numbers == list(range(count))
    for i in (0, 1, count // 2, count - 1):
        assert received[i] == expected_message(i, size)


def addr_fields(raw):
    """(family, port, address bytes, padding) of a 16-byte IPv4 socket address."""
    assert len(raw) == 16
    family = struct.unpack_from("=H", raw, 0)[0]
    port = struct.unpack_from("!H", raw, 2)[0]
    return family, port, raw[4:8], raw[8:]


def bound_port(sock_fd):
    """The port the socket behind a handle is bound to (from a dup of it)."""
    import socket
    with socket.socket(fileno=os.dup(sock_fd)) as dup:
        return dup.getsockname()[1]


def ring_parameters(dispatcher):
    """(slot_size, capacity, overwrite, zerocopy, block_on_full) of the dispatcher's ring."""
    q = dispatcher_probe.queue(dispatcher)
    return q.slot_size, q.capacity, q.overwrite, q.zerocopy, q.block_on_full


def assert_pickling_refused(dispatcher):
    message = "no default __reduce__ due to non-trivial __cinit__"
    for attempt in (lambda: pickle.dumps(dispatcher), dispatcher.__reduce__,
                    lambda: dispatcher.__setstate__(None)):
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == message


def close_errors_on_deallocation(dispatcher_class, monkeypatch):
    """What the unraisable hook receives when a subclass's close() raises
    while its instance is deallocated: [(exception type, context)]."""
    reports = []
    # Keep only what is checked: the exception's traceback pins the frame of
    # close(), and with it the object being deallocated.
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append((u.exc_type, u.object)))

    class Sub(dispatcher_class):
        def close(self):
            raise KeyError("from close")
    d = Sub(print)
    del d
    gc.collect()
    return reports
