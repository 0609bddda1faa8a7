"""The module frame shared by teldrin and corvane, driven through the test module
module_frame_probe (tests/ext), whose exec step can be made to fail by hooks."""
import importlib.util
import sys
import types
import warnings

import pytest

import module_frame_probe as probe
from corvane_helpers import SUBINTERPRETERS, check_python, script


def run_python(*parts):
    """The lines a fresh interpreter prints running the joined code parts."""
    return check_python(script(*parts)).splitlines()


HOOKS = """
    import sys, traceback, types
    hook = types.ModuleType("module_frame_probe_hook")
    sys.modules["module_frame_probe_hook"] = hook
    failed = []
    def fail(module):
        failed.append(module)
        raise ValueError("hook failed")
    def entries(error):
        return [f"{frame.name} @ {frame.filename}" for frame in traceback.extract_tb(error.__traceback__)]
"""


@pytest.mark.timeout(60)
def test_a_late_failure_gets_an_init_entry_and_the_next_import_runs_exec_again():
    out = run_python(HOOKS, """
    hook.late = fail
    try:
        import module_frame_probe
    except ValueError as error:
        print(entries(error)[-2:])
    print("module_frame_probe" in sys.modules)
    del hook.late
    import module_frame_probe
    state = module_frame_probe.state()
    print(state["module"] is module_frame_probe, module_frame_probe is not failed[0], state["exec_runs"])
    """)
    assert out == ["['init module_frame_probe @ module_frame_probe', 'fail @ <string>']", "False", "True True 2"]


@pytest.mark.timeout(60)
def test_an_early_failure_has_no_init_entry_and_is_retried_too():
    out = run_python(HOOKS, """
    hook.early = fail
    for attempt in range(2):
        try:
            import module_frame_probe
        except ValueError as error:
            print(any(entry.startswith("init") for entry in entries(error)))
    del hook.early
    import module_frame_probe
    print(module_frame_probe.state()["exec_runs"])
    """)
    assert out == ["False", "False", "3"]


@pytest.mark.timeout(60)
def test_exec_puts_the_module_into_sys_modules_if_the_loader_did_not():
    out = run_python("""
    import importlib.util, sys
    spec = importlib.util.find_spec("module_frame_probe")
    module = importlib.util.module_from_spec(spec)
    print("module_frame_probe" in sys.modules)
    spec.loader.exec_module(module)
    print(sys.modules["module_frame_probe"] is module)
    """)
    assert out == ["False", "True"]


INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded "
                      "into one interpreter per process.")


# The module's state lives as long as the process, which only the main
# interpreter does: a sub-interpreter is turned away even when it comes
# first, so that none can take the module with it when it is destroyed.
@pytest.mark.timeout(60)
@pytest.mark.parametrize("name", ["orvix.utils.teldrin.teldrin", "orvix.utils.corvane.corvane"])
def test_only_the_main_interpreter_loads_the_module(name):
    out = run_python(SUBINTERPRETERS, f"""
    def import_in_a_sub_interpreter():
        print(run_in_subinterpreter("import {name}") or "imported")
    import_in_a_sub_interpreter()
    import {name}
    print("main imported")
    import_in_a_sub_interpreter()
    """)
    assert out == [f"ImportError: module {name} can only be loaded into the main interpreter",
                   "main imported", f"ImportError: {INTERPRETER_CHANGE}"]


def test_a_second_import_gives_the_held_module_and_skips_exec():
    runs = probe.state()["exec_runs"]
    del sys.modules["module_frame_probe"]
    spec = importlib.util.find_spec("module_frame_probe")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is probe
    assert probe.state()["exec_runs"] == runs
    assert probe.exec_other(probe) == "already_executed"


def test_another_module_object_is_refused_and_the_state_kept():
    with pytest.raises(RuntimeError) as info:
        probe.exec_other(types.ModuleType("module_frame_probe"))
    assert str(info.value) == ("Module 'module_frame_probe' has already been imported. "
                               "Re-initialisation is not supported.")
    assert probe.state()["module"] is probe


def test_state_records_this_interpreter():
    namespace = {}
    exec(SUBINTERPRETERS, namespace)
    assert probe.state()["interpreter_id"] == namespace["current_interpreter_id"]()
    assert probe.state()["short_name"] == "module_frame_probe"


class Spec:
    name = "pkg.mod"
    loader = object()
    origin = "/somewhere/mod.so"
    parent = "pkg"
    submodule_search_locations = ["/somewhere"]


def test_create_copies_the_spec_attributes():
    module = probe.create_fresh(Spec())
    assert module.__name__ == "pkg.mod"
    assert (module.__loader__, module.__file__, module.__package__, module.__path__) == (
        Spec.loader, Spec.origin, "pkg", ["/somewhere"])


def test_create_skips_a_path_of_none_and_missing_spec_attributes():
    class NotAPackage(Spec):
        submodule_search_locations = None

    assert not hasattr(probe.create_fresh(NotAPackage()), "__path__")
    module = probe.create_fresh(types.SimpleNamespace(name="bare"))
    assert module.__name__ == "bare"
    assert module.__loader__ is None and module.__package__ is None
    assert not hasattr(module, "__file__") and not hasattr(module, "__path__")


def test_create_fails_on_other_spec_errors():
    class Broken(Spec):
        @property
        def parent(self):
            raise KeyError("parent")

    with pytest.raises(KeyError):
        probe.create_fresh(Broken())
    with pytest.raises(AttributeError):
        probe.create_fresh(object())  # no name: nothing to call the module


# Each build targets one version: the one running these tests.
def test_version_check_warns_only_on_another_runtime():
    major, minor = sys.version_info[:2]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        probe.warn_version(major, minor)
        with pytest.raises(RuntimeWarning) as info:
            probe.warn_version(major, minor + 1)
    assert str(info.value) == (f"compile time Python version {major}.{minor} of module 'module_frame_probe' "
                               f"does not match runtime version {major}.{minor + 1}")
    with pytest.warns(RuntimeWarning, match="runtime version 4.0"):
        probe.warn_version(4, 0)
