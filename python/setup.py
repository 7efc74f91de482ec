"""Copies the korvex shared library into the package when it is built, so an installed package finds the library
next to itself: from $KORVEX_LIBRARY if set, else from the build tree of this checkout (build/src, build/bin)."""
import os
import shutil
import sys
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py

NAME = "korvex.dll" if sys.platform == "win32" else "libkorvex.dylib" if sys.platform == "darwin" else "libkorvex.so"


def built_library():
    explicit = os.environ.get("KORVEX_LIBRARY")
    if explicit:
        path = Path(explicit)
        return path / NAME if path.is_dir() else path
    here = Path(__file__).resolve().parent
    for folder in ("build/src", "build/bin", "build-windows/bin"):
        path = here.parent / folder / NAME
        if path.is_file():
            return path
    return None


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        library = built_library()
        if library is None or not library.is_file():
            print(f"korvex: no {NAME} found to bundle; the installed package will look for it through "
                  "$KORVEX_LIBRARY and the system search path", file=sys.stderr)
            return
        target = Path(self.build_lib) / "korvex" / NAME
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(library, target)


setup(cmdclass={"build_py": BuildWithLibrary})
