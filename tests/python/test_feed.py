"""orvix.feed: the installed native producer, started from Python."""
import asyncio
import gc
import os
import sys
import threading
import time

import pytest

from corvane_helpers import check_python, eventually, native_threads
from orvix.feed import HEADER_SIZE, Feed, parse_header
from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher, ThreadedDispatcher
from socket_dispatcher_support import UNDER_SANITIZER

pytestmark = pytest.mark.timeout(60)

RAMP = bytes(range(256)) * 2


def feed_into(dispatcher_class, count, size, **feed_args):
    """Feeds `count` messages into a fresh, set-up dispatcher; returns the feed and what arrived."""
    messages = []

    def callback(message):
        messages.append(message)
        if len(messages) == count:
            arrived.set()

    if dispatcher_class is AsyncDispatcher:
        async def main():
            async def on_message(message):
                callback(message)
            d = AsyncDispatcher(on_message, capacity=count, slot_size=size)
            d.setup()
            with Feed(d, count=count, size=size, **feed_args) as feed:
                await asyncio.wait_for(arrived.wait(), 30)
            d.close()
            return feed
        arrived = asyncio.Event()
        return asyncio.run(main()), messages

    arrived = threading.Event()
    d = dispatcher_class(callback, capacity=count, slot_size=size)
    d.setup()
    with Feed(d, count=count, size=size, **feed_args) as feed:
        assert arrived.wait(30)
    d.close()
    return feed, messages


@pytest.mark.parametrize("dispatcher_class", [ThreadedDispatcher, SyncDispatcher, AsyncDispatcher])
def test_every_message_arrives_in_order_with_its_header_and_ramp(dispatcher_class):
    count, size = 3000, 40
    before = time.monotonic_ns()
    feed, messages = feed_into(dispatcher_class, count, size, record_results=True)
    after = time.monotonic_ns()
    headers = [parse_header(m) for m in messages]
    assert [seq for seq, _ in headers] == list(range(count))
    sent = [sent_ns for _, sent_ns in headers]
    assert before <= sent[0] and sent == sorted(sent) and sent[-1] <= after
    for seq, m in enumerate(messages):
        start = (seq + HEADER_SIZE) & 0xFF
        assert m[HEADER_SIZE:] == RAMP[start:start + size - HEADER_SIZE], seq
    report = feed.report()
    assert {k: report[k] for k in ("messages", "stored", "failed")} == {
        "messages": count, "stored": count, "failed": 0}
    assert 0 < report["elapsed_ns"] <= after - before
    assert feed.results() == b"\x01" * count


def test_messages_follow_the_rate_schedule():
    rate, count = 2000, 200
    feed, messages = feed_into(ThreadedDispatcher, count, 16, rate=rate)
    sent = [parse_header(m)[1] for m in messages]
    # The schedule is absolute (message i is due at start + i / rate), so a
    # run is never shorter than the schedule, however late any one send was.
    assert sent == sorted(sent)
    assert feed.report()["elapsed_ns"] >= (count - 1) * 1e9 / rate
    assert feed.report()["elapsed_ns"] < 100 * count * 1e9 / rate

    d = ThreadedDispatcher(print, capacity=1 << 12, slot_size=16)   # no reader: nothing is refused
    feed = Feed(d, duration=0.2, rate=1000, size=16)
    feed.start()
    assert feed.join(30)
    report = feed.report()
    assert 0 < report["messages"] <= 201 and report["elapsed_ns"] >= 200_000_000
    d.close()


NOT_A_DISPATCHER = "expected an AsyncDispatcher, SyncDispatcher or ThreadedDispatcher, got "
MAX_SIZE = 2**63 - 256   # the ramp the messages are cut from holds size + 255 bytes
REAL_ALLOCATOR = pytest.mark.skipif(UNDER_SANITIZER, reason="a sanitizer's allocator reports a huge allocation "
                                    "instead of refusing it")


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((object(),), {"count": 1}, TypeError, NOT_A_DISPATCHER + "object"),
    ((ThreadedDispatcher,), {"count": 1}, TypeError, NOT_A_DISPATCHER + "type"),
    (("d",), {}, ValueError, "Feed() needs count, duration or both"),
    (("d",), {"count": -1}, ValueError, "count must not be negative, got -1"),
    (("d",), {"count": 1.5}, TypeError, "count must be an int or None, not float"),
    (("d",), {"duration": -1}, ValueError, "duration must not be negative or NaN, got -1"),
    (("d",), {"duration": "1s"}, TypeError, "duration must be a number or None, not str"),
    (("d",), {"count": 1, "rate": 0}, ValueError, "rate must be positive (None: as fast as possible)"),
    (("d",), {"count": 1, "rate": float("nan")}, ValueError, "rate must not be negative or NaN, got nan"),
    (("d",), {"count": 1, "size": 15}, ValueError, "size must be at least HEADER_SIZE (16), got 15"),
    (("d",), {"count": 1, "on_full": "drop"}, ValueError, "on_full must be 'retry' or 'skip', got 'drop'"),
    (("d", 1), {}, TypeError, "Feed() takes at most 1 positional argument (2 given)"),
    # Sizes no vector can hold, and memory the system refuses: exceptions, never an abort.
    (("d",), {"count": 1, "size": 2**63 - 255}, OverflowError, f"size must be at most {MAX_SIZE}, got {2**63 - 255}"),
    (("d",), {"count": 1, "size": 2**64 - 1}, OverflowError, f"size must be at most {MAX_SIZE}, got {2**64 - 1}"),
    pytest.param(("d",), {"count": 1, "size": 2**63 - 256}, MemoryError,
                 f"cannot allocate a feed of {2**63 - 256}-byte messages", marks=REAL_ALLOCATOR),
    pytest.param(("d",), {"count": 2**62, "record_results": True}, MemoryError,
                 "cannot allocate a feed of 64-byte messages that records a result per message", marks=REAL_ALLOCATOR),
])
def test_bad_arguments_are_refused_with_a_clear_message(args, kwargs, error, message):
    d = ThreadedDispatcher(print)
    with pytest.raises(error) as info:
        Feed(*(d if a == "d" else a for a in args), **kwargs)
    assert str(info.value) == message
    d.close()


def full_ring():
    """A dispatcher without a reader whose ring holds four messages."""
    return ThreadedDispatcher(print, capacity=4, slot_size=16)


def test_on_full_retry_skip_and_failures_are_reported():
    d = full_ring()
    feed = Feed(d, count=10, size=16, record_results=True)
    with pytest.raises(RuntimeError, match="^cannot join a feed before it is started$"):
        feed.join()
    feed.start()
    assert not feed.join(0.05) and feed.running   # the fifth message is retried until stopped
    with pytest.raises(RuntimeError, match="^the feed was already started$"):
        feed.start()
    with pytest.raises(RuntimeError, match="^results\\(\\) is available once the feed has finished$"):
        feed.results()
    feed.stop()
    assert feed.join(10) and not feed.running
    report = feed.report()
    assert (report["messages"], report["stored"], report["failed"]) == (5, 4, 0) and report["refused"] > 0
    assert feed.results() == b"\x01" * 4 + b"\x00"

    feed = Feed(d, count=6, size=16, on_full="skip", record_results=True)
    feed.start()
    assert feed.join(10)
    assert feed.report() | {"elapsed_ns": 0} == {
        "messages": 6, "stored": 0, "refused": 6, "failed": 0, "elapsed_ns": 0}
    assert feed.results() == b"\x00" * 6
    d.close()

    d = ThreadedDispatcher(print, capacity=4, slot_size=16)
    feed = Feed(d, count=3, size=17, record_results=True)   # larger than a slot
    feed.start()
    assert feed.join(10)
    assert (feed.report()["failed"], feed.report()["refused"]) == (3, 0)
    assert all(r >= 128 for r in feed.results())           # negative as signed bytes
    with pytest.raises(RuntimeError, match="record_results=True"):
        Feed(d, count=1).results()
    d.close()


def test_leaving_the_with_block_stops_and_joins_the_feed():
    d = full_ring()
    with Feed(d, duration=600, size=16) as feed:
        assert feed.running
    assert not feed.running and feed.join(0)
    d.close()


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads through /proc")
def test_deallocating_a_running_feed_stops_and_joins_its_thread():
    d = full_ring()
    references, threads = sys.getrefcount(d), native_threads()
    feed = Feed(d, duration=600, size=16)
    feed.start()
    assert native_threads() == threads + 1
    del feed
    # The join returns once the kernel clears the thread's id; its /proc entry
    # goes a moment later, at the end of the kernel's exit path.
    assert eventually(lambda: native_threads() == threads, timeout=5)
    assert sys.getrefcount(d) == references
    d.close()


def test_a_feed_in_a_cycle_with_its_dispatcher_is_collected():
    collected = threading.Event()

    class Callback:
        def __call__(self, message):
            pass

        def __del__(self):
            collected.set()

    callback = Callback()
    callback.feed = Feed(ThreadedDispatcher(callback), count=1)
    del callback
    gc.collect()
    assert collected.is_set()


def test_join_takes_its_timeout_as_threading_does():
    d = full_ring()
    feed = Feed(d, duration=600, size=16)
    feed.start()
    assert feed.join(-1) is False and feed.join(float("-inf")) is False   # a look, no wait
    feed.stop()
    assert feed.join(float("inf"))
    with pytest.raises(ValueError, match="^timeout must be a number of seconds or None, not NaN$"):
        feed.join(float("nan"))
    d.close()


DISPATCHERS = [ThreadedDispatcher, SyncDispatcher, AsyncDispatcher]
ONE_PRODUCER = ("another producer is already pushing into this dispatcher; "
                "a ring takes one producer thread at a time")


@pytest.mark.parametrize("overwrite", [False, True], ids=["refusing", "overwrite"])
@pytest.mark.parametrize("dispatcher_class", DISPATCHERS)
def test_a_ring_takes_one_feed_at_a_time(dispatcher_class, overwrite):
    # Records of 16 and 200 bytes in one variable-size ring: what two feeds
    # pushing at once tore apart. No reader: the ring stays full (or keeps
    # overwriting itself).
    d = dispatcher_class(print, capacity=64, slot_size=256, overwrite=overwrite, variable_size=True)
    first = Feed(d, duration=600, size=16, on_full="skip")
    first.start()
    second = Feed(d, count=1000, size=200, on_full="skip")
    with pytest.raises(RuntimeError) as info:
        second.start()
    assert str(info.value) == ONE_PRODUCER and not second.running
    first.stop()       # on its way out: the next start waits for it to let go
    second.start()
    assert second.join(30) and not first.running
    third = Feed(d, count=10, size=16, on_full="skip")   # after a finished feed
    third.start()
    assert third.join(30)
    reports = [feed.report() for feed in (first, second, third)]
    stats = d.stats()
    assert stats["stored"] == sum(r["stored"] for r in reports)
    assert stats["refused"] == sum(r["refused"] + r["failed"] for r in reports)
    d.close()


# A feed whose thread waits for room in a block_on_full push: the reader's
# callback is slow and needs the interpreter lock back after every message
# (at exit it is in its sleep, as in test_interpreter_exit_with_a_running_reader).
# Its globals are not the script's, so that no cycle keeps the feed from
# being deallocated at exit.
BLOCKED_FEED = """
    import time
    from orvix.feed import Feed
    from orvix.utils.corvane.corvane import ThreadedDispatcher

    slow = eval("lambda message: __import__('time').sleep(0.3)", {{}})
    d = ThreadedDispatcher(slow, capacity=4, slot_size=64, block_on_full=True)
    {reader}
    feed = Feed(d, duration=600, size=16)
    feed.start()
    while d.stats()["pending"] < 4:   # the ring has run full
        time.sleep(0.001)
    {end}
"""


@pytest.mark.parametrize("reader, end", [
    ("d.setup()", "del feed; print('released'); d.close()"),   # deallocated while the reader runs
    ("d.setup()", "print('released')"),                        # the interpreter exits meanwhile
    ("", "print('released')"),                                 # ... with no reader to make room
], ids=["del-reader-running", "exit-reader-running", "exit-no-reader"])
def test_a_feed_waiting_for_room_is_let_go_at_once(reader, end):
    assert check_python(BLOCKED_FEED.format(reader=reader, end=end), timeout=30) == "released\n"
