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


# Cycles through a Python subclass of a dispatcher that the collector tears
# down in one go. In "cleared class" the class's __dict__ is emptied (and its
# close() released) before the last instance dies; in "cleared mro" the class
# has lost its MRO by then. Each run prints the closes that ran, then the
# unraisable reports. Run in a fresh interpreter: a failure here can crash it.
TORN_DOWN_SUBCLASS = """
import gc, sys
import orvix.utils.corvane.corvane as corvane

reports = []
sys.unraisablehook = lambda u: reports.append((u.exc_type.__name__, u.object))
cls = getattr(corvane, sys.argv[1])

class Sub(cls):
    def close(self):
        print("override", "close" in type(self).__dict__)
        super().close()

if sys.argv[2] == "cleared class":
    first = Sub(print)
    second = Sub(lambda m: first)
    Sub.keep = [second]
    del first, second
else:
    first = Sub(print)
    inner = [first]
    outer = [inner, Sub]
    inner.append(outer)
    Sub.keep = outer
    del first, inner, outer
del Sub
gc.collect()
print("reports", reports)
"""


def collect_torn_down_subclass(class_name, scenario):
    """stdout of TORN_DOWN_SUBCLASS for one dispatcher class and scenario."""
    import subprocess
    import textwrap
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(TORN_DOWN_SUBCLASS), class_name, scenario],
                            capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    return result.stdout
