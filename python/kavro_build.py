"""How setuptools builds the kavro package (pyproject.toml names this module): the project's
CMake build makes the extension and the library, which go into the package side by side; the
extension finds the library next to itself, so an installed wheel needs no LD_LIBRARY_PATH.

Only the library and the extension are built (no tests, tools or benchmarks)."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools.command.build_py import build_py
from wheel.bdist_wheel import bdist_wheel

ROOT = pathlib.Path(__file__).resolve().parent.parent
VERSION = re.search(r"project\(KAVRO_USB_DLL VERSION ([0-9.]+)",
                    (ROOT / "CMakeLists.txt").read_text()).group(1)


class BuildPy(build_py):
    """Copies the package's Python files, then builds and adds _kavro and the library."""

    def run(self):
        super().run()
        build = pathlib.Path(self.get_finalized_command("build").build_temp).resolve() / "cmake"
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        self.spawn(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                    "-DKAVRO_BUILD_TESTS=OFF", "-DKAVRO_BUILD_TOOLS=OFF",
                    "-DKAVRO_BUILD_BENCHMARKS=OFF", "-DKAVRO_PYTHON_WHEEL=ON",
                    f"-DPython_EXECUTABLE={sys.executable}"])
        self.spawn(["cmake", "--build", str(build), "--target", "_kavro", "--parallel", jobs])
        package = pathlib.Path(self.build_lib) / "kavro"
        extensions = list((build / "python" / "kavro").glob("_kavro.*.so"))
        # The library under its soname (libKAVRO_USB_DLL.so.0), the name the extension asks for.
        library = [p for p in build.glob("libKAVRO_USB_DLL.so.*") if p.name.count(".") == 2]
        if len(extensions) != 1 or len(library) != 1:
            raise RuntimeError(f"the CMake build in {build} made no kavro extension "
                               "(is python3-dev, pybind11-dev and python3-numpy installed?)")
        shutil.copyfile(extensions[0], package / extensions[0].name)
        shutil.copyfile(library[0].resolve(), package / library[0].name)


class BdistWheel(bdist_wheel):
    """A wheel for this Python and platform: it holds compiled code."""

    def finalize_options(self):
        self.distribution.has_ext_modules = lambda: True  # so it installs as platform code
        super().finalize_options()
