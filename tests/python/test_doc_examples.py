"""Every ```python block of the README and the documentation runs as written against the built
package, and every ```cpp block that is a whole program compiles against its headers and runs."""
import os
import re
import shutil
import subprocess
import sys

import pytest

import orvix
from doc_blocks import ROOT, cpp_programs, documentation_files, python_blocks

BLOCKS = python_blocks()
PROGRAMS = cpp_programs()


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


@pytest.mark.timeout(180)
@pytest.mark.parametrize("block", PROGRAMS, ids=[b.name for b in PROGRAMS])
def test_cpp_program_runs(block, tmp_path):
    source = tmp_path / block.file_name
    source.write_text(block.code, encoding="utf-8")
    program = tmp_path / "program"
    # Built and run as a user would, without the sanitizer runtime a test run may preload.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    compiler = os.environ.get("CXX") or shutil.which("c++")
    assert compiler, "no C++ compiler to build the documentation's programs"
    build = subprocess.run([compiler, "-std=c++20", "-O1", "-pthread", f"-I{orvix.get_include()}",
                            str(source), "-o", str(program)], env=env, capture_output=True, text=True, timeout=150)
    assert build.returncode == 0, f"{block.name} does not compile:\n{build.stderr}"
    run = subprocess.run([str(program)], env=env, capture_output=True, text=True, timeout=20)
    assert run.returncode == 0, f"{block.name} failed:\n{run.stdout}\n{run.stderr}"


def test_documentation_has_a_cpp_program():
    assert any(b.source.name == "ring.md" for b in PROGRAMS)


# A native producer is told of every refusal (orvix_producer_push and the
# records' try_push_fn return the ring's result); only the table's push
# entries return nothing. No page may tell the user otherwise.
def test_no_page_says_the_native_push_hides_a_refusal():
    claims = re.compile(r"cannot\s+report\s+a\s+refusal|reports\s+nothing\s+back|answers\s+1\)")
    pages = [*documentation_files(), ROOT / "orvix/utils/corvane/corvane.pyi", ROOT / "bench/write_results.py"]
    found = [f"{p.relative_to(ROOT)}: {m.group(0)!r}" for p in pages
             for m in claims.finditer(p.read_text(encoding="utf-8"))]
    assert not found


# The results page shows one run: tables of another run (or unstamped ones, from
# before stamps) and, outside the short mode, a run without every version are refused.
def test_the_benchmarks_page_is_written_from_one_run_only():
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import write_results
    finally:
        sys.path.remove(str(ROOT / "bench"))

    def run(python, *ids):
        return {"python": python, "tables": [{"title": f"t{i}", "stamp": {"run": i}} for i in ids]}

    assert write_results.one_run([run("3.12", "a"), run("3.13", "a", "a")], short=False) == "a"
    assert write_results.one_run([run("3.12", "a")], short=True) == "a"
    for runs, short in (([run("3.12", "a"), run("3.13", "b")], False), ([run("3.12", "a", "b")], True),
                        ([run("3.12", "a"), {"python": "3.13", "tables": [{"title": "t"}]}], False),
                        ([run("3.12", "a")], False)):
        with pytest.raises(SystemExit):
            write_results.one_run(runs, short)
