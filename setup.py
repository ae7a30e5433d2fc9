"""Builds the extension with the project's CMake build and ships it, with its stub, in the wheel.

The wheel holds nothing but these two files under velmor_data/connections/implementations/:
no __init__.py, so that installing it into the host's environment adds the module to the
host's package and uninstalling it removes the module alone.
"""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build import build
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
MODULE = "velmor_data.connections.implementations.postgresql_history"


class CleanBuild(build):
    def run(self):
        # The wheel takes everything in build_lib, and pip builds in the source tree:
        # files an earlier build left there (say, of a layout that still carried the
        # stand-in host) would ship again.
        shutil.rmtree(self.build_lib, ignore_errors=True)
        super().run()


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.check_call([
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release", "-DVELMOR_BUILD_TESTS=OFF",
            f"-DPython_EXECUTABLE={sys.executable}",
        ])
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "postgresql_history",
                               "-j", str(os.cpu_count() or 2)])
        staged = build_dir / "python" / "velmor_data" / "connections" / "implementations"
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        built = next(staged.glob("postgresql_history*.so"))
        shutil.copyfile(built, target)
        # No package carries the stub as package data: it goes beside the module.
        shutil.copyfile(ROOT / "src" / "binding" / "postgresql_history.pyi",
                        target.parent / "postgresql_history.pyi")


setup(ext_modules=[Extension(MODULE, sources=[])],
      cmdclass={"build": CleanBuild, "build_ext": CMakeBuild})
