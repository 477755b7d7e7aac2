"""Builds the extension module ofulk._ofulk with the project's CMake for pip
(see pyproject.toml); the rest of the package is plain Python files."""

import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
# The development machines share two cores among several builds.
BUILD_JOBS = os.environ.get("OF_ULK_BUILD_JOBS", "2")


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.run(
            [
                "cmake", "-S", ROOT, "-B", build_dir,
                "-DCMAKE_BUILD_TYPE=Release",
                f"-DPython3_EXECUTABLE={sys.executable}",
                "-DOF_ULK_PYTHON=ON",
                "-DOF_ULK_BUILD_TESTS=OFF",
                "-DOF_ULK_BUILD_BENCH=OFF",
            ],
            check=True,
        )
        subprocess.run(
            ["cmake", "--build", build_dir, "--target", "_ofulk", "-j", BUILD_JOBS],
            check=True,
        )
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
