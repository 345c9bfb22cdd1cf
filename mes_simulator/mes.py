"""The MES behind dbo.uspGetUnitInfo and dbo.uspSaveResult, kept in SQLite.

Every unit follows its route, an ordered list of procedures; `step` is the index of the
procedure it is due at (equal to the route's length once it has finished).  Codes and texts
are listed in README.md.
"""

import sqlite3
from contextlib import contextmanager
from datetime import datetime, timezone

from .sql import functions

SCHEMA = """
CREATE TABLE IF NOT EXISTS units (
    serial   TEXT PRIMARY KEY COLLATE TSQL_CI,  -- case and trailing blanks ignored
    product  TEXT NOT NULL,
    route    TEXT NOT NULL,                  -- procedures in order, comma-separated
    step     INTEGER NOT NULL DEFAULT 0,     -- index into route; its length once finished
    status   TEXT NOT NULL DEFAULT 'ACTIVE'
             CHECK (status IN ('ACTIVE', 'HOLD', 'SCRAPPED', 'REPAIR')),
    failures INTEGER NOT NULL DEFAULT 0      -- FAIL results in a row at the current step
);
CREATE TABLE IF NOT EXISTS results (
    id        INTEGER PRIMARY KEY AUTOINCREMENT,
    serial    TEXT NOT NULL,
    procedure TEXT NOT NULL,
    employee  TEXT NOT NULL,
    line      TEXT NOT NULL,
    verdict   TEXT NOT NULL,
    error_no  TEXT,
    tested_at TEXT NOT NULL                  -- UTC, 'YYYY-MM-DD HH:MM:SS'
);
CREATE INDEX IF NOT EXISTS results_serial ON results (serial COLLATE TSQL_CI);
"""

MAX_FAILURES = 3  # FAIL results in a row at one step before the unit goes to repair

OK = 0
UNKNOWN_UNIT = 1
WRONG_PROCEDURE = 2
FINISHED = 3
ON_HOLD = 4
SCRAPPED = 5
IN_REPAIR = 6
BAD_VERDICT = 7
MISSING = 9

_STATUS_CODES = {"HOLD": (ON_HOLD, "is on hold"), "SCRAPPED": (SCRAPPED, "is scrapped"),
                 "REPAIR": (IN_REPAIR, "is in repair")}


def session(path):
    """A client's own connection to the database file, in autocommit mode; it waits for no
    lock unless told to (PRAGMA busy_timeout)."""
    conn = sqlite3.connect(path, timeout=0, isolation_level=None, check_same_thread=False)
    conn.row_factory = sqlite3.Row
    functions.register(conn)
    return conn


def connect(path):
    """Open the database file (creating the MES tables if missing) in autocommit mode."""
    conn = sqlite3.connect(path, timeout=10, isolation_level=None, check_same_thread=False)
    conn.row_factory = sqlite3.Row
    functions.register(conn)
    conn.execute("PRAGMA journal_mode=WAL")
    _migrate(conn)
    conn.executescript(SCHEMA)
    return conn


def _migrate(conn):
    """A file made before units.serial compared as the database's collation: its table is
    rebuilt with the collation (a serial number that differs from another one only by case or
    trailing blanks keeps its first row)."""
    found = conn.execute("SELECT sql FROM sqlite_master WHERE name = 'units'").fetchone()
    if found is None or functions.COLLATION in found[0]:
        return
    conn.execute("BEGIN IMMEDIATE")
    try:
        conn.execute("ALTER TABLE units RENAME TO units_before")
        conn.execute(SCHEMA[:SCHEMA.index("\n);") + 3])
        conn.execute("INSERT OR IGNORE INTO units SELECT * FROM units_before ORDER BY rowid")
        conn.execute("DROP TABLE units_before")
    except BaseException:
        conn.execute("ROLLBACK")
        raise
    conn.execute("COMMIT")


def route_of(unit):
    return unit["route"].split(",")


def _show(value):
    """A value as echoed inside the quoted message: it must not add double quotes of its own."""
    return value.replace('"', "'")


def _ok(message):
    return f'OK "{message}"'


def _ng(message):
    return f'NG "{message}"'


def _missing(names, values):
    for name, value in zip(names, values):
        if value is None or not value.rstrip(" "):
            return MISSING, _ng(f"Missing parameter: {name}")
    return None


def _check_unit(conn, serial, procedure):
    """(unit, None) if the unit is due at this procedure, else (None, (code, feedback))."""
    unit = conn.execute("SELECT * FROM units WHERE serial = ?", (serial.rstrip(" "),)).fetchone()
    if unit is None:
        return None, (UNKNOWN_UNIT, _ng(f"Unit {_show(serial)} is unknown"))
    sn, route = _show(unit["serial"]), route_of(unit)
    if unit["status"] in _STATUS_CODES:
        code, state = _STATUS_CODES[unit["status"]]
        return None, (code, _ng(f"Unit {sn} {state}"))
    if unit["step"] >= len(route):
        return None, (FINISHED, _ng(f"Unit {sn} has finished its route {' -> '.join(route)}"))
    due = route[unit["step"]]
    if due.casefold() != procedure.rstrip(" ").casefold():
        return None, (WRONG_PROCEDURE, _ng(f"Unit {sn} is due at {_show(due)}, not at {_show(procedure)}"))
    return unit, None


def get_unit_info(conn, serial, procedure, employee, line):
    """dbo.uspGetUnitInfo: may the unit be tested at this procedure?  (code, feedback)"""
    refused = _missing(("serial number", "procedure", "employee", "line"),
                       (serial, procedure, employee, line))
    if refused:
        return refused
    unit, refused = _check_unit(conn, serial, procedure)
    if refused:
        return refused
    due = route_of(unit)[unit["step"]]
    return OK, _ok(f"Unit {_show(unit['serial'])} may be tested at {_show(due)} "
                   f"by {_show(employee)} on {_show(line)}")


def save_result(conn, serial, procedure, employee, line, verdict, error_no):
    """dbo.uspSaveResult: record a verdict and move the unit on.  (code, feedback)"""
    refused = _missing(("serial number", "procedure", "employee", "line", "result"),
                       (serial, procedure, employee, line, verdict))
    if refused:
        return refused
    verdict = verdict.rstrip(" ").upper()
    if verdict not in ("PASS", "FAIL"):
        return BAD_VERDICT, _ng(f"Invalid result {_show(verdict)}: expected PASS or FAIL")
    with _transaction(conn):
        unit, refused = _check_unit(conn, serial, procedure)
        if refused:
            return refused
        route, step, failures = route_of(unit), unit["step"], unit["failures"]
        sn, done_at = unit["serial"], route[step]
        conn.execute(
            "INSERT INTO results (serial, procedure, employee, line, verdict, error_no, tested_at)"
            " VALUES (?, ?, ?, ?, ?, ?, ?)",
            (sn, done_at, employee, line, verdict, error_no,
             datetime.now(timezone.utc).strftime("%Y-%m-%d %H:%M:%S")))
        if verdict == "PASS":
            step, failures, status = step + 1, 0, "ACTIVE"
            after = f"next {_show(route[step])}" if step < len(route) else "route finished"
        else:
            failures += 1
            status = "REPAIR" if failures >= MAX_FAILURES else "ACTIVE"
            after = ("unit sent to repair" if status == "REPAIR"
                     else f"retest at {_show(done_at)} ({failures} of {MAX_FAILURES} failures)")
        conn.execute("UPDATE units SET step = ?, failures = ?, status = ? WHERE serial = ?",
                     (step, failures, status, sn))
        return OK, _ok(f"Saved {verdict} of {_show(sn)} at {_show(done_at)} by {_show(employee)} "
                       f"on {_show(line)}; {after}")


@contextmanager
def _transaction(conn):
    """All of a procedure's writes or none; inside a client's open transaction, a savepoint."""
    if conn.in_transaction:
        conn.execute("SAVEPOINT proc")
        try:
            yield
        except BaseException:
            # An interrupted write has had SQLite roll the whole transaction back already.
            if conn.in_transaction:
                conn.execute("ROLLBACK TO proc")
            raise
        conn.execute("RELEASE proc")
        return
    conn.execute("BEGIN IMMEDIATE")
    try:
        yield
    except BaseException:
        if conn.in_transaction:  # not when an interrupted write has ended it already
            conn.execute("ROLLBACK")
        raise
    conn.execute("COMMIT")


class Transaction:
    """A client's transaction over the MES tables (BEGIN TRAN ... COMMIT or ROLLBACK).

    Until its first write it reads committed data as every other client does, as SQL Server's
    READ COMMITTED does; the first write takes SQLite's write lock on the client's own
    connection (BEGIN IMMEDIATE), held until COMMIT or ROLLBACK.  begin() and end() run on the
    client's own thread (transport.SessionThread, `thread` here once it writes); which
    transaction may take the lock, and how long others wait for it, the server decides on its
    event loop (server.Server.lock).

    Its savepoints (SAVE TRANSACTION) are SQLite's, named by their place on the stack: sp1 is
    the first.  One set before the first write is set on the connection as the write lock is
    taken, so that rolling back to it undoes that write and keeps the transaction.
    """

    def __init__(self, path):
        self.path = path
        self.conn = None
        self.thread = None
        self.locking = False  # it holds the write lock, or is about to take it
        self.savepoints = []  # the names SAVE TRANSACTION gave, oldest first

    def save(self, name):
        """SAVE TRANSACTION name (on the transaction's thread once it writes)."""
        self.savepoints.append(name)
        if self.conn is not None:
            self.conn.execute(f"SAVEPOINT sp{len(self.savepoints)}")

    def has_savepoint(self, name):
        return name in self.savepoints

    def rollback_to(self, name):
        """ROLLBACK TRANSACTION name: undo what was done since the latest savepoint of that
        name; it stays, the ones after it are gone (as SQLite's ROLLBACK TO does)."""
        place = len(self.savepoints) - self.savepoints[::-1].index(name)
        del self.savepoints[place:]
        if self.conn is not None:
            self.conn.execute(f"ROLLBACK TO sp{place}")

    def begin(self, conn, timeout):
        """Take the write lock on the client's connection, unless taken already; timeout:
        seconds to wait for a lock held outside this server."""
        if self.conn is None:
            conn.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
            conn.execute("BEGIN IMMEDIATE")
            try:
                for place in range(1, len(self.savepoints) + 1):
                    conn.execute(f"SAVEPOINT sp{place}")
            except BaseException:
                conn.execute("ROLLBACK")
                raise
            self.conn = conn

    def end(self, how):
        """COMMIT or ROLLBACK."""
        conn, self.conn = self.conn, None
        if conn is not None and conn.in_transaction:
            conn.execute(how)


def sql_read(conn, function):
    """A client's query of the MES tables: function(conn) reads them."""
    return function(conn)


def sql_write(conn, function):
    """A client's INSERT, UPDATE or DELETE: all of function(conn)'s writes or none."""
    with _transaction(conn):
        return function(conn)


WRITES = {"uspSaveResult", "sql_write"}


PROCEDURES = {"uspGetUnitInfo": get_unit_info, "uspSaveResult": save_result,
              "sql_read": sql_read, "sql_write": sql_write}


def call(conn, procedure, args):
    return PROCEDURES[procedure](conn, *args)
