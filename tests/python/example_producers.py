"""The two example native producers, as a parametrization shared by the tests."""
import os

import pytest

import producer_c
import producer_cpp

# glibc starts C11 threads without going through pthread_create, so
# ThreadSanitizer never learns of the C producer's thread and crashes on it.
UNDER_TSAN = bool(os.environ.get("ORVIX_UNDER_TSAN"))

EXAMPLE_PRODUCERS = pytest.mark.parametrize("producer", [
    producer_cpp,
    pytest.param(producer_c, marks=pytest.mark.skipif(
        UNDER_TSAN, reason="ThreadSanitizer cannot follow C11 threads")),
], ids=["cpp", "c"])
