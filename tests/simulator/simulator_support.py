"""Helpers of the simulator tests (a module of its own name: tests/ has a conftest too)."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from mes_simulator.sql.batch import SAVE_RESULT, UNIT_QUERY  # noqa: E402,F401


def gbk(text):
    return text.encode("gbk")


def query(conn, serial, procedure="FT1", employee="张三", line="一线"):
    """The station's unit query, with its parameters as the station passes them."""
    return conn.execute_row(UNIT_QUERY, (serial, gbk(procedure), gbk(employee), gbk(line)))


def upload(conn, serial, procedure="FT1", verdict="PASS", error_no=0, employee="张三", line="一线"):
    """The station's result upload."""
    return conn.execute_row(SAVE_RESULT, (serial, gbk(procedure), gbk(employee), gbk(line),
                                          verdict, error_no))


_CONNECT = """
import sys
from pymssql import _mssql
try:
    _mssql.connect(server=sys.argv[1], user=sys.argv[2], password=sys.argv[3],
                   database=sys.argv[4]).close()
    print("connected")
except _mssql.MSSQLDatabaseException as exc:
    print(exc.number)
    print(str(exc))
"""


def connect_in_fresh_process(server, user, password, database, env=None):
    """Connect from a new process: the driver keeps its last login error process-wide, so a
    refused login is only reported faithfully by a process that saw no other one.
    Returns the lines printed: ["connected"] or [number, str(exception)]."""
    done = subprocess.run([sys.executable, "-c", _CONNECT, server, user, password, database],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=60,
                          env=dict(os.environ, **(env or {})))
    assert done.returncode == 0, done.stderr
    return done.stdout.rstrip("\n").split("\n", 1)
