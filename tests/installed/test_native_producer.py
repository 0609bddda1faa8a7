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
from orvix.utils.corvane.corvane import ThreadedDispatcher

SOURCE = pathlib.Path(__file__).with_name("native_producer")


@pytest.fixture(scope="module")
def native_producer(tmp_path_factory):
    build = tmp_path_factory.mktemp("native_producer")
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or "cmake"

    def run(*args):
        result = subprocess.run([cmake, *args], capture_output=True, text=True, timeout=300)
        assert result.returncode == 0, result.stdout + result.stderr

    run("-S", str(SOURCE), "-B", str(build), f"-Dorvix_DIR={orvix.get_cmake_dir()}",
        f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release")
    run("--build", str(build))
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
