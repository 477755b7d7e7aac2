"""pip's build backend for ofulk: setuptools' own, once this interpreter is
known to have what building and using the package take.

Without that check, an interpreter that lacks the wheel package fails with
"invalid command 'bdist_wheel'", one without NumPy builds a module that
cannot be imported, and pip's build isolation, which needs the package
index, fails while it looks for setuptools. pyproject.toml therefore asks
for no build requirements: this module runs first and names the
interpreter to use instead.
"""

import importlib.util
import os
import shutil
import sys

# What setup.py and the build need from the interpreter, and the module
# from the start.
NEEDED_MODULES = ("setuptools", "wheel", "numpy")


def _isolated():
    """True inside pip's build isolation, which hides the interpreter's own
    packages behind a folder pip-build-env-* that it puts on PYTHONPATH."""
    return "pip-build-env-" in os.environ.get("PYTHONPATH", "")


def _old_setuptools():
    """True when setuptools predates 61, which reads pyproject.toml's
    [project] table."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return int(version("setuptools").split(".")[0]) < 61
    except (PackageNotFoundError, ValueError):
        return False


def check_interpreter():
    missing = [m for m in NEEDED_MODULES if importlib.util.find_spec(m) is None]
    if "setuptools" not in missing and _old_setuptools():
        missing.insert(0, "setuptools 61 or later")
    if missing:
        why = f"{sys.executable} lacks {', '.join(missing)}"
        if _isolated():
            why += " (pip's build isolation hides the interpreter's packages)"
        sys.exit(
            f"ofulk cannot be built here: {why}.\n"
            "Use the interpreter that has NumPy and OpenCV's Python module, "
            "e.g. /usr/bin/python3 on Debian, in a virtual environment that "
            "sees its packages, without build isolation:\n"
            "    /usr/bin/python3 -m venv --system-site-packages venv\n"
            "    venv/bin/pip install --no-build-isolation .\n"
            "(scripts/install_deps installs python3-numpy, python3-opencv, "
            "python3-setuptools, python3-wheel and the build tools.)"
        )
    if shutil.which("cmake") is None:
        sys.exit(
            "ofulk is built by the project's CMake, and no cmake is on PATH: "
            "scripts/install_deps installs it with the compiler, OpenCV, "
            "pybind11 and Python's headers."
        )


check_interpreter()

from setuptools.build_meta import *  # noqa: E402,F401,F403
