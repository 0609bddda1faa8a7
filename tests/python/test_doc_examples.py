"""Every ```python block of the README and the documentation runs as written against the built package."""
import os
import subprocess
import sys

import pytest

from doc_blocks import python_blocks

BLOCKS = python_blocks()


@pytest.mark.timeout(90)
@pytest.mark.parametrize("block", BLOCKS, ids=[b.name for b in BLOCKS])
def test_block_runs(block, tmp_path):
    script = tmp_path / block.file_name
    script.write_text(block.code, encoding="utf-8")
    # The block runs in its own interpreter, from an empty folder, seeing only
    # the package under test (PYTHONPATH as given to this test run).
    run = subprocess.run([sys.executable, "-W", "error", str(script)], cwd=tmp_path,
                         env=dict(os.environ, PYTHONSAFEPATH="1"),
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, f"{block.name} failed:\n{run.stdout}\n{run.stderr}"


def test_documentation_has_python_blocks():
    assert any(b.source.name == "README.md" for b in BLOCKS)
