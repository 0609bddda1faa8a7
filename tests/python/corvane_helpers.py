"""Helpers shared by the corvane tests: fresh interpreters, stand-in modules, waiting for threads."""
import os
import subprocess
import sys
import textwrap
import time

# Prepended to every script: builds capsules the way a native module exports
# them, so stand-ins for orvix.common and orvix.ringq.ringq need no C code.
CAPSULE_PRELUDE = """
import ctypes
_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
_capsule_names = []          # a capsule keeps a pointer to its name

def capsule(name, pointer=0x1000):
    if name is not None:
        name = name.encode()
        _capsule_names.append(name)
    return _capsule_new(pointer, name, None)

def capsule_name(cap):
    get = ctypes.pythonapi.PyCapsule_GetName
    get.restype = ctypes.c_char_p
    get.argtypes = (ctypes.py_object,)
    return get(cap)
"""


# Prepended by the tests that import in a sub-interpreter. CPython's private
# module for them is _xxsubinterpreters on 3.12, where a failure raises
# RunFailedError "<class 'E'>: text", and _interpreters on 3.13, whose
# run_string returns a snapshot of the failure. Both come out as "E: text".
SUBINTERPRETERS = r'''
import re
try:
    import _interpreters as _subinterpreters
except ModuleNotFoundError:
    import _xxsubinterpreters as _subinterpreters

def current_interpreter_id():
    current = _subinterpreters.get_current()
    return int(current[0] if isinstance(current, tuple) else current)

def run_in_subinterpreter(code, isolated=False):
    """Runs code in a new sub-interpreter, destroyed after (one sharing the
    main interpreter's lock unless isolated): None, or "E: text"."""
    if hasattr(_subinterpreters, "new_config"):
        sub = _subinterpreters.create("isolated" if isolated else "legacy")
    else:
        sub = _subinterpreters.create(isolated=isolated)
    try:
        if not hasattr(_subinterpreters, "RunFailedError"):
            failure = _subinterpreters.run_string(sub, code)
            return None if failure is None else f"{failure.type.__name__}: {failure.msg}"
        try:
            _subinterpreters.run_string(sub, code)
        except _subinterpreters.RunFailedError as error:
            return re.sub(r"^<class '([\w.]+)'>", r"\1", str(error))
        return None
    finally:
        _subinterpreters.destroy(sub)
'''


def script(*parts):
    """Joins code fragments, each indented as it stands in its test."""
    return "\n".join(textwrap.dedent(part) for part in parts)


def run_python(code, *flags, timeout=60, env=None):
    """Runs `code` in a fresh interpreter (same package path, `env` added to the
    environment); returns the result."""
    script = CAPSULE_PRELUDE + textwrap.dedent(code)
    return subprocess.run([sys.executable, *flags, "-c", script], capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, **(env or {})})


def check_python(code, *flags, timeout=60):
    """Like run_python, but fails the test unless the script exits cleanly; returns stdout."""
    result = run_python(code, *flags, timeout=timeout)
    assert result.returncode == 0, f"stdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    return result.stdout


def eventually(predicate, timeout=20.0):
    """Polls `predicate` until it holds (True) or `timeout` seconds pass (False)."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.002)
    return True


def native_threads():
    """Threads of this process, native readers included (Linux)."""
    return len(os.listdir("/proc/self/task"))
