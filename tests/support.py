"""Where the suite finds the extension and the stand-ins, and which mode it
runs in (see conftest.py). A plain module, so that helper scripts and
subprocesses can set themselves up the same way."""

import os
import sys

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
BUILD = os.path.abspath(os.environ.get("TESSAVOR_BUILD", os.path.join(ROOT, "build")))
STANDINS = os.path.join(TESTS, "standins")
STANDIN_MODE = os.environ.get("TESSAVOR_STANDINS") == "1"

for path in (ROOT, TESTS, BUILD):
    if path not in sys.path:
        sys.path.insert(0, path)


def install_standins():
    """Places the stand-in toolkit and driver first in sys.modules."""
    sys.path.insert(0, STANDINS)
    import importlib
    for name in ("wx", "pymssql", "pymssql._mssql", "m4r_wxtools"):
        sys.modules.pop(name, None)
    for name in ("wx", "pymssql", "pymssql._mssql", "m4r_wxtools"):
        importlib.import_module(name)
    sys.path.remove(STANDINS)
