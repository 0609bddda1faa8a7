"""The example producers and the public producer header they are built on."""
import pytest

import producer_cpp
from corvane_helpers import eventually
from example_producers import EXAMPLE_PRODUCERS
from orvix.batch import _batch
from orvix.utils.corvane.corvane import SyncDispatcher, ThreadedDispatcher

PRODUCERS = EXAMPLE_PRODUCERS
NOT_A_DISPATCHER = "expected an AsyncDispatcher, SyncDispatcher or ThreadedDispatcher, got {}"


@PRODUCERS
def test_only_dispatchers_are_accepted(producer, monkeypatch):
    class Impostor:
        """Claims to be a dispatcher; the record is read through a cast, so its real type decides."""
        __class__ = ThreadedDispatcher

    mark = ThreadedDispatcher.__dict__["_orvix_producer_mark"]

    class Copied:
        """Carries a genuine mark, but no dispatcher's record."""
        _orvix_producer_mark = mark

    class Shadowed(ThreadedDispatcher):
        """A Python class's own mark is never believed, whatever its bases."""
        _orvix_producer_mark = SyncDispatcher.__dict__["_orvix_producer_mark"]

    class ThreadedBatchDispatcher:
        """Only the name of a dispatcher, even in the dispatcher's module."""

    monkeypatch.setattr(_batch, "ThreadedBatchDispatcher", ThreadedBatchDispatcher)
    for obj, type_name in ((object(), "object"), (Impostor(), "Impostor"), (ThreadedDispatcher, "type"),
                           (Copied(), "Copied"), (Shadowed(print), "Shadowed"),
                           (ThreadedBatchDispatcher(), "ThreadedBatchDispatcher")):
        with pytest.raises(TypeError) as info:
            producer.start(obj, 1, 8)
        assert str(info.value) == NOT_A_DISPATCHER.format(type_name)
    with pytest.raises(ValueError):
        producer.start(ThreadedDispatcher(print), -1, 8)


@PRODUCERS
@pytest.mark.timeout(60)
def test_a_refused_push_is_retried_until_stored(producer):
    received = []
    d = ThreadedDispatcher(received.append, capacity=4, slot_size=16)
    d.setup()
    p = producer.start(d, 1000, 16)   # far faster than the reader: the small ring refuses often
    assert p.join() == 1000
    assert (p.given_up, p.refused) == (0, d.stats()["refused"])
    assert p.refused > 0
    assert eventually(lambda: len(received) == 1000)
    assert [int.from_bytes(m[:8], "little") for m in received] == list(range(1000))
    d.close()


@PRODUCERS
@pytest.mark.timeout(60)
def test_join_reports_what_the_ring_stored_and_what_was_given_up(producer):
    d = ThreadedDispatcher(print, capacity=4, slot_size=16)   # no reader: the ring fills
    assert producer.start(d, 0, 16).given_up is None           # not known before join()
    p = producer.start(d, 10, 16, patience=0.05)
    assert p.join() == 4   # the fifth is retried for 50 ms, the rest tried once each
    assert p.join() == 4   # joining again is harmless
    assert p.given_up == 6 and p.refused > 6 and p.elapsed_ns >= 0
    p = producer.start(d, 3, 17)   # larger than a slot: never storable, the run ends
    assert (p.join(), p.given_up, p.refused) == (0, 3, 0)
    d.close()
    p = producer.start(d, 2, 8)    # closed
    assert (p.join(), p.given_up) == (0, 2)
    with pytest.raises(ValueError, match="patience"):
        producer.start(d, 1, 8, patience=float("nan"))


@PRODUCERS
@pytest.mark.timeout(60)
def test_a_subclass_is_a_dispatcher_too(producer):
    class Sub(ThreadedDispatcher):
        pass

    d = Sub(print)
    assert producer.start(d, 3, 8).join() == 3
    d.close()
