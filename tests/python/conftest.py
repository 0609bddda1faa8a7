"""Shared test setup: the suite runs against a built package, never the source tree."""
import os
import pathlib

import pytest

import orvix

UNDER_SANITIZER = bool(os.environ.get("ORVIX_UNDER_SANITIZER"))


def pytest_report_header(config):
    return f"orvix package: {pathlib.Path(orvix.__file__).parent}" + (
        " (sanitizer build)" if UNDER_SANITIZER else "")


@pytest.fixture
def scale():
    """Divides big loop counts under the sanitizers, which run ~10x slower."""
    return 10 if UNDER_SANITIZER else 1
