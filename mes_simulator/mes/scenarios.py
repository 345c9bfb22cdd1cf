"""Scripted faults and answers, read from the `scenarios` table at every login and batch.

Tests write rows into the table while the server runs; the first active row (lowest id) whose
filters all match is taken.  A one-shot row fires once; a persistent row every time.
"""

import sqlite3

SCHEMA = """
CREATE TABLE IF NOT EXISTS scenarios (
    id        INTEGER PRIMARY KEY AUTOINCREMENT,
    serial    TEXT,              -- serial number parameter (case-insensitive); NULL: any
    user_name TEXT,              -- login user name (case-insensitive); NULL: any
    proc      TEXT,              -- 'uspGetUnitInfo' or 'uspSaveResult'; NULL: both
    action    TEXT NOT NULL CHECK (action IN ('answer', 'error', 'delay', 'drop_mid_batch',
                                              'drop_after_login', 'refuse_login')),
    text      TEXT,              -- answer: column 0; error, refuse_login: the message
    code      INTEGER,           -- answer: column 1; error, refuse_login: the error number
    columns   INTEGER NOT NULL DEFAULT 2 CHECK (columns IN (1, 2)),
    severity  INTEGER NOT NULL DEFAULT 16,
    state     INTEGER NOT NULL DEFAULT 1,
    delay     REAL NOT NULL DEFAULT 0,    -- seconds to wait before acting
    partial   INTEGER NOT NULL DEFAULT 0, -- drop_mid_batch: bytes of the reply sent first
    once      INTEGER NOT NULL DEFAULT 1, -- 1: one-shot, 0: persistent
    hits      INTEGER NOT NULL DEFAULT 0, -- how often it fired
    args      TEXT               -- the call's arguments after the serial, as JSON; NULL: any
);
"""

# The point of a connection at which each action is looked for.
AT_LOGIN = ("refuse_login",)
AFTER_LOGIN = ("drop_after_login",)
AT_BATCH = ("answer", "error", "delay", "drop_mid_batch")

FIELDS = ("serial", "user_name", "proc", "action", "text", "code", "columns", "severity",
          "state", "delay", "partial", "once", "args")


def create_table(conn):
    conn.executescript(SCHEMA)
    # A file made before calls were told apart by their arguments gets the column.
    if "args" not in {row[1] for row in conn.execute("PRAGMA table_info(scenarios)")}:
        conn.execute("ALTER TABLE scenarios ADD COLUMN args TEXT")


def take(conn, actions, user, serial=None, proc=None, args=None):
    """Claim the first matching active scenario among these actions; None if there is none.

    At login there is no serial number or procedure yet: only rows without those filters match.
    """
    marks = ", ".join("?" * len(actions))
    while True:
        row = conn.execute(
            f"SELECT * FROM scenarios WHERE action IN ({marks}) AND (once = 0 OR hits = 0)"
            " AND (user_name IS NULL OR user_name = ? COLLATE NOCASE)"
            " AND (serial IS NULL OR serial = ? COLLATE NOCASE)"
            " AND (proc IS NULL OR proc = ? COLLATE NOCASE)"
            " AND (args IS NULL OR args = ?) ORDER BY id LIMIT 1",
            (*actions, user, serial, proc, args)).fetchone()
        if row is None:
            return None
        claimed = conn.execute(
            "UPDATE scenarios SET hits = hits + 1 WHERE id = ? AND (once = 0 OR hits = 0)",
            (row["id"],)).rowcount
        if claimed:  # else another process took the one-shot row first: look again
            return row


class Watch:
    """Which actions the table holds rows that may still fire for, as seen on a read-only
    connection: read again only once another connection has committed since (SQLite's
    data_version), so that the usual case, no scenario at all, costs no query of the table.

        if not watch.any(AT_BATCH): ...  # nothing to take
    """

    def __init__(self, conn):
        self.cursor = conn.cursor()
        self.version = None
        self.actions = frozenset()

    def any(self, actions):
        """Whether a row of one of these actions may fire (True if that cannot be told)."""
        cursor = self.cursor
        try:
            version = cursor.execute("PRAGMA data_version").fetchone()[0]
            if version != self.version:
                self.actions = frozenset(row[0] for row in cursor.execute(
                    "SELECT DISTINCT action FROM scenarios WHERE once = 0 OR hits = 0"))
                self.version = version
        except sqlite3.Error:
            self.version = None
            return True
        return not self.actions.isdisjoint(actions)


def add(conn, **fields):
    """Insert a scenario; returns its id.  Keys are column names of the table."""
    unknown = set(fields) - set(FIELDS)
    if unknown:
        raise ValueError(f"unknown scenario fields: {sorted(unknown)}")
    if fields.get("action") in AT_LOGIN + AFTER_LOGIN and (fields.get("serial") or fields.get("proc")):
        # No serial number or procedure is known while connecting: such a row would never fire.
        raise ValueError(f"{fields['action']} scenarios match by user name only, not serial or proc")
    names = ", ".join(fields)
    cur = conn.execute(f"INSERT INTO scenarios ({names}) VALUES ({', '.join('?' * len(fields))})",
                       tuple(fields.values()))
    return cur.lastrowid
