"""The benchmarks' latency histogram: percentiles within its stated error, bad input refused."""
import struct
import time

import pytest

latency_recorder = pytest.importorskip("latency_recorder")


def message(sent_ns):
    return struct.pack("<QQ", 0, sent_ns) + bytes(48)


def test_percentiles_within_a_bucket_and_warm_up_skipped():
    r = latency_recorder.Recorder(skip=5)
    for _ in range(5):
        r(message(0))                        # huge latencies, skipped
    now = time.monotonic_ns()
    for k in range(1, 101):                  # k seconds ago: the call's own delay is noise
        r(memoryview(message(now - k * 10**9)))
    assert (r.seen, r.count) == (105, 100)
    for p, seconds in [(50.0, 50), (99.0, 99), (100.0, 100)]:
        assert r.percentile(p) == pytest.approx(seconds * 1e9, rel=0.01)
    assert r.max == pytest.approx(100e9, rel=1e-3)
    r(message(time.monotonic_ns() + 10**12))  # sent "in the future": counted as 0
    assert r.percentile(0.0) == 0
    r.reset()
    assert (r.seen, r.count, r.max, r.percentile(99.0)) == (0, 0, 0, 0)


def test_a_message_without_a_send_time_is_refused():
    r = latency_recorder.Recorder()
    with pytest.raises(ValueError, match="^a message carries its send time in bytes 8..15$"):
        r(bytes(15))
    with pytest.raises(TypeError):
        r("not a buffer")
    assert r.seen == 0
