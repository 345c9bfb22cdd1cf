"""Queries of a large results table through the real driver against the MES simulator.

    /usr/bin/python3 bench/bench_sql_engine.py [--rows 100000] [--repeats 5] [--baseline DIR]

Fills a database with --rows results (over 1,000 units), starts the simulator on a copy of it
and times filtered SELECTs of dbo.results as a client sends them, the median of --repeats runs
each; beside each, the same query's SQL run by SQLite directly on the same file in this process
(the floor: what the table costs SQLite itself), and the ratio.  With --baseline DIR (a folder
holding another revision's mes_simulator, e.g. `git archive main mes_simulator | tar -x -C
DIR`) the same queries against that simulator too, on its own copy of the file, and the ratio
baseline/this.  Figures only; nothing is asserted.
"""

import argparse
import os
import shutil
import sqlite3
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from mes_simulator.sql import functions  # noqa: E402
from mes_simulator.testing import Simulator  # noqa: E402

QUERIES = [  # (T-SQL the client sends, SQLite SQL of the same work)
    ("SELECT id, verdict, tested_at FROM dbo.results WHERE serial = 'B0421'",
     "SELECT id, verdict, tested_at FROM results WHERE serial = 'B0421' COLLATE TSQL_CI"),
    ("SELECT COUNT(*), MAX(tested_at) FROM dbo.results WHERE serial = 'B0421' AND verdict = 'FAIL'",
     "SELECT COUNT(*), MAX(tested_at) FROM results WHERE serial = 'B0421' COLLATE TSQL_CI"
     " AND verdict = 'FAIL' COLLATE TSQL_CI"),
    ("SELECT TOP 10 serial, verdict FROM dbo.results ORDER BY id DESC",
     "SELECT serial, verdict FROM results ORDER BY id DESC LIMIT 10"),
]

# The tables as a file made before this revision has them (every revision can open it; this
# one migrates its copy when it starts).
SCHEMA = """
CREATE TABLE units (serial TEXT PRIMARY KEY COLLATE NOCASE, product TEXT NOT NULL,
    route TEXT NOT NULL, step INTEGER NOT NULL DEFAULT 0, status TEXT NOT NULL DEFAULT 'ACTIVE'
    CHECK (status IN ('ACTIVE', 'HOLD', 'SCRAPPED', 'REPAIR')),
    failures INTEGER NOT NULL DEFAULT 0);
CREATE TABLE results (id INTEGER PRIMARY KEY AUTOINCREMENT, serial TEXT NOT NULL,
    procedure TEXT NOT NULL, employee TEXT NOT NULL, line TEXT NOT NULL, verdict TEXT NOT NULL,
    error_no TEXT, tested_at TEXT NOT NULL);
"""


def fill(path, rows):
    db = sqlite3.connect(path)
    db.executescript(SCHEMA)
    db.executemany("INSERT INTO units (serial, product, route) VALUES (?, 'P', 'FT1,FT2')",
                   [("B%04d" % n,) for n in range(1000)])
    db.executemany("INSERT INTO results (serial, procedure, employee, line, verdict, error_no,"
                   " tested_at) VALUES (?, 'FT1', 'e', 'L1', ?, NULL, ?)",
                   [("B%04d" % (n % 1000), "FAIL" if n % 7 == 0 else "PASS",
                     "2024-05-%02d 08:%02d:%02d" % (n % 28 + 1, n % 60, n % 59))
                    for n in range(rows)])
    db.commit()
    db.close()


def median_ms(run, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def client_runs(sim, text):
    conn = sim.connect()

    def run():
        conn.execute_query(text)
        list(conn)
    return conn, run


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--baseline", help="a folder holding another revision's mes_simulator")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="bench-sql-")
    try:
        made = os.path.join(folder, "made.db")
        fill(made, args.rows)
        sims = {"this": Simulator(db=shutil.copy(made, os.path.join(folder, "this.db")))}
        if args.baseline:
            sims["baseline"] = Simulator(db=shutil.copy(made, os.path.join(folder, "base.db")),
                                         root=os.path.abspath(args.baseline))
        for sim in sims.values():
            sim.start()
        direct = functions.register(sqlite3.connect(os.path.join(folder, "this.db")))
        print("%d rows in dbo.results; median of %d runs, ms" % (args.rows, args.repeats))
        for text, sql in QUERIES:
            print(text)
            floor = median_ms(lambda: direct.execute(sql).fetchall(), args.repeats)
            figures = {}
            for name, sim in sims.items():
                conn, run = client_runs(sim, text)
                figures[name] = median_ms(run, args.repeats)
                conn.close()
            line = "  SQLite directly %.2f   this simulator %.2f (%.1fx SQLite)" % (
                floor, figures["this"], figures["this"] / max(floor, 1e-6))
            if "baseline" in figures:
                line += "   baseline %.2f (baseline/this %.1f)" % (
                    figures["baseline"], figures["baseline"] / figures["this"])
            print(line)
        direct.close()
        for sim in sims.values():
            sim.stop()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
