"""What close(), a forgotten close, interpreter exit and a fork leave behind."""
import os
import struct
import threading
import time

import pytest

import producer_cpp
from corvane_helpers import check_python, eventually, native_threads
from orvix.utils.corvane.corvane import SyncDispatcher, ThreadedDispatcher

SIZES = pytest.mark.parametrize("variable", [False, True], ids=["fixed", "variable"])


def numbers(messages):
    return [struct.unpack_from("<Q", m)[0] for m in messages]


@pytest.mark.parametrize("cls", [SyncDispatcher, ThreadedDispatcher])
@SIZES
@pytest.mark.timeout(60)
def test_close_delivers_what_is_queued_then_the_reader_leaves(cls, variable):
    count = 200
    received, entered, release, all_in = [], threading.Event(), threading.Event(), threading.Event()

    def callback(message):
        received.append(message)
        entered.set()
        release.wait(30)     # the first message holds the reader while the rest queue up
        if len(received) == count:
            all_in.set()

    threads = native_threads()
    d = cls(callback, capacity=1 << 14, slot_size=64, variable_size=variable)
    d.setup()
    assert producer_cpp.start(d, count, 16).join() == count
    assert entered.wait(30)
    d.close()
    release.set()
    assert all_in.wait(20), f"{len(received)} of {count} delivered"
    assert numbers(received) == list(range(count))
    assert eventually(lambda: native_threads() <= threads)   # the reader has left


@SIZES
def test_an_unclosed_sync_dispatcher_is_stopped_at_interpreter_exit(variable):
    # Without the stop the non-daemon reader keeps the interpreter waiting
    # for ever; with it, what was queued is delivered first (atexit handlers
    # run after the interpreter has joined its threads).
    out = check_python(f"""
        import atexit, time
        import producer_cpp
        from orvix.utils.corvane.corvane import SyncDispatcher
        delivered = []
        def callback(message):
            delivered.append(message)
            time.sleep(0.001)
        d = SyncDispatcher(callback, variable_size={variable})
        d.setup()
        assert producer_cpp.start(d, 300, 16).join() == 300
        atexit.register(lambda: print("delivered", len(delivered)))
    """, timeout=30)
    assert out == "delivered 300\n"


@pytest.mark.parametrize("loop", ["asyncio", "uvloop"])
def test_an_async_dispatcher_collected_as_its_loop_ends_is_quiet(loop):
    # The collector may clear the reader task before it reaches the
    # dispatcher, whose deallocation then closes a cleared task.
    out = check_python(f"""
        import asyncio, gc, sys
        from orvix.utils.corvane.corvane import AsyncDispatcher
        reports = []
        sys.unraisablehook = lambda u: reports.append((u.exc_type.__name__, str(u.exc_value), u.object))
        async def callback(message):
            pass
        async def main():
            for _ in range(20):
                AsyncDispatcher(callback).setup()
            await asyncio.sleep(0)
        for _ in range(5):
            if "{loop}" == "uvloop":
                import uvloop
                uvloop.run(main())
            else:
                asyncio.run(main())
            gc.collect()
        print("reports", reports)
    """, "-X", "dev", timeout=60)
    assert out == "reports []\n"


@pytest.mark.parametrize("cls", ["SyncDispatcher", "AsyncDispatcher"])
def test_a_dispatcher_leaves_no_socket_open_for_the_collector(cls):
    # Closed while its callback holds it in a cycle (only the collector frees
    # it, and runs the socket's finalizer first), or its setup refused: the
    # socket is closed either way, never found open by the collector.
    out = check_python(f"""
        import asyncio, gc, sys, threading
        from orvix.utils.corvane.corvane import {cls}
        reports = []
        sys.unraisablehook = lambda u: reports.append(repr(u.exc_value))
        class Owner:
            pass
        def set_up_and_close():
            owner = Owner()
            owner.d = {cls}(lambda m, owner=owner: None)
            owner.d.setup()
            return owner.d
        def refused():
            try:
                {cls}(print).setup(None)      # bind refuses the host
            except TypeError:
                pass
        async def on_loop():
            d = set_up_and_close()
            await asyncio.sleep(0)
            d.close()
            refused()
        for _ in range(3):
            if "{cls}" == "AsyncDispatcher":
                asyncio.run(on_loop())
            else:
                set_up_and_close().close()
                for t in threading.enumerate():
                    if t is not threading.main_thread():
                        t.join(10)
                refused()
            gc.collect()
        print("reports", reports)
    """, "-X", "dev", "-W", "error::ResourceWarning", timeout=60)
    assert out == "reports []\n"


@pytest.mark.skipif(bool(os.environ.get("ORVIX_UNDER_TSAN")),
                    reason="ThreadSanitizer does not follow a child that starts threads after a multi-threaded fork")
@SIZES
def test_a_forked_child_starts_its_own_threaded_reader(variable):
    # The fork lands while the parent's callback is busy with message 0 of
    # three: that message is the parent's; the child delivers 1 and 2 once
    # it has a reader of its own, then what it pushes itself.
    out = check_python(f"""
        import os, struct, sys, threading, time, traceback, warnings
        import producer_cpp
        from orvix.utils.corvane.corvane import ThreadedDispatcher
        warnings.simplefilter("ignore", DeprecationWarning)   # fork with threads running
        got, entered, release = [], threading.Event(), threading.Event()
        def callback(message):
            got.append(struct.unpack_from("<Q", message)[0])
            if len(got) == 1 and not release.is_set():
                entered.set()
                release.wait(20)
        def delivered(expected):
            for _ in range(2000):
                if len(got) >= len(expected):
                    break
                time.sleep(0.005)
            assert got == expected, got
        def deliver(d, count):
            got.clear()
            assert producer_cpp.start(d, count, 16).join() == count
            delivered(list(range(count)))
        d = ThreadedDispatcher(callback, variable_size={variable})
        d.setup()
        assert producer_cpp.start(d, 3, 16).join() == 3
        assert entered.wait(20)
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                release.set()
                got.clear()
                d.setup()          # the child has no reader until it starts one
                delivered([1, 2])
                deliver(d, 5)
                d.close()
                code = 0
            except BaseException:
                traceback.print_exc()
            finally:
                sys.stdout.flush(); sys.stderr.flush()
                os._exit(code)
        release.set()
        delivered([0, 1, 2])       # the parent's reader is untouched
        _, status = os.waitpid(pid, 0)
        deliver(d, 4)
        d.close()
        print("child", os.waitstatus_to_exitcode(status))
    """, timeout=60)
    assert out == "child 0\n"
