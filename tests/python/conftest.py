"""Runs the tests against the package in python/ of this checkout (also in processes the tests start) and the
library named by $KORVEX_LIBRARY, else the one the package finds itself."""
import os
import sys
from pathlib import Path

import pytest

PACKAGE_ROOT = str(Path(__file__).resolve().parents[2] / "python")
sys.path.insert(0, PACKAGE_ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, os.environ.get("PYTHONPATH")) if p)

import korvex  # noqa: E402


@pytest.fixture(scope="session")
def lib():
    return korvex.library()


def needs(symbol):
    """Skip a test when the library lacks a function it needs."""
    return pytest.mark.skipif(not hasattr(korvex.library(), symbol),
                              reason=f"the korvex library has no {symbol}")
