"""Where the suite finds the extension and the stand-ins, and which mode it
runs in (see conftest.py). A plain module, so that helper scripts and
subprocesses can set themselves up the same way."""

import locale
import os
import sys

TESTS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS)
STANDINS = os.path.join(TESTS, "standins")


def installed_folder():
    """The folder of the installed module that the interpreter imports
    (TESSAVOR_INSTALLED=1: a wheel installed with pip, or `cmake --install`),
    which must not be a build folder."""
    import importlib.util
    spec = importlib.util.find_spec("m4r_tessavor")
    if spec is None or not spec.origin:
        raise ImportError("TESSAVOR_INSTALLED=1, but m4r_tessavor is not installed where %s looks" % sys.executable)
    folder = os.path.dirname(os.path.abspath(spec.origin))
    if os.path.exists(os.path.join(folder, "CMakeCache.txt")):
        raise ImportError("TESSAVOR_INSTALLED=1, but m4r_tessavor is imported from a build folder: %s" % spec.origin)
    return folder


BUILD = (installed_folder() if os.environ.get("TESSAVOR_INSTALLED") == "1"
         else os.path.abspath(os.environ.get("TESSAVOR_BUILD", os.path.join(ROOT, "build"))))
STANDIN_MODE = os.environ.get("TESSAVOR_STANDINS") == "1"

# The module reads and writes info.cfg in the locale's encoding (code page
# 936, GBK, on the station); the tests write theirs in it too, with two
# operators' names it holds: Chinese ones where it can, as on the station.
FILE_ENCODING = locale.getpreferredencoding(False)
OPERATOR, OTHER_OPERATOR = next(
    names for names in [("张三", "王五"), ("Zoë", "Jörg"), ("Zoe", "Joerg")]
    if "".join(names).encode(FILE_ENCODING, "replace").decode(FILE_ENCODING) == "".join(names))

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


# The module's public surface: its functions and, for each class, its own
# members in definition order, with their parameters (None for a class
# attribute). Those with one parameter take it by position only.
FUNCTIONS = {
    "process_mes_result": ["res"],
    "GetUnitInfo": ["server", "user", "password", "database", "serial_number", "procedure", "employee",
                    "line_name"],
    "SaveResult": ["server", "user", "password", "database", "serial_number", "procedure", "employee",
                   "line_name", "result", "error_no"],
}
MEMBERS = {
    "UIDesignOtherInfoDialog": [("__init__", ["self", "parent"]), ("__del__", ["self"]),
                                ("OnRefill", ["self", "event"]), ("OnOK", ["self", "event"])],
    "MESInfo": [("ININame", None), ("__init__", ["self"]), ("Save", ["self"])],
    "MESInfoDialog": [("__init__", ["self", "parent"]), ("OnRefill", ["self", "event"]),
                      ("OnOK", ["self", "event"])],
    "MESError": [("__init__", ["self", "result"]), ("__str__", ["self"])],
}


def callables(tv):
    """(qualified name, function object, parameter names) of every public
    callable of the module `tv`."""
    for name, params in FUNCTIONS.items():
        yield name, getattr(tv, name), params
    for cls_name, members in MEMBERS.items():
        for member, params in members:
            if params is not None:
                yield "%s.%s" % (cls_name, member), vars(getattr(tv, cls_name))[member], params


def python_twin(qualname, params, keywords=False, body="'ran'"):
    """A Python function of the same parameters (a lone one positional-only),
    name and qualified name, whose argument errors are the running
    interpreter's own words; it returns `body`. Python functions have no
    positional-only parameters before 3.8: there a keyword never binds one,
    so the twin for a call with `keywords` takes it through `*args`, which
    no keyword name binds, whatever the name compares equal to."""
    import inspect
    name = qualname.rpartition(".")[2]
    lone = len(params) == 1
    slash = lone and sys.version_info >= (3, 8)
    names = ["*_"] if lone and keywords and not slash else params
    namespace = {}
    exec("def %s(%s%s):\n    return %s" % (name, ", ".join(names), ", /" if slash else "", body), namespace)
    twin = namespace[name]
    twin.__qualname__ = qualname
    twin.__module__ = "m4r_tessavor"
    if lone and not slash:
        twin.__signature__ = inspect.Signature([inspect.Parameter(params[0], inspect.Parameter.POSITIONAL_ONLY)])
    return twin
