"""The simulator's imports point down: errors at the bottom, then SQL, then the wire and the MES
beside each other, then the session, the server and the command line; no module imports one of a
higher layer or its own neighbour's package, and no import cycle exists between modules.

Read from the source with `ast`, so imports made inside functions count too."""

import ast
import os
import sys

import pytest

from simulator_support import ROOT

PACKAGE = "mes_simulator"

# The top-level piece of the package (a subpackage or a module) -> its layer, lowest first.
LAYERS = {
    "": 0, "errors": 0,
    "sql": 1,
    "wire": 2, "mes": 2,
    "engine": 3, "threads": 3,
    "server": 4,
    "cli": 5, "testing": 5,
    "__main__": 6,
}

pytestmark = pytest.mark.skipif(sys.version_info < (3, 11),
                                reason="the simulator's sources are Python 3.11")


def modules(root):
    """{dotted module name: path} of the package under root."""
    out = {}
    base = os.path.join(root, PACKAGE)
    for folder, _, files in os.walk(base):
        for name in files:
            if not name.endswith(".py"):
                continue
            rel = os.path.relpath(os.path.join(folder, name), root)[:-3].split(os.sep)
            if rel[-1] == "__init__":
                rel = rel[:-1]
            out[".".join(rel)] = os.path.join(folder, name)
    return out


def imports(name, path, known):
    """The package's modules that the module `name` imports."""
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), path)
    is_package = path.endswith("__init__.py")
    here = name.split(".") if is_package else name.split(".")[:-1]
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found.update(a.name for a in node.names if a.name.split(".")[0] == PACKAGE)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                parts = here[:len(here) - node.level + 1] + (node.module.split(".")
                                                              if node.module else [])
                source = ".".join(parts)
            elif (node.module or "").split(".")[0] == PACKAGE:
                source = node.module
            else:
                continue
            for alias in node.names:
                candidate = source + "." + alias.name
                found.add(candidate if candidate in known else source)
    return found


def graph(root):
    known = modules(root)
    return {name: imports(name, path, known) for name, path in known.items()}


def piece(module):
    parts = module.split(".")
    return parts[1] if len(parts) > 1 else ""


def layering_faults(root):
    """What is wrong with the import graph of the package under root, one line per fault."""
    edges = graph(root)
    faults = []
    for module in sorted(edges):
        if piece(module) not in LAYERS:
            faults.append("%s is in no layer" % module)
    for module in sorted(edges):
        for target in sorted(edges[module]):
            if target not in edges:
                faults.append("%s imports %s, which does not exist" % (module, target))
                continue
            mine, theirs = piece(module), piece(target)
            if mine not in LAYERS or theirs not in LAYERS or mine == theirs:
                continue
            if LAYERS[theirs] >= LAYERS[mine]:
                faults.append("%s imports %s, of a layer not below its own" % (module, target))
    # Cycles, by a depth-first walk that keeps the path it is on.
    state, path = {}, []

    def visit(module):
        state[module] = "open"
        path.append(module)
        for target in sorted(edges[module]):
            if target not in edges:
                continue
            if state.get(target) == "open":
                faults.append("import cycle: " + " -> ".join(path[path.index(target):] + [target]))
            elif target not in state:
                visit(target)
        path.pop()
        state[module] = "done"

    for module in sorted(edges):
        if module not in state:
            visit(module)
    return faults


def test_imports_point_down_without_cycles():
    assert layering_faults(ROOT) == []


def test_the_graph_is_read():
    """The reader of imports finds what is there, relative and absolute, at any depth."""
    edges = graph(ROOT)
    assert "mes_simulator.wire.rpc" in edges["mes_simulator.engine"]   # from .wire import rpc
    assert "mes_simulator.errors" in edges["mes_simulator.sql.types"]  # from ..errors import ...
    assert "mes_simulator.mes.procedures" in edges["mes_simulator.mes.seed"]
    assert "mes_simulator.sql.tables" in edges["mes_simulator.sql.ddl"]  # inside a function
    assert edges["mes_simulator.errors"] == set()


@pytest.mark.parametrize("module, line, fault", [
    ("wire/rpc.py", "from ..engine import Session",
     ["mes_simulator.wire.rpc imports mes_simulator.engine, of a layer not below its own"]),
    ("mes/seed.py", "    from ..wire import tds",
     ["mes_simulator.mes.seed imports mes_simulator.wire.tds, of a layer not below its own"]),
    ("sql/types.py", "from . import batch",
     ["import cycle: ", "mes_simulator.sql.batch", "-> mes_simulator.sql.types"]),
    ("sql/types.py", "import mes_simulator.sql.query",
     ["import cycle: ", "mes_simulator.sql.query", "-> mes_simulator.sql.types"]),
    ("errors.py", "from .wire.tds import frame",
     ["mes_simulator.errors imports mes_simulator.wire.tds, of a layer not below its own"]),
    ("odd.py", "", ["mes_simulator.odd is in no layer"]),
])
def test_a_wrong_import_is_found(tmpdir, module, line, fault):
    """A copy of the package with one import added is faulted for it."""
    import shutil
    copy = str(tmpdir.join("copy"))
    shutil.copytree(os.path.join(ROOT, PACKAGE), os.path.join(copy, PACKAGE),
                    ignore=shutil.ignore_patterns("__pycache__"))
    path = os.path.join(copy, PACKAGE, *module.split("/"))
    text = open(path, encoding="utf-8").read() if os.path.exists(path) else ""
    with open(path, "w", encoding="utf-8") as f:
        f.write(text + "\n\ndef _added():\n    pass\n" + line + "\n" if line.startswith(" ")
                else text + "\n" + line + "\n")
    faults = layering_faults(copy)
    assert [f for f in faults if all(part in f for part in fault)], faults
