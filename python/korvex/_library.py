"""Finding and loading the korvex shared library, and the C signatures of the functions the package calls."""
import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path

if sys.platform == "win32":
    LIBRARY_NAME = "korvex.dll"
elif sys.platform == "darwin":
    LIBRARY_NAME = "libkorvex.dylib"
else:
    LIBRARY_NAME = "libkorvex.so"

ENVIRONMENT_VARIABLE = "KORVEX_LIBRARY"

c_double_p = ctypes.POINTER(ctypes.c_double)

# void analysis(void* user, const double* x, double* objective, double* equalities, double* inequalities)
AnalysisCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, c_double_p, c_double_p, c_double_p, c_double_p)
# void line(void* user, const char* line, int length)
DiagnosticLineCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(ctypes.c_char), ctypes.c_int)
# void batch(void* user, int count, int n, int nEq, int nIneq, const double* x, double* f)
BatchAnalysisCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                         ctypes.c_int, c_double_p, c_double_p)
# void iteration(void* user, int iteration, int n, const double* x, const double* f, int nFunEval)
IterationCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int, ctypes.c_int, c_double_p, c_double_p,
                                     ctypes.c_int)

_run_arguments = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, c_double_p, c_double_p, c_double_p, ctypes.c_int,
                  ctypes.c_int, AnalysisCallback, ctypes.c_void_p, c_double_p]

# name: (result type, argument types). Every context function the package needs.
_REQUIRED = {
    "KVW_ctx_create": (ctypes.c_void_p, []),
    "KVW_ctx_free": (None, [ctypes.c_void_p]),
    "KVW_ctx_grg": (ctypes.c_int, _run_arguments),
    "KVW_ctx_sqp": (ctypes.c_int, _run_arguments),
    "KVW_ctx_set_stop": (None, [ctypes.c_void_p, ctypes.c_int]),
    "KVW_ctx_set_print": (None, [ctypes.c_void_p, ctypes.c_int]),
    "KVW_ctx_set_diffMeth": (None, [ctypes.c_void_p, ctypes.c_int]),
    "KVW_ctx_set_diffPert": (None, [ctypes.c_void_p, ctypes.c_double]),
    "KVW_ctx_set_convTol": (None, [ctypes.c_void_p, ctypes.c_double]),
    "KVW_ctx_get_nIter": (ctypes.c_int, [ctypes.c_void_p]),
    "KVW_ctx_get_nFunEval": (ctypes.c_int, [ctypes.c_void_p]),
    "KVW_ctx_set_diagFile": (None, [ctypes.c_void_p, ctypes.c_char_p]),
    "KVW_ctx_set_diagCallback": (None, [ctypes.c_void_p, DiagnosticLineCallback, ctypes.c_void_p]),
    "KVW_ctx_resultText": (ctypes.c_char_p, [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]),
}

# Functions of newer libraries; the package checks for them before it offers what needs them.
_OPTIONAL = {
    "KVW_ctx_set_batchCallback": (None, [ctypes.c_void_p, BatchAnalysisCallback, ctypes.c_void_p]),
    "KVW_ctx_set_threads": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
    "KVW_ctx_set_iterationCallback": (None, [ctypes.c_void_p, IterationCallback, ctypes.c_void_p]),
}


class LibraryNotFoundError(OSError):
    """The korvex shared library could not be found or loaded; the message lists every place tried."""


def candidate_paths():
    """The places searched for the library, in order, as (description, path) pairs."""
    package = Path(__file__).resolve().parent
    source_tree = package.parent.parent  # python/korvex/ inside a checkout of the repository
    candidates = [("next to the package", package / LIBRARY_NAME)]
    if (source_tree / "include" / "korvex" / "korvex.h").is_file():
        for build in ("build/src", "build/bin", "build-windows/bin"):
            candidates.append(("in the build tree", source_tree / build / LIBRARY_NAME))
    return candidates


def _configure(library):
    for name, (restype, argtypes) in _REQUIRED.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    for name, (restype, argtypes) in _OPTIONAL.items():
        if hasattr(library, name):
            function = getattr(library, name)
            function.restype = restype
            function.argtypes = argtypes
    return library


def _open(path, tried):
    try:
        library = ctypes.CDLL(str(path))
    except OSError as error:
        tried.append(f"{path}: could not be loaded ({error})")
        return None
    missing = [name for name in _REQUIRED if not hasattr(library, name)]
    if missing:
        tried.append(f"{path}: lacks {', '.join(missing)} (a library without contexts is too old)")
        return None
    return _configure(library)


def find_library():
    """Load the library: from $KORVEX_LIBRARY if set, else next to the package, in the build tree, on the system
    search path. Raises LibraryNotFoundError naming every place it looked."""
    tried = []
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        path = Path(explicit)
        if path.is_dir():
            path = path / LIBRARY_NAME
        if not path.is_file():
            raise LibraryNotFoundError(f"{ENVIRONMENT_VARIABLE}={explicit}: no such file {path}")
        library = _open(path, tried)
        if library is None:
            raise LibraryNotFoundError(tried[0])
        return library
    tried.append(f"${ENVIRONMENT_VARIABLE}: not set")
    for where, path in candidate_paths():
        if path.is_file():
            library = _open(path, tried)
            if library is not None:
                return library
        else:
            tried.append(f"{path} ({where}): no such file")
    system = ctypes.util.find_library("korvex")
    if system:
        library = _open(system, tried)
        if library is not None:
            return library
    else:
        tried.append("the system library search path: not found")
    raise LibraryNotFoundError(
        f"korvex: found no usable {LIBRARY_NAME}. Looked in:\n  " + "\n  ".join(tried) +
        f"\nBuild it (cmake -S . -B build && cmake --build build --target korvex), set {ENVIRONMENT_VARIABLE} "
        "to its path, or copy it next to the package.")


_library = None
_lock = threading.Lock()


def library():
    """The loaded library (loaded once per process, on first use)."""
    global _library
    with _lock:
        if _library is None:
            _library = find_library()
        return _library
