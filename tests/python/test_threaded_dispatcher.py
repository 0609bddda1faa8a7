"""ThreadedDispatcher: native producers, a native reader thread, Python callbacks."""
import contextlib
import copy
import gc
import os
import pickle
import struct
import sys
import threading
import time

import pytest

import producer_cpp
from corvane_helpers import eventually, native_threads
from example_producers import EXAMPLE_PRODUCERS
from orvix.utils.corvane.corvane import ThreadedDispatcher
from socket_dispatcher_support import (UNDER_SANITIZER, check_in_order,
                                       expected_message)

PRODUCERS = EXAMPLE_PRODUCERS
READER = "orvix.utils.corvane.corvane.ThreadedDispatcher._reader"
READER_VAR = "orvix.utils.corvane.corvane.ThreadedDispatcher._reader_var"
NO_REDUCE = "no default __reduce__ due to non-trivial __cinit__"




def settled_threads():
    """The thread count once it has stopped changing: readers that earlier tests
    closed may still be on their way out."""
    last = native_threads()
    for _ in range(100):
        time.sleep(0.02)
        now = native_threads()
        if now == last:
            break
        last = now
    return last


def readers_gone(baseline):
    return eventually(lambda: native_threads() <= baseline)


class Collector:
    """A callback that keeps what it gets and signals when it has `expected` messages."""

    def __init__(self, expected):
        self.expected = expected
        self.received = []
        self.done = threading.Event()

    def __call__(self, message):
        self.received.append(message)
        if len(self.received) >= self.expected:
            self.done.set()

    def wait(self, timeout=30):
        assert self.done.wait(timeout), f"{len(self.received)} of {self.expected} delivered"


@contextlib.contextmanager
def unraisable_reports():
    """Everything passed to sys.unraisablehook inside the block (set in the test body:
    pytest installs its own hook around each test call)."""
    seen = []
    previous, sys.unraisablehook = sys.unraisablehook, seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = previous


# ---- construction and arguments ----------------------------------------------

@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((), {}, TypeError, "__cinit__() takes at least 1 positional argument (0 given)"),
    ((print,) * 8, {}, TypeError, "__cinit__() takes at most 7 positional arguments (8 given)"),
    ((), {"capacity": 8}, TypeError, "__cinit__() takes at least 1 positional argument (0 given)"),
    ((print,), {"callback": print}, TypeError,
     "__cinit__() got multiple values for keyword argument 'callback'"),
    ((print,), {"bogus": 1}, TypeError, "__cinit__() got an unexpected keyword argument 'bogus'"),
    ((print, -1), {}, OverflowError, "can't convert negative value to size_t"),
    ((print,), {"capacity": None}, TypeError, "an integer is required"),
    # conversions run capacity, slot_size, then the flags: the first failure wins
    ((print, -1, None), {}, OverflowError, "can't convert negative value to size_t"),
    ((print, 16, None), {}, TypeError, "an integer is required"),
])
def test_constructor_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        ThreadedDispatcher(*args, **kwargs)
    assert str(info.value) == message
    entries = [entry.name for entry in info.traceback]
    assert entries[-1] == "orvix.utils.corvane.corvane.ThreadedDispatcher.__cinit__"


def ring_of(dispatcher):
    """The dispatcher's SPSCQueue: the collector's traversal visits `_q`, then `callback`."""
    ring, callback = gc.get_referents(dispatcher)
    return ring


def options(ring):
    return ring.slot_size, ring.capacity, ring.zerocopy, ring.block_on_full, ring.overwrite


@pytest.mark.parametrize("args, expected", [
    ((), (2048, 16384, False, False, False)),
    ((8, 32, True), (32, 8, True, False, False)),
    ((8, 32, False, True), (32, 8, False, True, False)),
    ((8, 32, False, False, True), (32, 8, False, False, True)),
])
def test_the_ring_is_made_from_the_arguments(args, expected):
    d = ThreadedDispatcher(print, *args)
    assert options(ring_of(d)) == expected
    assert gc.get_referents(d)[1] is print
    d.close()
    assert ring_of(d).closed


def test_flag_conversions_run_in_parameter_order():
    class Truth:
        def __init__(self, name):
            self.name = name

        def __bool__(self):
            raise ValueError(self.name)

    with pytest.raises(ValueError, match="^zerocopy$"):
        ThreadedDispatcher(print, overwrite=Truth("overwrite"), zerocopy=Truth("zerocopy"),
                           block_on_full=Truth("block_on_full"))
    with pytest.raises(ValueError, match="^block_on_full$"):
        ThreadedDispatcher(print, 16, 64, False, Truth("block_on_full"), Truth("overwrite"))
    # None and other objects count by their truth value
    ThreadedDispatcher(print, 16.9, 64, None, 0, "", variable_size=None)


def test_setup_and_close_take_no_arguments():
    d = ThreadedDispatcher(print)
    with pytest.raises(TypeError) as info:
        d.setup(1)
    assert str(info.value) == "setup() takes exactly 0 positional arguments (1 given)"
    with pytest.raises(TypeError) as info:
        d.close(now=True)
    assert str(info.value) == "close() got an unexpected keyword argument 'now'"
    assert ThreadedDispatcher.setup.__doc__ == "ThreadedDispatcher.setup(self) -> void"
    assert ThreadedDispatcher.close.__doc__ == "ThreadedDispatcher.close(self) -> void"


def test_pickling_is_refused():
    d = ThreadedDispatcher(print)
    for attempt in (lambda: pickle.dumps(d), lambda: copy.copy(d), d.__reduce__,
                    lambda: d.__setstate__(None)):
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == NO_REDUCE
    with pytest.raises(TypeError) as info:
        d.__setstate__()
    assert str(info.value) == "__setstate__() takes exactly 1 positional argument (0 given)"


def test_a_second_setup_while_the_reader_runs_is_refused():
    d = ThreadedDispatcher(print)
    d.setup()
    with pytest.raises(RuntimeError) as info:
        d.setup()
    assert str(info.value) == "the reader thread of this ThreadedDispatcher is already running"
    d.close()


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizers need address space of their own")
@pytest.mark.timeout(60)
def test_a_thread_that_cannot_start_is_an_error():
    from corvane_helpers import check_python

    out = check_python("""
        import re, resource
        from orvix.utils.corvane.corvane import ThreadedDispatcher

        d = ThreadedDispatcher(print)
        status = open("/proc/self/status").read()
        in_use = int(re.search(r"VmSize:\\s+(\\d+) kB", status).group(1)) * 1024
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 20), hard))   # no room for a stack
        try:
            d.setup()
        except RuntimeError as e:
            print(e)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        d.setup()   # nothing was left half-started
        d.close()
    """)
    assert out.startswith("can't start the reader thread: ")


# ---- delivery -----------------------------------------------------------------

@PRODUCERS
@pytest.mark.timeout(60)
def test_messages_pushed_before_setup_arrive_in_order(producer):
    collector = Collector(300)
    d = ThreadedDispatcher(collector)
    assert producer.start(d, 300, 40).join() == 300
    assert collector.received == []
    d.setup()
    collector.wait()
    check_in_order(collector.received, 300, 40)
    d.close()


@PRODUCERS
@pytest.mark.parametrize("variable", [False, True], ids=["fixed", "variable"])
@pytest.mark.timeout(60)
def test_zero_length_messages_arrive_as_empty_bytes(producer, variable):
    collector = Collector(50)
    d = ThreadedDispatcher(collector, variable_size=variable)
    d.setup()
    assert producer.start(d, 50, 0).join() == 50
    collector.wait()
    assert collector.received == [b""] * 50
    d.close()


@PRODUCERS
@pytest.mark.parametrize("size", [1, 8, 100, 2048])
@pytest.mark.timeout(60)
def test_variable_size_mode(producer, size):
    collector = Collector(500)
    d = ThreadedDispatcher(collector, capacity=1 << 20, variable_size=True)
    d.setup()
    assert producer.start(d, 500, size).join() == 500
    collector.wait()
    check_in_order(collector.received, 500, size)
    d.close()


@pytest.mark.parametrize("variable", [False, True], ids=["fixed", "variable"])
@pytest.mark.timeout(120)
def test_a_million_messages_in_order_none_lost(variable):
    count = 1_000_000 // (20 if UNDER_SANITIZER else 1)
    state = {"next": 0, "bad": None}
    done = threading.Event()

    def check(message):
        n = struct.unpack_from("<Q", message)[0]
        if n != state["next"] and state["bad"] is None:
            state["bad"] = (state["next"], n)
        state["next"] = n + 1
        if state["next"] == count:
            done.set()

    d = ThreadedDispatcher(check, capacity=1024, slot_size=64, block_on_full=True, variable_size=variable)
    d.setup()
    producer = producer_cpp.start(d, count, 64)
    assert producer.join() == count
    assert done.wait(60), f"delivered {state['next']} of {count}"
    assert state["bad"] is None
    assert producer.elapsed_ns > 0
    d.close()


# ---- failures on the reader ---------------------------------------------------

@pytest.mark.parametrize("variable, context", [(False, READER), (True, READER_VAR)], ids=["fixed", "variable"])
@pytest.mark.timeout(60)
def test_a_raising_callback_is_reported_once_and_stops_delivery(capfd, variable, context):
    calls = []

    def callback(message):
        calls.append(message)
        raise ValueError("bad message")

    d = ThreadedDispatcher(callback, variable_size=variable)
    with unraisable_reports() as reports:
        d.setup()
        assert producer_cpp.start(d, 5, 16).join() == 5
        assert eventually(lambda: reports)
        time.sleep(0.1)
    assert len(calls) == 1 and calls[0] == expected_message(0, 16)
    assert len(reports) == 1
    assert reports[0].object == context
    assert isinstance(reports[0].exc_value, ValueError) and str(reports[0].exc_value) == "bad message"
    assert "ValueError: bad message" in capfd.readouterr().err   # printed first
    # the ring still takes messages; nothing delivers them
    assert producer_cpp.start(d, 5, 16).join() == 5
    time.sleep(0.05)
    assert len(calls) == 1
    d.close()


@pytest.mark.parametrize("variable", [False, True], ids=["fixed", "variable"])
@pytest.mark.timeout(60)
def test_setup_after_a_failed_delivery_goes_on_with_the_next_message(variable):
    # The message whose callback raised was delivered: a new reader must not
    # hand it out again.
    calls = []

    def callback(message):
        calls.append(struct.unpack_from("<Q", message)[0])
        if len(calls) == 3:
            raise ValueError("third")

    d = ThreadedDispatcher(callback, variable_size=variable)
    producer_cpp.start(d, 5, 16).join()
    with unraisable_reports() as reports:
        # A slow report: once stats() says "stopped", the ring is free for a
        # new reader, whatever the report is still doing.
        sys.unraisablehook = lambda report: (time.sleep(0.5), reports.append(report))
        d.setup()
        assert eventually(lambda: d.stats()["reader"] == "stopped")
        d.setup()
        assert eventually(lambda: reports)
    assert eventually(lambda: len(calls) >= 5)
    producer_cpp.start(d, 1, 16).join()   # a marker: everything before it has arrived
    assert eventually(lambda: len(calls) >= 6)
    assert calls == [0, 1, 2, 3, 4, 0]
    stats = d.stats()
    assert (stats["stored"], stats["delivered"], stats["pending"]) == (6, 6, 0)
    d.close()


# ---- close and lifetime -------------------------------------------------------

@pytest.mark.timeout(60)
def test_close_before_setup():
    collector = Collector(1)
    d = ThreadedDispatcher(collector)
    producer_cpp.start(d, 3, 8).join()
    assert d.close() is None
    threads = settled_threads()
    assert d.setup() is None
    assert readers_gone(threads)
    time.sleep(0.05)
    assert collector.received == []
    assert d.close() is None   # again: harmless


@pytest.mark.timeout(60)
def test_close_does_not_wait_for_a_running_callback():
    entered, release = threading.Event(), threading.Event()
    calls = []

    def callback(message):
        calls.append(message)
        entered.set()
        release.wait(10)

    d = ThreadedDispatcher(callback)
    threads = settled_threads()
    d.setup()
    producer_cpp.start(d, 3, 8).join()
    assert entered.wait(10)
    d.close()
    assert not release.is_set()   # close() returned while the callback still ran
    release.set()
    assert readers_gone(threads)
    assert calls == [expected_message(i, 8) for i in range(3)]   # what was queued, then the reader left


@pytest.mark.timeout(60)
def test_close_inside_the_callback_delivers_the_rest_then_ends_the_reader():
    calls = []

    def callback(message):
        calls.append(message)
        d.close()

    threads = settled_threads()
    d = ThreadedDispatcher(callback)
    producer_cpp.start(d, 5, 8).join()
    d.setup()
    assert readers_gone(threads)
    assert calls == [expected_message(i, 8) for i in range(5)]


@pytest.mark.timeout(60)
def test_dropping_the_last_reference_ends_the_reader():
    threads = settled_threads()
    d = ThreadedDispatcher(lambda m: None)
    d.setup()
    assert eventually(lambda: native_threads() > threads)
    del d
    assert readers_gone(threads)


@pytest.mark.timeout(60)
def test_the_last_reference_dropped_inside_the_callback():
    holder = []
    calls = []

    def callback(message):
        calls.append(message)
        holder.clear()   # deallocates the dispatcher on the reader thread, mid-delivery
        gc.collect()

    threads = settled_threads()
    holder.append(ThreadedDispatcher(callback))
    producer_cpp.start(holder[0], 10, 8).join()
    holder[0].setup()
    assert readers_gone(threads)
    assert calls == [expected_message(0, 8)]


@pytest.mark.timeout(60)
def test_a_cycle_through_the_callback_is_collected_and_ends_the_reader():
    class Owner:
        def __init__(self):
            self.dispatcher = ThreadedDispatcher(self.on_message)
            self.dispatcher.setup()

        def on_message(self, message):
            pass

    threads = settled_threads()
    owner = Owner()
    assert eventually(lambda: native_threads() > threads)
    del owner
    gc.collect()
    assert readers_gone(threads)


@pytest.mark.timeout(60)
def test_deallocation_calls_a_subclass_close():
    calls = []

    class Closing(ThreadedDispatcher):
        def close(self):
            calls.append("close")
            super().close()

    class Failing(ThreadedDispatcher):
        def close(self):
            calls.append("failed")
            if calls.count("failed") == 1:
                raise KeyError("close failed")
            super().close()

    class Forgetful(ThreadedDispatcher):
        def close(self):
            calls.append("forgot")   # never closes the ring

    threads = settled_threads()
    with unraisable_reports() as reports:
        for cls in (Closing, Failing, Forgetful):
            d = cls(lambda m: None)
            d.setup()
            del d
    assert calls == ["close", "failed", "forgot"]
    assert [r.object for r in reports] == ["orvix.utils.corvane.corvane.ThreadedDispatcher.__dealloc__"]
    assert isinstance(reports[0].exc_value, KeyError)
    # The report's traceback holds the frame of close(), and so the object:
    # it lives on until the report goes, and is deallocated (closed) then.
    reports.clear()
    gc.collect()
    assert calls == ["close", "failed", "forgot", "failed"]
    # every reader ended, the forgetful subclass's too
    assert readers_gone(threads)


def test_subclasses_keep_the_constructor():
    class Sub(ThreadedDispatcher):
        pass

    with pytest.raises(TypeError) as info:
        Sub()
    assert str(info.value) == "__cinit__() takes at least 1 positional argument (0 given)"
    Sub(print, variable_size=True).close()


# ---- interpreter exit -----------------------------------------------------------

@pytest.mark.parametrize("scenario", ["waiting", "delivering", "kept alive"])
@pytest.mark.timeout(60)
def test_interpreter_exit_with_a_running_reader(scenario):
    # The reader ends while the interpreter tears down, unable to take the
    # lock again. A reader attached after it must find the list of readers
    # intact (under AddressSanitizer: no use after free).
    from corvane_helpers import check_python

    out = check_python(f"""
        import time, producer_cpp
        from orvix.utils.corvane.corvane import ThreadedDispatcher

        def slow(message):
            time.sleep(0.3)   # lock released while the interpreter exits

        d = ThreadedDispatcher(slow)
        d.setup()
        waiting = {scenario!r} == "waiting"
        producer_cpp.start(d, 1 if waiting else 20, 8).join()
        # Delivering the first message; when waiting, back in the ring after it.
        while d.stats()["delivered"] == 0 or (waiting and d.stats()["pending"]):
            time.sleep(0.01)
        if {scenario!r} == "kept alive":
            import builtins
            builtins.kept = d   # still referenced when the interpreter tears down

        class Teardown:
            # Runs while the interpreter tears down: lets d go, gives its
            # reader time to leave, then starts one more reader.
            def __init__(self, running):
                self.running = running
                self.spare = ThreadedDispatcher(print)

            def __del__(self):
                self.running = None
                time.sleep(0.5)
                self.spare.setup()

        teardown = Teardown(d)
        del d
        print("exiting")
    """, timeout=30)
    assert out == "exiting\n"


@pytest.mark.timeout(60)
def test_a_subclass_collected_together_with_its_instance():
    threads = settled_threads()
    with unraisable_reports() as reports:
        class Local(ThreadedDispatcher):
            def close(self):
                super().close()

        Local.instance = Local(lambda m: None)   # a cycle through the class itself
        Local.instance.setup()
        del Local
        gc.collect()
    assert reports == []
    assert readers_gone(threads)
