"""The socket dispatchers' wake-up under faults: failed sends, a close() whose datagram is lost, fork."""
import os
import sys
import textwrap

import pytest

import dispatcher_probe
from corvane_helpers import run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="LD_PRELOAD and fork: Linux")

FAILING_SENDTO = os.path.join(os.path.dirname(dispatcher_probe.__file__), "failing_sendto.so")


def run_with_failing_sends(code, every, timeout):
    """Runs `code` in a fresh interpreter in which every `every`-th one-byte sendto fails with ENOBUFS."""
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), FAILING_SENDTO]))
    return run_python(code, timeout=timeout, env={"LD_PRELOAD": preload, "ORVIX_FAILING_SENDTO_EVERY": str(every)})


# Bursts with pauses between them, so that the reader falls asleep before
# most bursts and a wake-up is sent for each; the script prints whether
# every message arrived, in order, and whether any send failed.
BURSTS = textwrap.dedent("""
    import asyncio, struct, sys, time
    import dispatcher_probe
    from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher
    got = []

    def report(d, total):
        numbers = [struct.unpack("<Q", m)[0] for m in got]
        print(numbers == list(range(total)), d.stats().get("wakeups_failed", 0) > 0)
        print(len(got), "of", total, file=sys.stderr)

    def settled(total, deadline):
        return len(got) >= total or time.monotonic() > deadline

    if CLS == "SyncDispatcher":
        d = SyncDispatcher(got.append, capacity=1 << 16, slot_size=8, variable_size=VARIABLE)
        d.setup()
        total = dispatcher_probe.push_bursts(d, 300, 4, 300)
        deadline = time.monotonic() + 20
        while not settled(total, deadline):
            time.sleep(0.005)
        report(d, total)
        d.close()
    else:
        async def main():
            async def on_message(m):
                got.append(m)
            d = AsyncDispatcher(on_message, capacity=1 << 16, slot_size=8, variable_size=VARIABLE)
            d.setup()
            total = await asyncio.to_thread(dispatcher_probe.push_bursts, d, 300, 4, 300)
            deadline = time.monotonic() + 20
            while not settled(total, deadline):
                await asyncio.sleep(0.005)
            report(d, total)
            d.close()
        asyncio.run(main())
""")


@pytest.mark.timeout(120)
@pytest.mark.parametrize("variable", [False, True], ids=["fixed", "variable"])
@pytest.mark.parametrize("cls", ["SyncDispatcher", "AsyncDispatcher"])
def test_a_failed_wakeup_send_delays_no_message_and_is_counted(cls, variable):
    result = run_with_failing_sends(f"CLS, VARIABLE = {cls!r}, {variable}\n" + BURSTS, every=7, timeout=90)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True True\n", result.stderr


@pytest.mark.timeout(60)
def test_close_ends_a_sleeping_reader_though_every_datagram_is_lost():
    # The reader sleeps in its receive; close() must reach it without a
    # datagram, or the non-daemon reader keeps the interpreter from exiting.
    result = run_with_failing_sends("""
        import time
        from orvix.utils.corvane.corvane import SyncDispatcher
        d = SyncDispatcher(print, daemon=False)
        d.setup()
        time.sleep(0.2)
        d.close()
        print(d.stats()["reader"])
    """, every=1, timeout=30)
    assert (result.returncode, result.stdout) == (0, "closed\n"), result.stderr


# A producer keeps the reader falling asleep and being woken, so many forks
# (from a thread of their own, while the reader runs) land while a wake-up
# is being sent; each child closes its copy of the dispatcher at once and
# must finish.
FORKS = textwrap.dedent("""
    import asyncio, os, signal, threading, time, warnings
    import dispatcher_probe
    from orvix.utils.corvane.corvane import AsyncDispatcher, SyncDispatcher
    warnings.simplefilter("ignore", DeprecationWarning)   # fork with threads running

    def fork_and_close(d, forks=300, limit=3.0):
        hung = 0
        for _ in range(forks):
            pid = os.fork()
            if pid == 0:
                d.close()
                os._exit(0)
            deadline = time.monotonic() + limit
            while not os.waitpid(pid, os.WNOHANG)[0]:
                if time.monotonic() > deadline:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    hung += 1
                    break
                time.sleep(0.001)
        return hung

    def produce(d, stop):
        while not stop.is_set():
            dispatcher_probe.push_bursts(d, 20, 2, 5)

    async def on_message(m):
        pass

    async def run(d):
        d.setup()
        stop = threading.Event()
        producer = threading.Thread(target=produce, args=(d, stop))
        producer.start()
        hung = await asyncio.to_thread(fork_and_close, d)
        stop.set()
        await asyncio.to_thread(producer.join)
        d.close()
        return hung

    if CLS == "SyncDispatcher":
        d = SyncDispatcher(lambda m: None, capacity=1 << 12, slot_size=8)
        hung = asyncio.run(run(d))      # the loop only waits; the reader is a thread
    else:
        hung = asyncio.run(run(AsyncDispatcher(on_message, capacity=1 << 12, slot_size=8)))
    print("hung", hung)
""")


@pytest.mark.timeout(300)
@pytest.mark.parametrize("cls", ["SyncDispatcher", "AsyncDispatcher"])
def test_a_child_forked_during_a_wakeup_send_closes_without_waiting(cls):
    result = run_python(f"CLS = {cls!r}\n" + FORKS, timeout=240)
    assert (result.returncode, result.stdout) == (0, "hung 0\n"), result.stderr
