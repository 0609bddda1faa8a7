"""mypy --strict accepts the examples and the documentation's code, and reports each planted mistake."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

from doc_blocks import ROOT, python_blocks

MISTAKES = ROOT / "tests" / "typing" / "mistakes.py"

pytestmark = [
    pytest.mark.timeout(600),
    pytest.mark.skipif(bool(os.environ.get("ORVIX_UNDER_SANITIZER")), reason="type checking needs no sanitizer"),
]


def mypy(*paths: pathlib.Path, cwd: pathlib.Path) -> list[str]:
    """mypy's error lines for the files, with the stubs of the source tree."""
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context",
         "--cache-dir", str(ROOT / "build" / "mypy-cache"), *map(str, paths)],
        cwd=cwd, env=dict(os.environ, MYPYPATH=str(ROOT)), capture_output=True, text=True)
    assert run.returncode in (0, 1), run.stderr
    return [line for line in run.stdout.splitlines() if ": error: " in line]


def test_examples_and_documentation_type_check(tmp_path):
    for block in python_blocks():
        (tmp_path / block.file_name).write_text(block.code, encoding="utf-8")
    examples = sorted((ROOT / "examples").glob("*.py"))
    assert mypy(*examples, *sorted(tmp_path.glob("*.py")), cwd=tmp_path) == []


def test_each_planted_mistake_is_reported():
    expected = []
    for number, line in enumerate(MISTAKES.read_text().splitlines(), 1):
        if (mark := re.search(r"  # E: (.*)$", line)):
            expected.append(f"{MISTAKES.name}:{number}: error: {mark.group(1)}")
    assert len(expected) >= 4
    assert mypy(MISTAKES, cwd=MISTAKES.parent) == expected
