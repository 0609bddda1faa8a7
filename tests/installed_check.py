"""Run from outside the source tree against the pip-installed package (with -W error)."""
import importlib

import orvix.ringq.ringq
import orvix.common

assert orvix.ringq.ringq.SPSCQueue.__basicsize__ == 232, orvix.ringq.ringq.SPSCQueue.__basicsize__
for name in ("orvix.utils.corvane.corvane", "orvix.utils.teldrin.teldrin"):
    try:
        importlib.import_module(name)
    except ModuleNotFoundError as exc:
        if exc.name != name:
            raise
print("installed package imports cleanly:", orvix.ringq.ringq.__file__)
