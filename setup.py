"""Builds the extension module ofulk._ofulk with the project's CMake for pip
(see pyproject.toml); the rest of the package is plain Python files. The
library is linked into the module, so that a wheel is complete in itself."""

import glob
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
# The development machines share two cores among several builds.
BUILD_JOBS = os.environ.get("OF_ULK_BUILD_JOBS", "2")


def pip_hides_output():
    """True under a pip that keeps the build's output to itself, as it does
    unless run with -v: then its user sees a spinner or "still running..."
    for minutes."""
    if sys.stdout.isatty():
        return False
    try:
        with open(f"/proc/{os.getppid()}/cmdline", "rb") as cmdline:
            args = cmdline.read().decode(errors="replace").split("\0")
    except OSError:
        return False
    if not any(re.fullmatch(r"pip[0-9.]*", os.path.basename(a)) for a in args[:3]):
        return False
    verbose = os.environ.get("PIP_VERBOSE") or any(
        a == "--verbose" or re.fullmatch(r"-[a-zA-Z]*v[a-zA-Z]*", a) for a in args
    )
    return not verbose


def open_terminal():
    """The terminal that pip runs in, when pip hides the build's output."""
    if not pip_hides_output():
        return None
    try:
        terminal = open("/dev/tty", "wb", buffering=0)
    except OSError:
        return None
    terminal.write(b"\n")  # below pip's line with the spinner
    return terminal


def run(command, terminal):
    """Runs command, passing its output on as it comes: to pip, which shows
    it with -v or when the build fails, and to the terminal if given."""
    print("+", " ".join(command), flush=True)
    with subprocess.Popen(
        command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT
    ) as process:
        for line in process.stdout:
            sys.stdout.buffer.write(line)
            sys.stdout.flush()
            if terminal is not None:
                # \r: over the spinner's character.
                terminal.write(b"\r" + line)
    if process.returncode != 0:
        sys.exit(f"{command[0]} failed with status {process.returncode}")


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        terminal = open_terminal()
        try:
            run(
                [
                    "cmake", "-S", ROOT, "-B", build_dir,
                    "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython3_EXECUTABLE={sys.executable}",
                    "-DOF_ULK_PYTHON=ON",
                    "-DOF_ULK_PYTHON_REQUIRED=ON",
                    "-DBUILD_SHARED_LIBS=OFF",
                    "-DOF_ULK_BUILD_TESTS=OFF",
                    "-DOF_ULK_BUILD_BENCH=OFF",
                ],
                terminal,
            )
            run(
                ["cmake", "--build", build_dir, "--target", "_ofulk", "-j", BUILD_JOBS],
                terminal,
            )
        finally:
            if terminal is not None:
                terminal.close()
        built = glob.glob(os.path.join(build_dir, "python", "ofulk", "_ofulk*.so"))
        if len(built) != 1:
            sys.exit(f"the CMake build gave no single _ofulk module: {built}")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)


# Build files and metadata go to build-pip/, away from build/, the folder
# of scripts/test's CMake build.
BUILD_BASE = "build-pip"
os.makedirs(os.path.join(ROOT, BUILD_BASE), exist_ok=True)

setup(
    ext_modules=[CMakeExtension("ofulk._ofulk")],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": BUILD_BASE}, "egg_info": {"egg_base": BUILD_BASE}},
)
