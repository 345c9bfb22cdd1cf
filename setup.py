"""Builds the wheel's one extension with the CMake build (CMakeLists.txt):
configure, build, then CMake's install rules put the module and its type stub
into the folder the wheel is made from. The name, version and the rest of the
metadata are in pyproject.toml.

Needs CMake 3.18 or later on PATH and the compiler CMake finds (on Windows,
run from a Visual Studio Developer prompt). Runs on Python 3.6 too, whose
setuptools (39 with its pip 9, 59.6 at most) predates the [project] table:
there the metadata is read from pyproject.toml here."""

import io
import os
import re
import subprocess
import sys

import setuptools
from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))

# The width of a Visual Studio build, from the interpreter's platform.
VISUAL_STUDIO_PLATFORMS = {"win32": "Win32", "win-amd64": "x64", "win-arm64": "ARM64"}


def metadata_for_old_setuptools():
    """The [project] table's plain entries as setup() arguments, for a
    setuptools that does not read the table (before 61); none for one that
    does."""
    if int(setuptools.__version__.split(".")[0]) >= 61:
        return {}
    with io.open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
        project = re.search(r"^\[project\]$(.*?)(?=^\[|\Z)", f.read(), re.M | re.S).group(1)
    values = dict(re.findall(r'^([\w-]+) = "(.*)"$', project, re.M))
    return {"name": values["name"], "version": values["version"], "description": values["description"],
            "python_requires": values["requires-python"]}


class CMakeExtension(Extension):
    """An extension whose sources and rules are CMake's."""

    def __init__(self, name):
        Extension.__init__(self, name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        config = "Debug" if self.debug else "Release"
        build = os.path.join(os.path.abspath(self.build_temp), "cmake")
        target = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        configure = ["cmake", "-S", ROOT, "-B", build, "-DPython3_EXECUTABLE=" + sys.executable,
                     "-DCMAKE_BUILD_TYPE=" + config]
        # A Visual Studio generator (CMake's default there) builds for the
        # machine's width unless told the interpreter's.
        generator = os.environ.get("CMAKE_GENERATOR", "")
        platform = VISUAL_STUDIO_PLATFORMS.get(self.plat_name)
        if (self.compiler.compiler_type == "msvc" and platform and "CMAKE_GENERATOR_PLATFORM" not in os.environ
                and (not generator or generator.startswith("Visual Studio"))):
            configure += ["-A", platform]
        compile_ = ["cmake", "--build", build, "--config", config]
        if self.parallel:
            compile_ += ["--parallel", str(self.parallel)]
        install = ["cmake", "--install", build, "--config", config, "--prefix", target]
        for command in (configure, compile_, install):
            print(" ".join(command))
            subprocess.check_call(command)


setup(
    # One extension module and its type stub, both put in place by CMake's
    # install rules; no Python package of the source tree is shipped.
    packages=[],
    py_modules=[],
    ext_modules=[CMakeExtension("m4r_tessavor")],
    cmdclass={"build_ext": CMakeBuild},
    # build/ is the CMake release build of scripts/build.sh
    options={"build": {"build_base": "build-wheel"}},
    **metadata_for_old_setuptools()
)
