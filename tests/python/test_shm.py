"""Rings in shared memory, attacked across real processes: every consumer kind fed by a
producer process, a producer killed mid-stream, a second producer, bad names, sizes and
headers, and a producer that scribbles over the ring."""
import asyncio
import mmap
import os
import signal
import struct
import subprocess
import sys
import threading
import time
import uuid

import pytest

pytest.importorskip("orvix.shm")

from corvane_helpers import check_python
from orvix.batch import AsyncBatchDispatcher, ThreadedBatchDispatcher
from orvix.feed import Feed, parse_header
from orvix.shm import SharedRing

pytestmark = pytest.mark.timeout(60)

SIZE = 64
MARKER = b"\xff" * SIZE
KINDS = ["threaded", "asyncio", "uvloop"]

# A producer process: `count` messages of SIZE bytes, each its sequence number
# eight times over (so a torn one shows), from `start`; count -1: until killed;
# then the marker. With "feed", orvix.feed.Feed pushes instead.
PRODUCER = r"""
import os, struct, sys
from orvix.shm import SharedRing
name, start, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
producer = SharedRing.attach(name)
def push(message):
    while (r := producer.push(message)) == 0:
        os.sched_yield()
    assert r == 1, r
if sys.argv[4:] == ["feed"]:
    from orvix.feed import Feed
    with Feed(producer, count=count, size=64) as feed:
        feed.join()
    assert feed.report()["failed"] == 0
else:
    i = start
    while count < 0 or i < start + count:
        push(struct.pack("<Q", i) * 8)
        i += 1
push(b"\xff" * 64)
"""


async def ignore(batch):
    pass


def ring_name():
    return f"orvix-test-{os.getpid()}-{uuid.uuid4().hex[:8]}"


def start_producer(name, start=0, count=-1, *extra):
    return subprocess.Popen([sys.executable, "-c", PRODUCER, name, str(start), str(count), *extra])


class Consumer:
    """A batch dispatcher of `kind` on `ring`, collecting messages up to the marker."""

    def __init__(self, kind, ring):
        self.kind, self.ring = kind, ring
        self.messages = []
        self.markers = 0
        self.lock = threading.Condition()

    def take(self, batch):
        with self.lock:
            for m in batch:
                if m == MARKER:
                    self.markers += 1
                else:
                    self.messages.append(bytes(m))
            self.lock.notify_all()

    def wait_for(self, predicate, producer=None, timeout=30):
        """Until `predicate` holds; a producer process that failed ends the wait at once."""
        deadline = time.monotonic() + timeout
        with self.lock:
            while not self.lock.wait_for(predicate, 0.1):
                assert producer is None or producer.poll() in (None, 0), "the producer process failed"
                assert time.monotonic() < deadline, (self.kind, len(self.messages), self.dispatcher.stats())

    def __enter__(self):
        if self.kind == "threaded":
            self.dispatcher = ThreadedBatchDispatcher(self.take, ring=self.ring)
            self.dispatcher.setup()
            return self
        ready = threading.Event()

        def run_loop():
            async def callback(batch):
                self.take(batch)

            async def main():
                self.loop = asyncio.get_running_loop()
                self.dispatcher = AsyncBatchDispatcher(callback, ring=self.ring)
                self.dispatcher.setup()
                self.stop = asyncio.Event()
                ready.set()
                await self.stop.wait()
                self.dispatcher.close()

            if self.kind == "uvloop":
                uvloop = pytest.importorskip("uvloop")
                uvloop.run(main())
            else:
                asyncio.run(main())

        self.thread = threading.Thread(target=run_loop)
        self.thread.start()
        assert ready.wait(10)
        return self

    def __exit__(self, *exc):
        if self.kind == "threaded":
            self.dispatcher.close()
        else:
            self.loop.call_soon_threadsafe(self.stop.set)
            self.thread.join(10)
        self.ring.close()


def sequence(message):
    (first,) = struct.unpack_from("<Q", message)
    assert message == struct.pack("<Q", first) * 8, "a torn message"
    return first


@pytest.mark.parametrize("kind", KINDS)
def test_a_producer_process_feeds_every_consumer_kind(kind):
    count = 20_000
    with Consumer(kind, SharedRing(ring_name(), slot_size=SIZE, capacity=256)) as c:
        producer = start_producer(c.ring.name, 0, count, "feed")
        c.wait_for(lambda: c.markers == 1, producer)
        assert producer.wait(10) == 0
        assert [parse_header(m)[0] for m in c.messages] == list(range(count))
        stats = c.dispatcher.stats()
        assert (stats["stored"], stats["delivered"], stats["producer"]) == (count + 1, count + 1, "detached")


@pytest.mark.parametrize("kind", KINDS)
def test_a_producer_killed_mid_stream_leaves_whole_messages_and_is_reported_gone(kind):
    with Consumer(kind, SharedRing(ring_name(), slot_size=SIZE, capacity=64)) as c:
        producer = start_producer(c.ring.name)
        c.wait_for(lambda: len(c.messages) >= 5000, producer)
        assert c.dispatcher.stats()["producer"] == "attached"
        producer.send_signal(signal.SIGKILL)
        producer.wait(10)
        killed = time.monotonic()
        while c.dispatcher.stats()["producer"] != "gone":
            assert time.monotonic() - killed < 1.0, c.dispatcher.stats()
            time.sleep(0.01)
        # A new producer takes over the ring: what it sends follows what the dead one published.
        successor = start_producer(c.ring.name, 10**9, 100)
        c.wait_for(lambda: c.markers == 1, successor)
        assert successor.wait(10) == 0
        seen = [sequence(m) for m in c.messages]
        died_at = seen.index(10**9)
        assert seen[:died_at] == list(range(died_at))
        assert seen[died_at:] == list(range(10**9, 10**9 + 100))
        assert c.dispatcher.stats()["producer"] == "detached"


def test_one_producer_at_a_time():
    with SharedRing(ring_name(), slot_size=SIZE, capacity=8) as ring:
        first = SharedRing.attach(ring.name)
        with pytest.raises(RuntimeError, match="already has a producer"):
            SharedRing.attach(ring.name)
        # Refused from another process too.
        other = subprocess.run([sys.executable, "-c", "import sys; from orvix.shm import SharedRing; "
                                "SharedRing.attach(sys.argv[1])", ring.name], capture_output=True, text=True)
        assert other.returncode != 0 and "already has a producer" in other.stderr
        first.close()
        assert first.push(b"x") == -2
        second = SharedRing.attach(ring.name.lstrip("/"))
        assert second.push(b"x") == 1
        assert ring.stats()["producer"] == "attached"


def test_a_shared_producer_takes_one_producer_session_at_a_time():
    with SharedRing(ring_name(), slot_size=SIZE, capacity=8, overwrite=True) as ring:
        producer = SharedRing.attach(ring.name)
        first = Feed(producer, count=10**9, duration=20, size=SIZE)
        first.start()
        with pytest.raises(RuntimeError, match="another producer"):
            Feed(producer, count=10, size=SIZE).start()
        first.stop()
        assert first.join(10)
        with Feed(producer, count=10, size=SIZE) as second:   # free again once the first has left
            assert second.join(10)
        assert second.report()["stored"] == 10


def test_closing_a_shared_producer_under_a_feed_answers_closed_and_never_crashes():
    # The feed pushes as fast as it can into an overwriting ring (every push
    # writes the mapping) while close() runs: its pushes answer -2 from then
    # on and the mapping goes once it has stopped pushing.
    out = check_python(f"""
        import time
        from orvix.feed import Feed
        from orvix.shm import SharedRing
        with SharedRing("{ring_name()}", slot_size=64, capacity=64, overwrite=True) as ring:
            for _ in range(20):
                producer = SharedRing.attach(ring.name)
                feed = Feed(producer, count=10**9, duration=0.1, size=64)
                feed.start()
                time.sleep(0.002)
                producer.close()
                assert producer.closed and producer.push(b"x") == -2
                assert feed.join(10)
                assert feed.report()["failed"] > 0, feed.report()
        print("ok")
    """, timeout=60)
    assert out == "ok\n"


def test_closing_the_ring_tells_the_producer_and_removes_the_name():
    ring = SharedRing(ring_name(), slot_size=SIZE, capacity=8)
    assert os.stat(f"/dev/shm{ring.name}").st_mode & 0o777 == 0o600
    producer = SharedRing.attach(ring.name)
    assert producer.push(b"a") == 1 and not producer.closed
    ring.close()
    assert producer.closed and producer.push(b"b") == -2
    with pytest.raises(FileNotFoundError):
        SharedRing.attach(ring.name)
    with SharedRing(ring_name(), slot_size=SIZE, capacity=8, mode=0o640) as shared:
        assert os.stat(f"/dev/shm{shared.name}").st_mode & 0o777 == 0o640


FULL_DEV_SHM = r"""
import errno, os, sys
from orvix.shm import SharedRing
def refused(slot_size, capacity):
    try:
        SharedRing("ring", slot_size=slot_size, capacity=capacity)
    except OSError as e:
        assert e.errno == errno.ENOSPC, e
        assert os.listdir("/dev/shm") == listed, os.listdir("/dev/shm")   # nothing left behind
        return True
    return False
listed = []
assert refused(2048, 16384)                  # 32 MiB on a 1 MiB file system
ring = SharedRing("fits", slot_size=64, capacity=4096)          # 256 KiB: fits
listed = ["fits"]
with open("/dev/shm/filler", "wb", buffering=0) as f:   # the rest of the file system, filled
    try:
        while f.write(b"x" * 4096):
            pass
    except OSError as e:
        assert e.errno == errno.ENOSPC, e
listed = sorted(os.listdir("/dev/shm"))
assert refused(8, 8)                         # even a one-page ring: ENOSPC, not SIGBUS
producer = SharedRing.attach(ring.name)      # every page of the ring is its own already
for i in range(2 * 4096):                    # wraps the whole ring: nothing left to fault
    assert producer.push(b"m" * 64) in (0, 1)
print("ok")
"""


def test_a_full_dev_shm_raises_enospc_and_never_sigbus():
    """A 1 MiB tmpfs mounted over /dev/shm in a mount namespace of the test's own."""
    import shutil

    unshare = shutil.which("unshare")
    if unshare is None or os.geteuid() != 0:
        pytest.skip("needs root and unshare(1) to mount a private tmpfs over /dev/shm")
    probe = subprocess.run([unshare, "-m", "true"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip(f"mount namespaces are not allowed here: {probe.stderr.decode().strip()}")
    run = subprocess.run(
        [unshare, "-m", "sh", "-c", 'mount --make-rprivate / && mount -t tmpfs -o size=1m tmpfs /dev/shm && '
         'exec "$0" -c "$1"', sys.executable, FULL_DEV_SHM], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (0, "ok\n"), run.stderr


@pytest.mark.parametrize("cls", [ThreadedBatchDispatcher, AsyncBatchDispatcher], ids=lambda c: c.__name__)
def test_the_dispatchers_close_closes_its_ring_and_the_name_can_be_made_again(cls):
    ring = SharedRing(ring_name(), slot_size=SIZE, capacity=8)
    producer = SharedRing.attach(ring.name)
    d = cls(ignore, ring=ring)
    if cls is ThreadedBatchDispatcher:
        d.setup()
    d.close()
    assert ring.closed and producer.push(b"x") == -2
    assert not os.path.exists(f"/dev/shm{ring.name}")
    SharedRing(ring.name, slot_size=SIZE, capacity=8).close()


def test_interpreter_exit_closes_a_ring_whose_dispatcher_was_not_closed():
    name = ring_name()
    out = check_python(f"""
        from orvix.batch import ThreadedBatchDispatcher
        from orvix.shm import SharedRing
        ring = SharedRing("{name}", slot_size=64, capacity=8)
        d = ThreadedBatchDispatcher(lambda batch: None, ring=ring)
        d.setup()
        assert SharedRing.attach(ring.name).push(b"x") == 1
        print("exiting")
    """, timeout=30)
    assert out == "exiting\n"
    assert not os.path.exists(f"/dev/shm/{name}")
    SharedRing(name, slot_size=SIZE, capacity=8).close()


@pytest.mark.skipif(bool(os.environ.get("ORVIX_UNDER_TSAN")),
                    reason="ThreadSanitizer does not follow a child that starts threads after a multi-threaded fork")
@pytest.mark.parametrize("cls", ["ThreadedBatchDispatcher", "AsyncBatchDispatcher"])
def test_setup_in_a_forked_child_is_refused_and_the_parent_reads_on(cls):
    out = check_python(f"""
        import asyncio, os, sys, threading
        from orvix.batch import {cls}
        from orvix.shm import SharedRing
        got, arrived = [], threading.Event()
        def take(batch):
            got.extend(batch)
            if got[-1] == b"last":
                arrived.set()
        async def take_async(batch):
            take(batch)
        async def setup(d):
            d.setup()
        ring = SharedRing("{ring_name()}", slot_size=64, capacity=8)
        producer = SharedRing.attach(ring.name)
        threaded = {cls!r} == "ThreadedBatchDispatcher"
        d = {cls}(take if threaded else take_async, ring=ring)
        if threaded:
            d.setup()
        assert producer.push(b"first") == 1
        pid = os.fork()
        if pid == 0:
            try:
                d.setup() if threaded else asyncio.run(setup(d))
                code = 1
            except RuntimeError as e:
                code = 0 if "forked" in str(e) and {cls!r} in str(e) else 2
            sys.stdout.flush()
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        print("child", os.waitstatus_to_exitcode(status))
        assert producer.push(b"last") == 1
        async def main():
            d.setup()
            while not arrived.is_set():
                await asyncio.sleep(0.01)
        if threaded:
            assert arrived.wait(20)
        else:
            asyncio.run(asyncio.wait_for(main(), 20))
        print(got, ring.stats()["producer"])
        d.close()
    """, timeout=60)
    assert out == "child 0\n[b'first', b'last'] attached\n"


@pytest.mark.parametrize("name, message", [
    ("", "non-empty"), ("/", "non-empty"), ("..", "non-empty"), ("a/b", "no '/'"), ("/a/b", "no '/'"),
    ("a\0b", "NUL"), ("x" * 255, "at most 254"),
])
def test_bad_names_are_refused(name, message):
    with pytest.raises(ValueError, match=message):
        SharedRing(name)
    with pytest.raises(ValueError, match=message):
        SharedRing.attach(name)


def test_names_are_str_everywhere_and_sizes_keywords():
    import inspect

    for call in (lambda: SharedRing(b"x"), lambda: SharedRing.attach(b"x"), lambda: SharedRing.unlink(b"x")):
        with pytest.raises(TypeError, match="must be str, not bytes"):
            call()
    with pytest.raises(TypeError, match="positional"):
        SharedRing(ring_name(), 64, 8)
    assert str(inspect.signature(SharedRing)).startswith("(name, *, slot_size=2048, capacity=16384")


@pytest.mark.parametrize("kwargs, message", [
    (dict(slot_size=0), "slot_size must be at least 1"), (dict(capacity=0), "capacity must be at least 1"),
    (dict(slot_size=-5), "slot_size must be at least 1"),
    (dict(slot_size=1 << 40, capacity=1 << 40), "too large"), (dict(mode=0o1000), "mode"),
])
def test_bad_sizes_are_refused(kwargs, message):
    name = ring_name()
    with pytest.raises(ValueError, match=message):
        SharedRing(name, **kwargs)
    assert not os.path.exists(f"/dev/shm/{name}")


def test_a_taken_name_a_missing_ring_and_garbage_are_refused():
    with SharedRing(ring_name(), slot_size=SIZE, capacity=8) as ring:
        with pytest.raises(FileExistsError):
            SharedRing(ring.name)
        first = ThreadedBatchDispatcher(print, ring=ring)
        with pytest.raises(ValueError, match="consumed by another"):
            ThreadedBatchDispatcher(print, ring=ring)
        first.close()
        with pytest.raises(ValueError, match="is closed"):
            ThreadedBatchDispatcher(print, ring=ring)
    with pytest.raises(FileNotFoundError):
        SharedRing.attach(ring_name())
    with pytest.raises(TypeError, match="SharedRing"):
        AsyncBatchDispatcher(ignore, ring=object())
    name = ring_name()
    path = f"/dev/shm/{name}"
    try:
        for garbage in (b"", b"x" * 100, os.urandom(8192)):
            with open(path, "wb") as f:
                f.write(garbage)
            with pytest.raises(ValueError, match="not a shared ring"):
                SharedRing.attach(name)
        with SharedRing(ring_name(), slot_size=SIZE, capacity=8) as ring:   # a real header, then one field changed
            with open(f"/dev/shm{ring.name}", "rb") as f:
                header = bytearray(f.read())
        struct.pack_into("<Q", header, 16, 4096)   # slot_size no longer matches the layout
        with open(path, "wb") as f:
            f.write(header)
        with pytest.raises(ValueError, match="damaged header"):
            SharedRing.attach(name)
    finally:
        os.unlink(path)


# The shared words, as offsets in the mapping (orvix/shm/shm_layout.h).
TAIL, HEAD, CONSUMER_SLEEPING, CLOSED, MODE = 512, 512 + 128, 512 + 256, 512 + 384, 512 + 388
LAYOUTS = {"fixed": {}, "variable": {"variable_size": True}, "overwrite": {"overwrite": True}}


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")   # the reader's error, reported
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("scribble", ["tail", "closed", "mode", "head"])
def test_a_producer_that_scribbles_can_at_worst_make_the_ring_corrupt(kind, layout, scribble):
    """A producer writes shared words it does not own (or one past the layout). The consumer
    keeps its cursor, closed flag and mode in its own memory: the ring goes on (a later
    message arrives) or is "corrupt", the reader stopped with an error; it never spins, and
    never stalls silently."""
    with Consumer(kind, SharedRing(ring_name(), slot_size=SIZE, capacity=8, **LAYOUTS[layout])) as c:
        producer = SharedRing.attach(c.ring.name)
        assert producer.push(struct.pack("<Q", 1) * 8) == 1
        c.wait_for(lambda: len(c.messages) == 1)
        with open(f"/dev/shm{c.ring.name}", "r+b") as f, mmap.mmap(f.fileno(), 0) as shared:
            if scribble == "tail":
                struct.pack_into("<Q", shared, TAIL, 1 << 63)   # far past one ring
            elif scribble == "head":
                struct.pack_into("<Q", shared, HEAD, 1 << 40)   # left there
            else:   # written, and put back after a while (the reader polls every 250 ms)
                offset = CLOSED if scribble == "closed" else MODE
                (old,) = struct.unpack_from("<I", shared, offset)
                struct.pack_into("<I", shared, offset, 1 if scribble == "closed" else 3 - old)
                time.sleep(0.6)
                struct.pack_into("<I", shared, offset, old)
            struct.pack_into("<I", shared, CONSUMER_SLEEPING, 0)
        # Idle now: neither the reader nor its waker (which polls every 250 ms) may spin.
        time.sleep(0.3)
        cpu = time.process_time()
        time.sleep(0.3)
        assert time.process_time() - cpu < 0.1, "the consumer spins on an idle ring"
        corrupt = scribble == "tail" or (scribble == "head" and layout == "overwrite")
        if corrupt:
            deadline = time.monotonic() + 5
            while (stats := c.dispatcher.stats())["reader"] != "stopped":
                assert time.monotonic() < deadline, stats
                time.sleep(0.02)
            assert stats["producer"] == "corrupt" and "corrupt" in str(stats["error"]), stats
        else:
            assert producer.push(MARKER) == 1
            c.wait_for(lambda: c.markers == 1)
            stats = c.dispatcher.stats()
            assert (stats["producer"], stats["reader"], stats["delivered"]) == ("attached", "running", 2), stats
        producer.close()


@pytest.mark.timeout(180)
def test_the_guides_two_process_example_runs_with_its_c_producer(tmp_path):
    import re
    import shutil

    import orvix
    from doc_blocks import ROOT

    page = (ROOT / "docs" / "guide" / "shm.md").read_text(encoding="utf-8")
    (c_source,) = re.findall(r"^```c\n(.*?)^```$", page, re.MULTILINE | re.DOTALL)
    (consumer,) = re.findall(r"^```python\n(.*?)^```$", page, re.MULTILINE | re.DOTALL)
    compiler = os.environ.get("CC") or shutil.which("cc")
    assert compiler, "no C compiler to build the guide's producer"
    (tmp_path / "producer.c").write_text(c_source)
    (tmp_path / "consumer.py").write_text(consumer)
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    build = subprocess.run([compiler, "-O2", "-Wall", "-Werror", f"-I{orvix.get_include()}", "producer.c",
                            "-o", "producer"], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert build.returncode == 0, build.stderr
    run = subprocess.run([sys.executable, "-W", "error", "consumer.py", str(tmp_path / "producer")], cwd=tmp_path,
                         capture_output=True, text=True, timeout=90)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "'producer': 'detached'" in run.stdout


# A C producer whose forked child detaches: only the parent's detach gives the ring back.
FORKED_C_PRODUCER = r"""
#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include "orvix/shm/producer.h"

int main(int argc, char **argv) {
    OrvixShmProducer p, other;
    int status = -1;
    pid_t child;
    if (argc != 2 || orvix_shm_attach(&p, argv[1]) != 0) return 1;
    child = fork();
    if (child == 0) {
        orvix_shm_detach(&p);
        _exit(0);
    }
    if (child < 0 || waitpid(child, &status, 0) != child || status != 0) return 2;
    if (orvix_shm_attach(&other, argv[1]) == 0 || errno != EBUSY) return 3;
    if (((OrvixShmHeader *)p.base)->producer_state != ORVIX_SHM_PRODUCER_ATTACHED) return 4;
    if (orvix_shm_push(&p, "x", 1) != 1) return 5;
    orvix_shm_detach(&p);
    return 0;
}
"""


@pytest.mark.timeout(180)
def test_the_c_producer_header_builds_in_every_dialect_and_a_forked_childs_detach_only_unmaps(tmp_path):
    import re
    import shutil

    import orvix
    from doc_blocks import ROOT

    page = (ROOT / "docs" / "guide" / "shm.md").read_text(encoding="utf-8")
    (guide_producer,) = re.findall(r"^```c\n(.*?)^```$", page, re.MULTILINE | re.DOTALL)
    (tmp_path / "guide.c").write_text(guide_producer)
    (tmp_path / "forked.c").write_text(FORKED_C_PRODUCER)
    cc, cxx = os.environ.get("CC") or shutil.which("cc"), os.environ.get("CXX") or shutil.which("c++")
    assert cc and cxx, "no C and C++ compilers to build the producers"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    strict = ["-Wall", "-Wextra", "-pedantic", "-Werror", f"-I{orvix.get_include()}"]
    for compiler, dialect in [(cc, "-std=c11"), (cc, "-std=c17"), (cxx, "-std=c++17")]:
        language = ["-x", "c++"] if compiler == cxx else []
        build = subprocess.run([compiler, dialect, *strict, *language, "guide.c", "-o", "guide"], cwd=tmp_path,
                               env=env, capture_output=True, text=True, timeout=120)
        assert build.returncode == 0, (dialect, build.stderr)
    build = subprocess.run([cc, "-O2", *strict, "forked.c", "-o", "forked"], cwd=tmp_path, env=env,
                           capture_output=True, text=True, timeout=120)
    assert build.returncode == 0, build.stderr
    with SharedRing(ring_name(), slot_size=SIZE, capacity=8) as ring:
        run = subprocess.run([str(tmp_path / "forked"), ring.name], env=env, timeout=30)
        assert run.returncode == 0
        assert ring.stats()["stored"] == 1 and ring.producer == "detached"


def test_a_forked_child_letting_go_of_its_copies_leaves_the_ring_to_the_parent():
    with SharedRing(ring_name(), slot_size=SIZE, capacity=8) as ring:
        producer = SharedRing.attach(ring.name)
        child = os.fork()
        if child == 0:   # the child drops its copies of both sides, as at its exit
            try:
                del ring, producer
                import gc
                gc.collect()
            finally:
                os._exit(0)
        assert os.waitpid(child, 0)[1] == 0
        assert not ring.closed and ring.producer == "attached"
        assert producer.push(b"still open") == 1
        assert os.path.exists(f"/dev/shm{ring.name}")
        with pytest.raises(RuntimeError, match="already has a producer"):
            SharedRing.attach(ring.name)


@pytest.fixture(scope="module")
def c_producer(tmp_path_factory):
    """tests/cpp/shm_producer_process.c, a producer on the public C header alone, built with the shipped header."""
    import shutil

    import orvix
    from doc_blocks import ROOT

    compiler = os.environ.get("CC") or shutil.which("cc")
    if not compiler:
        pytest.skip("no C compiler to build the C producer")
    program = tmp_path_factory.mktemp("c_producer") / "shm_producer_process"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    build = subprocess.run([compiler, "-O2", "-Wall", "-Werror", f"-I{orvix.get_include()}",
                            str(ROOT / "tests" / "cpp" / "shm_producer_process.c"), "-o", str(program)],
                           env=env, capture_output=True, text=True, timeout=120)
    assert build.returncode == 0, build.stderr
    return program


@pytest.mark.parametrize("variable_size", [False, True], ids=["fixed", "variable"])
def test_a_c_producer_process_overwrites_only_whole_oldest_messages(c_producer, variable_size):
    count = 30_000
    seen, last, producer_done = [], threading.Event(), threading.Event()

    def take(batch):
        producer_done.wait(60)   # the reader holds back while the producer laps the ring
        for m in batch:
            (n,) = struct.unpack_from("<Q", m)
            assert len(m) == 8 + n % 57 and m[8:] == bytes((n + i) & 0xFF for i in range(8, len(m))), "torn"
            seen.append(n)
            if n == count - 1:
                last.set()

    ring = SharedRing(ring_name(), slot_size=SIZE, capacity=16, variable_size=variable_size, overwrite=True)
    dispatcher = ThreadedBatchDispatcher(take, ring=ring)
    dispatcher.setup()
    try:
        producer = subprocess.run([str(c_producer), ring.name, str(count)], timeout=30)
        assert producer.returncode == 0
        producer_done.set()
        assert last.wait(30), dispatcher.stats()   # the newest message is never overwritten
    finally:
        producer_done.set()
        dispatcher.close()
        ring.close()
    stats = dispatcher.stats()
    assert seen == sorted(set(seen)), "reordered or repeated"
    assert stats["stored"] == count and stats["refused"] == 0
    assert stats["delivered"] == len(seen) and stats["dropped"] == count - len(seen) > 0
