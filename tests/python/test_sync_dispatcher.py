"""SyncDispatcher: native producers to a callback on a Python reader thread."""
import os
import struct
import subprocess
import sys
import threading
import time
import traceback

import pytest

import dispatcher_probe
import producer_cpp
from orvix.utils.corvane.corvane import SyncDispatcher
from socket_dispatcher_support import (INVALID_SOCKET, UNDER_SANITIZER, addr_fields,
                                       assert_pickling_refused, bound_port, check_in_order,
                                       ring_parameters)

MODULE = "orvix.utils.corvane.corvane"


class Collector:
    """A callback that records messages and signals when `expected` arrived."""

    def __init__(self, expected):
        self.messages = []
        self.threads = set()
        self.expected = expected
        self.done = threading.Event()

    def __call__(self, msg):
        self.messages.append(msg)
        self.threads.add(threading.current_thread())
        if len(self.messages) >= self.expected:
            self.done.set()


def setup_and_get_reader(d, *args, **kwargs):
    """setup() and the reader thread it started."""
    before = set(threading.enumerate())
    d.setup(*args, **kwargs)
    (reader,) = set(threading.enumerate()) - before
    return reader


def stop(d, reader):
    d.close()
    reader.join(10)
    assert not reader.is_alive()


# ---- delivery from native producer threads ---------------------------------

@pytest.mark.timeout(60)
def test_messages_pushed_before_setup_are_delivered_in_order():
    c = Collector(100)
    d = SyncDispatcher(c)
    producer_cpp.start(d, 100, 24).join()
    assert dispatcher_probe.sock_fd(d) == INVALID_SOCKET
    reader = setup_and_get_reader(d)
    assert c.done.wait(20)
    stop(d, reader)
    check_in_order(c.messages, 100, 24)
    assert c.threads == {reader}


@pytest.mark.timeout(240)
def test_a_million_messages_arrive_in_order_with_none_lost():
    count = 100_000 if UNDER_SANITIZER else 1_000_000
    c = Collector(count)
    d = SyncDispatcher(c, capacity=1 << 20, slot_size=16)
    reader = setup_and_get_reader(d)
    p = producer_cpp.start(d, count, 16)
    assert c.done.wait(200)
    assert p.join() == count
    stop(d, reader)
    check_in_order(c.messages, count, 16)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("variable_size", [False, True])
def test_no_wakeup_is_lost_when_the_reader_keeps_falling_asleep(variable_size):
    bursts = 500 if UNDER_SANITIZER else 3000
    c = Collector(10**9)
    d = SyncDispatcher(c, capacity=1 << 16, slot_size=8, variable_size=variable_size)
    reader = setup_and_get_reader(d)
    total = dispatcher_probe.push_bursts(d, bursts, 5, 40)
    # Every burst must have woken the reader: the last messages would
    # otherwise stay in the ring until the deadline.
    deadline = time.monotonic() + 100
    while len(c.messages) < total and time.monotonic() < deadline:
        time.sleep(0.01)
    assert [struct.unpack("<Q", m)[0] for m in c.messages] == list(range(total))
    stop(d, reader)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("variable_size", [False, True])
def test_zero_length_messages_arrive_as_empty_bytes(variable_size):
    c = Collector(50)
    d = SyncDispatcher(c, variable_size=variable_size)
    reader = setup_and_get_reader(d)
    producer_cpp.start(d, 50, 0).join()
    assert c.done.wait(20)
    stop(d, reader)
    assert c.messages == [b""] * 50


@pytest.mark.timeout(60)
def test_variable_size_mode_delivers_in_order():
    count = 20_000
    c = Collector(count)
    d = SyncDispatcher(c, variable_size=True)
    reader = setup_and_get_reader(d)
    producer_cpp.start(d, count, 300).join()
    assert c.done.wait(40)
    stop(d, reader)
    check_in_order(c.messages, count, 300)


# ---- the reader thread -----------------------------------------------------

@pytest.mark.timeout(30)
@pytest.mark.parametrize("daemon", [False, True])
def test_reader_is_a_threading_thread_with_the_daemon_flag(daemon):
    d = SyncDispatcher(Collector(1), daemon=daemon)
    reader = setup_and_get_reader(d)
    assert isinstance(reader, threading.Thread)
    assert reader.daemon is daemon
    stop(d, reader)


@pytest.mark.timeout(30)
def test_close_delivers_what_is_queued_then_stops_the_reader():
    c = Collector(10**9)
    d = SyncDispatcher(c)
    reader = setup_and_get_reader(d)
    producer_cpp.start(d, 5000, 16).join()
    d.close()
    reader.join(10)
    assert not reader.is_alive()
    check_in_order(c.messages, 5000, 16)
    assert dispatcher_probe.sock_fd(d) == INVALID_SOCKET
    dispatcher_probe.push(d, b"late", 100)   # after close: refused by the closed ring
    assert (d.stats()["stored"], d.stats()["refused"]) == (5000, 100)
    assert d.close() is None                 # twice


@pytest.mark.timeout(60)
def test_close_stops_the_reader_even_while_a_producer_keeps_pushing():
    got = []

    def slow_callback(msg):      # slower than the producer: the ring stays full
        got.append(msg)
        time.sleep(0.00002)
    d = SyncDispatcher(slow_callback, capacity=1 << 10, slot_size=8)
    reader = setup_and_get_reader(d)
    pusher = dispatcher_probe.start_pushing(d)
    while len(got) < 100:
        time.sleep(0.001)
    d.close()
    reader.join(20)
    still_running = reader.is_alive()
    dispatcher_probe.stop_pushing(pusher)
    assert not still_running
    numbers = [struct.unpack("<Q", m)[0] for m in got]
    assert numbers == sorted(set(numbers))    # in order, none twice (refused pushes leave gaps)


@pytest.mark.timeout(30)
def test_close_from_the_callback_stops_after_the_queued_messages():
    got = []
    d = None

    def cb(msg):
        got.append(msg)
        if len(got) == 1:
            d.close()
    d = SyncDispatcher(cb)
    producer_cpp.start(d, 100, 8).join()      # queued before the reader starts
    threads = threading.active_count()
    d.setup()
    deadline = time.monotonic() + 10
    while threading.active_count() > threads and time.monotonic() < deadline:
        time.sleep(0.01)
    assert threading.active_count() == threads   # the reader has ended
    check_in_order(got, 100, 8)


def test_close_before_setup_does_nothing():
    d = SyncDispatcher(Collector(1))
    assert d.close() is None
    assert d.close() is None


@pytest.mark.timeout(30)
def test_a_raising_callback_stops_delivery(monkeypatch):
    reports = []
    monkeypatch.setattr(threading, "excepthook", reports.append)
    got = []

    def cb(msg):
        got.append(msg)
        if len(got) == 3:
            raise ValueError("boom")
    d = SyncDispatcher(cb)
    reader = setup_and_get_reader(d)
    producer_cpp.start(d, 10, 8).join()
    reader.join(10)
    assert not reader.is_alive()
    assert len(got) == 3
    assert [type(r.exc_value) for r in reports] == [ValueError]
    names = []
    tb = reports[0].exc_traceback
    while tb:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    assert f"{MODULE}.SyncDispatcher._try_pop" in names
    producer_cpp.start(d, 5, 8).join()      # stored and signalled, never delivered
    time.sleep(0.05)
    assert len(got) == 3
    d.close()


@pytest.mark.timeout(30)
def test_try_pop_without_a_socket_raises_os_error_instead_of_spinning():
    d = SyncDispatcher(Collector(1))
    with pytest.raises(OSError):
        d._try_pop()
    with pytest.raises(OSError):
        d._try_pop_var()


@pytest.mark.timeout(60)
def test_interpreter_exit_with_a_closed_non_daemon_reader_does_not_hang():
    code = (
        "from orvix.utils.corvane.corvane import SyncDispatcher\n"
        "d = SyncDispatcher(print, daemon=False)\n"
        "d.setup()\n"
        "d.close()\n"
    )
    done = subprocess.run([sys.executable, "-c", code], timeout=30, env=dict(os.environ),
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


# ---- setup -----------------------------------------------------------------

@pytest.mark.timeout(30)
@pytest.mark.parametrize("host", ["127.0.0.1", "localhost"])
def test_addr_holds_the_bound_loopback_address_in_network_order(host):
    d = SyncDispatcher(Collector(1))
    reader = setup_and_get_reader(d, host=host)
    family, port, address, padding = addr_fields(dispatcher_probe.addr(d))
    assert family == 2
    assert port == bound_port(dispatcher_probe.sock_fd(d)) and port != 0
    assert address == b"\x7f\x00\x00\x01"
    assert padding == bytes(8)
    stop(d, reader)


def test_host_argument_rules():
    class Text(str):
        pass
    d = SyncDispatcher(Collector(1))
    for bad, name in [(b"127.0.0.1", "bytes"), (Text("127.0.0.1"), "Text")]:
        with pytest.raises(TypeError) as info:
            d.setup(bad)
        assert str(info.value) == f"Argument 'host' has incorrect type (expected str, got {name})"
    with pytest.raises(TypeError) as info:
        d.setup("127.0.0.1", 2)
    assert str(info.value) == "setup() takes at most 1 positional argument (2 given)"
    with pytest.raises(TypeError):          # None passes the check, then bind refuses it
        d.setup(None)
    assert dispatcher_probe.sock_fd(d) == INVALID_SOCKET


@pytest.mark.timeout(30)
def test_a_second_setup_is_refused():
    d = SyncDispatcher(Collector(1))
    reader = setup_and_get_reader(d)
    before = set(threading.enumerate())
    with pytest.raises(RuntimeError, match="setup\\(\\) was already called"):
        d.setup()
    assert set(threading.enumerate()) == before
    stop(d, reader)


@pytest.mark.timeout(30)
def test_subclass_overrides_setup_close_and_try_pop():
    events = []

    class Sub(SyncDispatcher):
        def setup(self, host="127.0.0.1"):
            events.append(("setup", host))
            super().setup(host)

        def _try_pop(self):
            events.append(("reader", threading.current_thread() is not threading.main_thread()))
            super()._try_pop()

        def close(self):
            events.append("close")
            super().close()

    c = Collector(3)
    d = Sub(c)
    before = set(threading.enumerate())
    dispatcher_probe.setup_entry(d, 0)           # native callers reach the override
    (reader,) = set(threading.enumerate()) - before
    dispatcher_probe.push(d, b"m", 3)
    assert c.done.wait(10)
    dispatcher_probe.close_entry(d, 0)
    reader.join(10)
    assert events == [("setup", "127.0.0.1"), ("reader", True), "close"]
    dispatcher_probe.close_entry(d, 1)           # skips the override
    assert events[-1] == "close" and len(events) == 3


@pytest.mark.timeout(30)
def test_variable_size_target_is_try_pop_var():
    events = []

    class Sub(SyncDispatcher):
        def _try_pop_var(self):
            events.append("var")
            super()._try_pop_var()
    c = Collector(1)
    d = Sub(c, variable_size=True)
    reader = setup_and_get_reader(d)
    dispatcher_probe.push(d, b"v")
    assert c.done.wait(10)
    stop(d, reader)
    assert events == ["var"] and c.messages == [b"v"]


def test_failing_overrides_called_through_the_table_gain_their_entries():
    class Sub(SyncDispatcher):
        def setup(self, host="x"):
            raise KeyError(host)

        def close(self):
            raise KeyError("close")
    d = Sub(print)
    for call, name in ((lambda: dispatcher_probe.setup_entry(d, 0), "setup"),
                       (lambda: dispatcher_probe.close_entry(d, 0), "close")):
        with pytest.raises(KeyError) as info:
            call()
        names = [entry.name for entry in traceback.extract_tb(info.value.__traceback__)]
        assert names[-2:] == [f"{MODULE}.SyncDispatcher.{name}", name]
    dispatcher_probe.close_entry(d, 1)


# ---- construction and pickling ---------------------------------------------

def test_constructor_arguments():
    with pytest.raises(TypeError) as info:
        SyncDispatcher()
    assert str(info.value) == "__cinit__() takes at least 1 positional argument (0 given)"
    with pytest.raises(TypeError) as info:
        SyncDispatcher(print, 1, 2, False, False, False, False, 8)
    assert str(info.value) == "__cinit__() takes at most 7 positional arguments (8 given)"
    with pytest.raises(OverflowError, match="can't convert negative value to size_t"):
        SyncDispatcher(print, -1)
    SyncDispatcher(print, 64, 32, True, False, False, None)


def test_ring_parameters_and_their_order():
    assert ring_parameters(SyncDispatcher(print)) == (2048, 16384, False, False, False)
    # zerocopy comes before overwrite here
    assert ring_parameters(SyncDispatcher(print, 64, 32, True, False)) == (32, 64, False, True, False)


def test_pickling_is_refused():
    assert_pickling_refused(SyncDispatcher(print))


def test_methods_take_no_arguments():
    d = SyncDispatcher(print)
    for name in ("_try_pop", "_try_pop_var", "close"):
        with pytest.raises(TypeError) as info:
            getattr(d, name)(1)
        assert str(info.value) == f"{name}() takes exactly 0 positional arguments (1 given)"
        with pytest.raises(TypeError) as info:
            getattr(d, name)(x=1)
        assert str(info.value) == f"{name}() got an unexpected keyword argument 'x'"
