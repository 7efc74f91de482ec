"""korvex: nonlinear constrained optimization (SQP and GRG) in the conventions of scipy.optimize.minimize.

A pure-Python package over the korvex C library (libkorvex.so, korvex.dll), loaded with ctypes from $KORVEX_LIBRARY,
from next to the package, or from the build tree of a checkout.
"""
from ._library import LibraryNotFoundError, library
from ._minimize import minimize

__all__ = ["minimize", "library", "LibraryNotFoundError"]
__version__ = "0.1.0"
