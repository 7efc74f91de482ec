"""Runs the tests against the package in python/ of this checkout (also in processes the tests start) and the
library named by $KORVEX_LIBRARY, else the one the package finds itself."""
import os
import sys
from pathlib import Path

PACKAGE_ROOT = str(Path(__file__).resolve().parents[2] / "python")
sys.path.insert(0, PACKAGE_ROOT)
os.environ["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, os.environ.get("PYTHONPATH")) if p)
