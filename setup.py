"""Builds the Python module `quarn` with setuptools: the package in
python/quarn, and its extension quarn._quarn compiled by CMake (target
quarn-python) together with the libraries it needs, which go beside it.

The CMake build directory is build-python/ (a release build, made on first
use), or the one QX_PYTHON_CMAKE_BUILD names: an existing build of the
project is reused as it is, so nothing is compiled twice.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version() -> str:
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(qx-quarn-tools VERSION ([0-9.]+)", text).group(1)


def needed_libraries(extension: Path, build: Path):
    """The libraries of this project's build that the extension loads."""
    listing = subprocess.run(["ldd", str(extension)], check=True, capture_output=True, text=True)
    for line in listing.stdout.splitlines():
        parts = line.split("=>")
        if len(parts) != 2:
            continue
        name, where = parts[0].strip(), parts[1].split("(")[0].strip()
        if where and Path(where).resolve().is_relative_to(build.resolve()):
            yield name, Path(where)


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build = Path(os.environ.get("QX_PYTHON_CMAKE_BUILD") or ROOT / "build-python")
        if not (build / "CMakeCache.txt").exists():
            subprocess.run(
                ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                 "-DQX_BUILD_TESTS=OFF", f"-DPython3_EXECUTABLE={sys.executable}"],
                check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "quarn-python", "-j", jobs],
                       check=True)
        built = sorted((build / "python" / "quarn").glob("_quarn*.so"))
        if not built:
            raise RuntimeError(f"CMake built no extension in {build}/python/quarn")
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[-1], target)
        # The extension finds them beside it ($ORIGIN is on its run path).
        for name, path in needed_libraries(built[-1], build):
            shutil.copyfile(path, target.parent / name)


setup(
    version=project_version(),
    packages=["quarn"],
    package_dir={"": "python"},
    package_data={"quarn": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("quarn._quarn", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
