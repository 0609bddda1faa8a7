"""Deallocation of the three dispatchers runs close() through the class's table."""
import pytest

from orvix.utils.corvane import corvane
from socket_dispatcher_support import close_errors_on_deallocation, collect_torn_down_subclass

MODULE = "orvix.utils.corvane.corvane"
SOCKET_DISPATCHERS = ["AsyncDispatcher", "SyncDispatcher"]


@pytest.mark.parametrize("class_name", SOCKET_DISPATCHERS)
def test_deallocation_calls_the_subclass_close_and_reports_its_error(class_name, monkeypatch):
    reports = close_errors_on_deallocation(getattr(corvane, class_name), monkeypatch)
    assert reports == [(KeyError, f"{MODULE}.{class_name}.__dealloc__")]


@pytest.mark.parametrize("class_name", SOCKET_DISPATCHERS + ["ThreadedDispatcher"])
@pytest.mark.parametrize("scenario", ["cleared class", "cleared mro"])
@pytest.mark.timeout(60)
def test_a_subclass_torn_down_by_the_collector_with_its_instances(class_name, scenario):
    # An instance that dies once the collector has emptied its class (or
    # taken its MRO) runs the class's own close: no crash, nothing reported.
    out = collect_torn_down_subclass(class_name, scenario)
    assert out == ("override True\n" if scenario == "cleared class" else "") + "reports []\n"
