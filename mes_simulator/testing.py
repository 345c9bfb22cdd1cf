"""Run the simulator from tests: a subprocess on a free port with a database of its own.

    with Simulator() as sim:
        conn = _mssql.connect(**sim.connect_args())
        sim.add_scenario("error", serial="SN0001", code=50001, text="MES is down")

The database is seeded with the demo data (see mes/seed.py); `add_unit` adds units of a test's own.
"""

import itertools
import os
import select
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

from .mes import scenarios
from .sql import functions

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_serials = itertools.count(1)


class Simulator:
    def __init__(self, db=None, *, user="mes", password="mes", database="MES", args=(),
                 python=sys.executable, start_timeout=20, root=ROOT, env=None):
        """root: the folder holding the mes_simulator package to run (another copy of it, to
        compare); env: variables added to the server's environment."""
        self.root = root
        self.user, self.password, self.database = user, password, database
        self.db, self.args, self.python = db, list(args), python
        self.start_timeout = start_timeout
        self.env = dict(env or {})  # added to the environment as it is at start()
        self.host = self.port = self.process = self._tmp = self._sql = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        self._tmp = tempfile.mkdtemp(prefix="mes-sim-")
        self.db = self.db or os.path.join(self._tmp, "mes.db")
        self.log = os.path.join(self._tmp, "simulator.log")
        command = [self.python, "-m", "mes_simulator", "--port", "0", "--db", self.db,
                   "--log", self.log, "--user", self.user, "--password", self.password,
                   "--database", self.database, *self.args]
        self.process = subprocess.Popen(command, cwd=self.root, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, text=True,
                                        env=dict(os.environ, **self.env))
        line = self._first_line()
        if not line.startswith("listening on "):
            self.stop()
            raise RuntimeError(f"simulator did not start (said {line!r}); see {self.log}")
        self.host, port = line.split()[-1].rsplit(":", 1)
        self.port = int(port)

    def _first_line(self):
        deadline = time.monotonic() + self.start_timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stdout], [], [], 0.1)
            if ready:
                return self.process.stdout.readline().strip()
            if self.process.poll() is not None:
                return ""
        return ""

    def stop(self):
        """SIGTERM, then wait; returns the exit code (0 when the server stopped cleanly)."""
        if self._sql is not None:
            self._sql.close()
            self._sql = None
        code = None
        if self.process is not None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
            try:
                code = self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                code = self.process.wait()
            self.process.stdout.close()
            self.process = None
        return code

    def cleanup(self):
        """Remove the temporary folder (database and log) after stop()."""
        if self._tmp:
            shutil.rmtree(self._tmp, ignore_errors=True)

    # ------------------------------------------------------------ connecting

    @property
    def server(self):
        return f"{self.host}:{self.port}"

    def connect_args(self, **override):
        """Keyword arguments for _mssql.connect."""
        args = {"server": self.server, "user": self.user, "password": self.password,
                "database": self.database}
        args.update(override)
        return args

    def connect(self, **override):
        from pymssql import _mssql
        return _mssql.connect(**self.connect_args(**override))

    # ------------------------------------------------------------ the database file

    @property
    def sql(self):
        """A connection to the simulator's SQLite file (autocommit)."""
        if self._sql is None:
            self._sql = functions.register(
                sqlite3.connect(self.db, timeout=10, isolation_level=None))
            self._sql.row_factory = sqlite3.Row
        return self._sql

    def add_scenario(self, action, **fields):
        """Add a row to the scenarios table (see README.md); returns its id."""
        return scenarios.add(self.sql, action=action, **fields)

    def clear_scenarios(self):
        self.sql.execute("DELETE FROM scenarios")

    def scenario_hits(self, scenario_id):
        return self.sql.execute("SELECT hits FROM scenarios WHERE id = ?",
                                (scenario_id,)).fetchone()[0]

    def add_unit(self, serial=None, route=("FT1", "FT2", "PACK"), product="M4R-100", step=0,
                 status="ACTIVE", failures=0):
        """Add a unit (a fresh serial number unless one is given); returns its serial number."""
        serial = serial or f"T{os.getpid()}-{next(_serials):04d}"
        self.sql.execute("INSERT INTO units (serial, product, route, step, status, failures)"
                         " VALUES (?, ?, ?, ?, ?, ?)",
                         (serial, product, ",".join(route), step, status, failures))
        return serial

    def unit(self, serial):
        row = self.sql.execute("SELECT * FROM units WHERE serial = ?", (serial,)).fetchone()
        return dict(row) if row else None

    def results(self, serial=None):
        """Rows of the results table (of one unit, if given), oldest first."""
        query, args = "SELECT * FROM results", ()
        if serial is not None:
            query, args = query + " WHERE serial = ?", (serial,)
        return [dict(r) for r in self.sql.execute(query + " ORDER BY id", args)]

    def log_text(self):
        with open(self.log, encoding="utf-8") as f:
            return f.read()
