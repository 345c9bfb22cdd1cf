"""Helpers of the end-to-end tests (a module of its own name: tests/ and
tests/simulator have helper modules too)."""

import json
import os
import subprocess
import sys

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

NONE_MESSAGE = "MES 系统返回“None”数据，默认为 SUCCESS"
CONNECT_FAILED = "SQLError: Connect to Database Server Failed: "
FAILED = {"GetUnitInfo": "SQLError: uspGetUnitInfo Failed: ",
          "SaveResult": "SQLError: uspSaveResult Failed: "}
PROCEDURE = {"GetUnitInfo": "uspGetUnitInfo", "SaveResult": "uspSaveResult"}


class Station:
    """A test station: the module's two calls with the simulator's address
    and login, and the station's usual employee and line."""

    def __init__(self, tv, sim):
        self.tv = tv
        self.login = (sim.server, sim.user, sim.password, sim.database)

    def query(self, serial, procedure="FT1", employee="张三", line="一线"):
        return self.tv.GetUnitInfo(*self.login, serial, procedure, employee, line)

    def upload(self, serial, procedure="FT1", result=True, error_no=0, employee="张三", line="一线"):
        return self.tv.SaveResult(*self.login, serial, procedure, employee, line, result, error_no)

    def call(self, function, serial="SN0001", procedure="FT1"):
        """GetUnitInfo or SaveResult (a PASS) by name."""
        if function == "GetUnitInfo":
            return self.query(serial, procedure)
        return self.upload(serial, procedure)


def arguments(function, login, serial="SN0001", procedure="FT1"):
    """The positional arguments of a call, as a station makes it."""
    extra = [True, 0] if function == "SaveResult" else []
    return [*login, serial, procedure, "张三", "一线", *extra]


_CALL = r"""
import json, sys
sys.path.insert(0, sys.argv[1])
import support  # puts the repository root and the build folder on sys.path
import m4r_tessavor as tv
function, args = sys.argv[2], json.loads(sys.argv[3])
try:
    out = {"returned": list(getattr(tv, function)(*args))}
except Exception as exc:
    context = exc.__context__
    out = {"raised": "%s.%s" % (type(exc).__module__, type(exc).__name__), "text": str(exc),
           "cause": repr(exc.__cause__),
           "context": context and "%s.%s" % (type(context).__module__, type(context).__name__),
           "context_text": str(context), "number": getattr(context, "number", None)}
print(json.dumps(out))
"""


def call_in_fresh_process(function, args):
    """tv.<function>(*args) in a new interpreter, for login failures: the
    driver keeps the last login error process-wide, so only a process that
    saw no other refusal reports one faithfully. Returns the outcome as a
    dict: {"returned": [code, msg]} or {"raised": ..., "text": ...,
    "context": ..., "context_text": ..., "number": ...}."""
    done = subprocess.run([sys.executable, "-c", _CALL, TESTS, function, json.dumps(args)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def open_connections(port):
    """Client connections to this port that are still established, from the
    host's TCP table. A close by the client takes its socket out of that
    state at once, so the count is exact right after a call returns."""
    count = 0
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            remote, state = fields[2], fields[3]
            if state == "01" and int(remote.rsplit(":", 1)[1], 16) == port:
                count += 1
    return count
