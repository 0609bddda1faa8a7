"""orvix.utils.teldrin.teldrin: one module object per process, nothing in it, clean load and exit."""
import builtins
import importlib
import sys

import pytest

import orvix.utils.teldrin.teldrin as teldrin
from corvane_helpers import SUBINTERPRETERS, check_python, run_python, script

NAME = "orvix.utils.teldrin.teldrin"
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded "
                      "into one interpreter per process.")


def test_module_has_exactly_its_documented_attributes():
    assert dir(teldrin) == ["__builtins__", "__doc__", "__file__", "__loader__", "__name__",
                            "__package__", "__spec__", "__test__"]
    assert teldrin.__name__ == NAME
    assert teldrin.__doc__ is None
    assert teldrin.__builtins__ is builtins
    assert teldrin.__test__ == {}
    assert teldrin.__loader__ is teldrin.__spec__.loader
    assert teldrin.__file__ == teldrin.__spec__.origin
    assert teldrin.__package__ == "orvix.utils.teldrin"


def test_importing_again_returns_the_same_module():
    assert importlib.import_module(NAME) is teldrin
    del sys.modules[NAME]
    again = importlib.import_module(NAME)
    assert again is teldrin
    assert sys.modules[NAME] is teldrin
    assert importlib.reload(teldrin) is teldrin
    assert teldrin.__test__ == {}


@pytest.mark.timeout(60)
def test_loading_and_exiting_is_clean():
    result = run_python(f"""
        import {NAME} as t
        import {NAME} as again
        assert t is again
        print("loaded")
    """, "-X", "dev", "-W", "error")
    assert (result.returncode, result.stdout, result.stderr) == (0, "loaded\n", "")


@pytest.mark.timeout(60)
def test_a_second_interpreter_cannot_import_it():
    out = check_python(script(SUBINTERPRETERS, f"""
        import {NAME}
        print(run_in_subinterpreter("import {NAME}"))
        print(run_in_subinterpreter("import {NAME}", isolated=True))
    """))
    assert out.splitlines() == [
        f"ImportError: {INTERPRETER_CHANGE}",
        # A per-interpreter-GIL interpreter is turned away by CPython before the module runs.
        f"ImportError: module {NAME} does not support loading in subinterpreters",
    ]
