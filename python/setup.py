"""The m4r_wxtools wheel: the module and its type stub at the top of
site-packages (metadata in pyproject.toml)."""

import os

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))


class BuildWithStub(build_py):
    """The module's stub goes beside it; setuptools copies only the .py of
    a top-level module."""

    def run(self):
        build_py.run(self)
        self.copy_file(os.path.join(HERE, "m4r_wxtools.pyi"), os.path.join(self.build_lib, "m4r_wxtools.pyi"))


setup(py_modules=["m4r_wxtools"], cmdclass={"build_py": BuildWithStub},
      options={"build": {"build_base": os.path.join(HERE, "..", "build-wheel", "wxtools")}})
