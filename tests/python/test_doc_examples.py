"""Every ```python block of the README and the documentation runs as written against the built
package, and every ```cpp block that is a whole program compiles against its headers and runs."""
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest

import orvix
from doc_blocks import ROOT, cpp_programs, documentation_files, named_files, python_blocks, shell_recipes

BLOCKS = python_blocks()
PROGRAMS = cpp_programs()
RECIPES = shell_recipes()


def orvix_cflags() -> list[str]:
    """What `python -m orvix --cflags` prints for the interpreter and package under test."""
    run = subprocess.run([sys.executable, "-m", "orvix", "--cflags"], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PYTHONSAFEPATH="1"), cwd="/")
    assert run.returncode == 0 and run.stderr == "", run.stderr
    return shlex.split(run.stdout)


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
    build = subprocess.run([compiler, "-std=c++20", "-O1", "-pthread", *orvix_cflags(),
                            str(source), "-o", str(program)], env=env, capture_output=True, text=True, timeout=150)
    assert build.returncode == 0, f"{block.name} does not compile:\n{build.stderr}"
    run = subprocess.run([str(program)], env=env, capture_output=True, text=True, timeout=20)
    assert run.returncode == 0, f"{block.name} failed:\n{run.stdout}\n{run.stderr}"


def test_documentation_has_a_cpp_program():
    assert any(b.source.name == "ring.md" for b in PROGRAMS)


def test_python_m_orvix_prints_the_include_folders():
    include = pathlib.Path(orvix.get_include())
    assert orvix_cflags()[0] == f"-I{include}" and (include / "orvix/shm/producer.h").is_file()
    assert any((pathlib.Path(flag[2:]) / "Python.h").is_file() for flag in orvix_cflags())


@pytest.mark.timeout(240)
@pytest.mark.parametrize("recipe", RECIPES, ids=[b.name for b in RECIPES])
def test_build_recipe_runs_without_an_activated_environment(recipe, tmp_path):
    """The page's commands run as written beside its named files. `.venv/bin/python` is the
    interpreter under test; neither its folder nor any virtual environment is on PATH."""
    for name, code in named_files(recipe.source).items():
        (tmp_path / name).write_text(code, encoding="utf-8")
    python = tmp_path / ".venv/bin/python"
    python.parent.mkdir(parents=True)
    # A sanitizer run's runtime goes to the interpreter only, not to the compiler it runs.
    preload = os.environ.get("LD_PRELOAD", "")
    python.write_text(f'#!/bin/sh\nLD_PRELOAD={shlex.quote(preload)} exec {shlex.quote(sys.executable)} "$@"\n')
    python.chmod(0o755)
    interpreter_dir = pathlib.Path(sys.executable).parent
    path = [d for d in os.environ.get("PATH", "").split(os.pathsep) if d and pathlib.Path(d) != interpreter_dir]
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "VIRTUAL_ENV")}
    env.update(PATH=os.pathsep.join(path), PYTHONSAFEPATH="1")
    run = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", recipe.code], cwd=tmp_path, env=env,
                         capture_output=True, text=True, timeout=200)
    assert run.returncode == 0, f"{recipe.name} failed:\n{run.stdout}\n{run.stderr}"


def test_documentation_has_build_recipes():
    assert {b.source.name for b in RECIPES} >= {"shm.md", "ring.md"}


# A compile line reaches orvix through the interpreter it is installed in, named by its path:
# a bare `python` is another interpreter, or none, without an activated environment.
def test_no_command_line_of_the_documentation_runs_a_bare_python():
    bare = re.compile(r"\$\(\s*python3?\s")
    found = [f"{p.relative_to(ROOT)}: {line.strip()}" for p in documentation_files()
             for line in p.read_text(encoding="utf-8").splitlines() if bare.search(line)]
    assert not found


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
