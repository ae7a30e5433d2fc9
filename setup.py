"""Builds the extension with the project's CMake build and ships it, with its stub, in the wheel.

The wheel holds the module under velmor_data/connections/implementations/, with no
__init__.py, so that installing it into the host's environment adds the module to the
host's package and uninstalling it removes the module alone. The stub goes into a partial
stub-only package (PEP 561), velmor_data-stubs: a type checker reads a stub inside a package
only when the package's top level is marked typed, and that top level is the host's. The
marker's "partial" sends the checker to the host's own files for every other module; the
tree has no __init__.pyi, which would stand in for the host's __init__.py files.
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
STUB_PACKAGE = "velmor_data-stubs"


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
        stubs = pathlib.Path(self.build_lib) / STUB_PACKAGE
        (stubs / "connections" / "implementations").mkdir(parents=True, exist_ok=True)
        shutil.copyfile(ROOT / "src" / "binding" / "postgresql_history.pyi",
                        stubs / "connections" / "implementations" / "postgresql_history.pyi")
        (stubs / "py.typed").write_text("partial\n")


setup(ext_modules=[Extension(MODULE, sources=[])],
      cmdclass={"build": CleanBuild, "build_ext": CMakeBuild})
