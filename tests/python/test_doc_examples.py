"""Every ```python block of the README and the documentation runs as written against the built package."""
import os
import re
import subprocess
import sys

import pytest

from doc_blocks import ROOT, documentation_files, python_blocks

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


# A native producer is told of every refusal (orvix_producer_push and the
# records' try_push_fn return the ring's result); only the table's push
# entries return nothing. No page may tell the user otherwise.
def test_no_page_says_the_native_push_hides_a_refusal():
    claims = re.compile(r"cannot\s+report\s+a\s+refusal|reports\s+nothing\s+back|answers\s+1\)")
    pages = [*documentation_files(), ROOT / "orvix/utils/corvane/corvane.pyi", ROOT / "bench/write_results.py"]
    found = [f"{p.relative_to(ROOT)}: {m.group(0)!r}" for p in pages
             for m in claims.finditer(p.read_text(encoding="utf-8"))]
    assert not found
