"""Package build: setuptools runs CMake for the extension modules and ships them with `orvik`.

Everything else about the package is in pyproject.toml. `pip install .` (with
`--no-build-isolation` where there is no network) configures a CMake build of
its own under build/package/, builds the `extension_modules` target and copies
every extension module that lands in its module/ folder beside the package.
"""

import glob
import importlib.machinery
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    """Builds the extension modules with the project's CMake build instead of setuptools' compiler."""

    def run(self):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build, *generator,
                               f"-DPython_EXECUTABLE={sys.executable}", "-DORVIK_TESTS=OFF"])
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.check_call(["cmake", "--build", build, "--target", "extension_modules", "-j", jobs])
        built = sorted(path for path in glob.glob(os.path.join(build, "module", "*"))
                       if path.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)))
        if not built:
            raise RuntimeError(f"the CMake build put no extension module in {os.path.join(build, 'module')}")
        target = ROOT if self.inplace else self.build_lib
        os.makedirs(target, exist_ok=True)
        self._outputs = []
        for path in built:
            destination = os.path.join(target, os.path.basename(path))
            shutil.copyfile(path, destination)
            self._outputs.append(destination)

    def get_outputs(self):
        return list(getattr(self, "_outputs", []))


# One named extension marks the wheel as built for this interpreter and
# platform; CMakeBuild installs every module the build makes, this one included.
setup(ext_modules=[Extension("alignopt", sources=[])], cmdclass={"build_ext": CMakeBuild})
