"""Checks the pip-installed package, then runs the Python suite against it.

    python installed_check.py <build tree>

Run from outside the source tree (scripts/test does). The build tree's
python/ folder supplies only the test-only extension modules (probes and
example producers); orvix itself must come from the installation.
"""
import importlib
import importlib.metadata
import os
import pathlib
import subprocess
import sys
import sysconfig
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = ["orvix.ringq.ringq", "orvix.common._conversions", "orvix.utils.corvane.corvane",
           "orvix.utils.teldrin.teldrin", "orvix.feed._feed", "orvix.batch._batch",
           "orvix.net._net", "orvix.net._zmq"]
PUBLIC_HEADERS = [
    "orvix/common/conversions.h",
    "orvix/ringq/futex.hpp", "orvix/ringq/index_rereads.hpp", "orvix/ringq/message_copy.hpp",
    "orvix/ringq/page_buffer.hpp",
    "orvix/ringq/ring_layout.hpp", "orvix/ringq/ring_message.hpp",
    "orvix/ringq/ring_result.hpp", "orvix/ringq/ring_shared_state.hpp", "orvix/ringq/ringq.h",
    "orvix/ringq/single_writer_counter.hpp",
    "orvix/ringq/spsc_ring.hpp", "orvix/ringq/wait_points.hpp",
    "orvix/shm/producer.h", "orvix/shm/shm_layout.h",
    "orvix/utils/corvane/corvane.h", "orvix/utils/corvane/producer.h",
    "orvix/version.h",
]


# The extension modules of the running interpreter's version, from a wheel of that version.
EXTENSION_TAG = f".cpython-{sys.version_info.major}{sys.version_info.minor}"
WHEEL_TAG = f"cp{sys.version_info.major}{sys.version_info.minor}-cp{sys.version_info.major}{sys.version_info.minor}-"


def check_installation():
    import orvix
    package = pathlib.Path(orvix.__file__).parent
    site_packages = pathlib.Path(sysconfig.get_path("platlib")).resolve()
    assert package.resolve().is_relative_to(site_packages), (
        f"orvix was imported from elsewhere than this environment's installation ({site_packages}): {package}")
    for name in MODULES:
        importlib.import_module(name)   # a missing module fails the check
    files = sorted(p.relative_to(package).as_posix() for p in package.rglob("*")
                   if p.is_file() and "__pycache__" not in p.parts)
    internal = [f for f in files if not (f.endswith((".py", ".pyi")) or f == "py.typed" or EXTENSION_TAG in f
                                         or f.startswith(("include/", "cmake/")))]
    assert not internal, f"not part of the installed package: {internal}"
    headers = [f.removeprefix("include/") for f in files if f.startswith("include/")]
    assert headers == PUBLIC_HEADERS, headers
    assert {"cmake/orvixConfig.cmake", "cmake/orvixConfigVersion.cmake"} <= set(files)
    assert pathlib.Path(orvix.get_include(), "orvix/version.h").is_file()
    assert pathlib.Path(orvix.get_cmake_dir(), "orvixConfig.cmake").is_file()
    distribution = importlib.metadata.distribution("orvix")
    assert distribution.version == orvix.__version__, (distribution.version, orvix.__version__)
    assert any(f.name == "LICENSE" for f in distribution.files), "no LICENSE in the wheel"
    tags = [line.removeprefix("Tag: ") for line in distribution.read_text("WHEEL").splitlines()
            if line.startswith("Tag: ")]
    assert tags and all(t.startswith(WHEEL_TAG) for t in tags), tags
    print(f"installed package complete: {package} ({orvix.__version__})")


def run_suite(build_tree):
    """The suite, with the test-only modules of the build tree beside the installed package."""
    staged = pathlib.Path(build_tree, "python")
    with tempfile.TemporaryDirectory(prefix="orvix-test-modules-") as modules:
        for entry in staged.iterdir():
            if entry.name != "orvix" and entry.suffix == ".so":
                os.symlink(entry, pathlib.Path(modules, entry.name))
        env = dict(os.environ, PYTHONPATH=modules)
        return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                               "--rootdir", str(ROOT), str(ROOT / "tests/python"), str(ROOT / "tests/installed")],
                              env=env).returncode


if __name__ == "__main__":
    check_installation()
    sys.exit(run_suite(sys.argv[1]))
