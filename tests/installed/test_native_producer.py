"""A native producer built out of tree against the installed package, with CMake."""
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import threading

import pytest

import orvix
from orvix.batch import ThreadedBatchDispatcher
from orvix.shm import SharedRing
from orvix.utils.corvane.corvane import ThreadedDispatcher

SOURCE = pathlib.Path(__file__).with_name("native_producer")
ROOT = SOURCE.parents[2]


def cmake(*args):
    result = subprocess.run([shutil.which("cmake", path=os.path.dirname(sys.executable)) or "cmake", *args],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def native_producer(tmp_path_factory):
    build = tmp_path_factory.mktemp("native_producer")
    cmake("-S", str(SOURCE), "-B", str(build), f"-Dorvix_DIR={orvix.get_cmake_dir()}",
          f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release")
    cmake("--build", str(build))
    (library,) = build.glob("native_producer*.so")
    spec = importlib.util.spec_from_file_location("native_producer", library)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.timeout(300)
def test_it_compiles_against_the_installed_headers_and_delivers(native_producer):
    assert native_producer.VERSION == orvix.__version__
    assert native_producer.ring_roundtrip()
    arrived, done = [], threading.Event()

    def callback(message):
        arrived.append(int.from_bytes(message, "little"))
        if len(arrived) == 100:
            done.set()

    d = ThreadedDispatcher(callback, capacity=128, slot_size=8)
    d.setup()
    assert native_producer.push(d, 100) == 100
    assert done.wait(30)
    d.close()
    assert arrived == list(range(100))


@pytest.mark.timeout(300)
def test_a_producer_process_builds_on_the_component_without_python(tmp_path):
    """orvix::producer (find_package(orvix COMPONENTS producer)) finds no Python; the shared-ring
    guide's producer built with it feeds a ring."""
    sys.path.insert(0, str(ROOT / "tests" / "python"))
    from doc_blocks import named_files
    (tmp_path / "producer.c").write_text(named_files(ROOT / "docs" / "guide" / "shm.md")["producer.c"])
    build = tmp_path / "build"
    cmake("-S", str(SOURCE.with_name("shm_producer")), "-B", str(build), f"-Dorvix_DIR={orvix.get_cmake_dir()}",
          f"-DPRODUCER_SOURCE={tmp_path / 'producer.c'}")
    cmake("--build", str(build))
    arrived, done = [], threading.Event()

    def on_batch(batch):
        arrived.extend(int.from_bytes(message, "little") for message in batch)
        if len(arrived) >= 1000:
            done.set()

    with SharedRing(f"orvix-installed-{os.getpid()}", slot_size=8, capacity=256) as ring:
        d = ThreadedBatchDispatcher(on_batch, ring=ring)
        d.setup()
        assert subprocess.run([str(build / "shm_producer"), ring.name, "1000"], timeout=60).returncode == 0
        assert done.wait(30)
        d.close()
    assert arrived == list(range(1000))
