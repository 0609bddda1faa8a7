"""The example producers and the public producer header they are built on."""
import pytest

import producer_cpp
from example_producers import EXAMPLE_PRODUCERS
from orvix.utils.corvane.corvane import ThreadedDispatcher

PRODUCERS = EXAMPLE_PRODUCERS
NOT_A_DISPATCHER = "expected an AsyncDispatcher, SyncDispatcher or ThreadedDispatcher, got {}"


@PRODUCERS
def test_only_dispatchers_are_accepted(producer):
    class Impostor:
        """Claims to be a dispatcher; the record is read through a cast, so its real type decides."""
        __class__ = ThreadedDispatcher

    for obj, type_name in ((object(), "object"), (Impostor(), "Impostor"), (ThreadedDispatcher, "type")):
        with pytest.raises(TypeError) as info:
            producer.start(obj, 1, 8)
        assert str(info.value) == NOT_A_DISPATCHER.format(type_name)
    with pytest.raises(ValueError):
        producer.start(ThreadedDispatcher(print), -1, 8)


@PRODUCERS
@pytest.mark.timeout(60)
def test_join_reports_what_the_ring_stored(producer):
    d = ThreadedDispatcher(print, capacity=4, slot_size=16)   # no reader: the ring fills
    p = producer.start(d, 10, 16)
    assert p.join() == 4   # the rest was refused as full
    assert p.join() == 4   # joining again is harmless
    assert p.elapsed_ns >= 0
    assert producer.start(d, 1, 17).join() == 0   # larger than a slot: refused
    d.close()
    assert producer.start(d, 1, 8).join() == 0    # closed


@PRODUCERS
@pytest.mark.timeout(60)
def test_a_subclass_is_a_dispatcher_too(producer):
    class Sub(ThreadedDispatcher):
        pass

    d = Sub(print)
    assert producer.start(d, 3, 8).join() == 3
    d.close()
