"""Load on the MES link: several processes, each with many threads, call
GetUnitInfo and SaveResult against one MES simulator for a while; every
answer is checked, and at the end every upload must be in the simulator's
results table exactly once, in the order it was made.

    /usr/bin/python3 bench/robustness/load.py [--seconds 180] [--processes 3] [--threads 8]

Each thread works its own units through a long route: a query at the
procedure the unit is due at, then an upload there (now and then one or
two FAILs before the PASS, so that the retest count shows in the
answers), and now and then a query for a unit the MES does not know. The
expected answer of each call follows from the unit's state, which only
that thread changes.

The module must close every connection it opens: the real driver keeps
a connection that is not closed open for the life of the process, and
the simulator serves 64 connections at once, so that a leak would fail
the run's later logins (error 17809). The module's `_sql` is therefore the real driver
behind a thin wrapper that counts the connections the module lets go of
without closing them, and closes them, so that the run goes on and
reports the leak. `--plain-driver` runs without the wrapper.

Prints calls, errors, throughput and the check of the results table, and
exits non-zero when an answer was wrong, an upload is missing or
doubled, or a connection was left open. `--json` prints the summary as
one JSON line as well.
"""

import argparse
import collections
import contextlib
import json
import os
import sqlite3
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "robustness"))

import robustness_support as rs  # noqa: E402  (the root and the build on sys.path)
from mes_simulator.sql import functions  # noqa: E402  (units.serial's collation)

ROUTE_LENGTH = 400
FAILS_BEFORE_PASS = (0, 0, 1, 0, 2, 0, 0)  # by step: FAILs before the PASS


# ---------------------------------------------------------------- the driver

class ReleasingDriver:
    """The real driver, counting (and closing) the connections the module
    lets go of without closing them."""

    def __init__(self, real):
        self.real = real
        self.left_open = 0
        self.lock = threading.Lock()

    def connect(self, **kwargs):
        return ReleasingConnection(self, self.real.connect(**kwargs))


class ReleasingConnection:
    def __init__(self, driver, conn):
        self.driver, self.conn, self.closed = driver, conn, False

    def execute_row(self, *args, **kwargs):
        return self.conn.execute_row(*args, **kwargs)

    def close(self):
        self.closed = True
        self.conn.close()

    def __del__(self):
        if not self.closed:
            with self.driver.lock:
                self.driver.left_open += 1
            self.conn.close()


# ---------------------------------------------------------------- one worker process

class Station(threading.Thread):
    """One thread: works its own units and checks every answer."""

    def __init__(self, tv, options, name, deadline, db):
        super().__init__(name=name, daemon=True)
        self.tv, self.options, self.deadline, self.db_path = tv, options, deadline, db
        self.employee = "工位%s" % name
        self.line = "线%s" % name.split("-")[0]
        self.calls = collections.Counter()
        self.errors = []
        self.error_count = 0
        self.uploads = collections.defaultdict(list)  # serial -> [(procedure, verdict, error_no)]
        self.uncertain = collections.Counter()  # serial -> uploads whose fate is not known
        self.units = 0
        self.seconds = 0.0

    def new_unit(self):
        serial = "L%s-%04d" % (self.name, self.units)
        self.units += 1
        db = functions.register(sqlite3.connect(self.db_path, timeout=30))
        with contextlib.closing(db):
            with db:
                db.execute("INSERT INTO units (serial, product, route, step, status, failures)"
                           " VALUES (?, 'M4R-LOAD', ?, 0, 'ACTIVE', 0)",
                           (serial, ",".join("P%03d" % i for i in range(ROUTE_LENGTH))))
        return serial

    def call(self, function, *args):
        o = self.options
        self.calls[function] += 1
        started = time.monotonic()
        try:
            return getattr(self.tv, function)(o.server, o.user, o.password, o.database, *args)
        finally:
            self.seconds += time.monotonic() - started

    def wrong(self, what, expected, got):
        self.error_count += 1
        if len(self.errors) < 20:
            self.errors.append("%s %s: expected %r, got %r" % (self.name, what, expected, got))

    def checked(self, what, expected, function, *args):
        """Makes the call; True when it gave the expected answer."""
        try:
            got = self.call(function, *args)
        except Exception as error:
            got = "%s: %s" % (type(error).__name__, error)
        if got != expected:
            self.wrong(what, expected, got)
            return False
        return True

    def run(self):
        serial, step, upload_number = self.new_unit(), 0, 0
        try:
            while time.monotonic() < self.deadline:
                if step == ROUTE_LENGTH:
                    serial, step = self.new_unit(), 0
                procedure = "P%03d" % step
                who = "by %s on %s" % (self.employee, self.line)
                if not self.checked("query %s at %s" % (serial, procedure),
                                    (0, "Unit %s may be tested at %s %s" % (serial, procedure, who)),
                                    "GetUnitInfo", serial, procedure, self.employee, self.line):
                    serial, step = self.new_unit(), 0
                    continue
                fails = FAILS_BEFORE_PASS[step % len(FAILS_BEFORE_PASS)]
                for attempt in range(fails + 1):
                    verdict = "PASS" if attempt == fails else "FAIL"
                    upload_number += 1
                    error_no = 0 if verdict == "PASS" else upload_number
                    if verdict == "FAIL":
                        after = "retest at %s (%d of 3 failures)" % (procedure, attempt + 1)
                    elif step + 1 < ROUTE_LENGTH:
                        after = "next P%03d" % (step + 1)
                    else:
                        after = "route finished"
                    expected = (0, "Saved %s of %s at %s %s; %s" % (verdict, serial, procedure, who, after))
                    if self.checked("upload %s %s at %s" % (verdict, serial, procedure), expected, "SaveResult",
                                    serial, procedure, self.employee, self.line, verdict == "PASS", error_no):
                        self.uploads[serial].append((procedure, verdict, str(error_no)))
                    else:
                        self.uncertain[serial] += 1
                        step = None
                        break
                if step is None:
                    serial, step = self.new_unit(), 0
                    continue
                step += 1
                if step % 10 == 0:
                    stranger = "NOBODY-%s" % self.name
                    self.checked("query unknown", (1, "Unit %s is unknown" % stranger), "GetUnitInfo",
                                 stranger, procedure, self.employee, self.line)
        except BaseException:
            self.wrong("thread", "no exception", traceback.format_exc())


def worker(options):
    """One process: `--threads` stations until the deadline; prints its
    summary as JSON."""
    import m4r_tessavor as tv
    if not options.plain_driver:
        tv._sql = ReleasingDriver(tv._sql)
    deadline = time.monotonic() + options.seconds
    stations = [Station(tv, options, "%d-%d" % (options.index, i), deadline, options.db)
                for i in range(options.threads)]
    with contextlib.redirect_stdout(rs.Discard()):
        for station in stations:
            station.start()
        for station in stations:
            station.join()
    calls = collections.Counter()
    for station in stations:
        calls.update(station.calls)
    json.dump({
        "calls": dict(calls),
        "errors": sum(s.error_count for s in stations),
        "error_samples": [e for s in stations for e in s.errors][:20],
        "uploads": {serial: rows for s in stations for serial, rows in s.uploads.items()},
        "uncertain": {serial: n for s in stations for serial, n in s.uncertain.items()},
        "busy_seconds": sum(s.seconds for s in stations),
        "left_open": 0 if options.plain_driver else tv._sql.left_open,
        "fds": rs.fd_kinds(),
    }, sys.stdout)


# ---------------------------------------------------------------- the run

def check_results(db_path, uploads, uncertain):
    """Compares the results table with the uploads the stations made:
    (recorded, missing, doubled, wrong) counts and samples of differences."""
    with contextlib.closing(sqlite3.connect(db_path, timeout=30)) as db:
        rows = collections.defaultdict(list)
        for serial, procedure, employee, line, verdict, error_no in db.execute(
                "SELECT serial, procedure, employee, line, verdict, error_no FROM results"
                " WHERE serial LIKE 'L%' ORDER BY id"):
            rows[serial].append((procedure, verdict, error_no))
    recorded = missing = doubled = wrong = 0
    samples = []
    for serial in set(uploads) | set(rows):
        made, found = [tuple(u) for u in uploads.get(serial, [])], rows.get(serial, [])
        recorded += len(found)
        extra = len(found) - len(made)
        if extra < 0:
            missing += -extra
        elif extra > uncertain.get(serial, 0):
            doubled += extra - uncertain.get(serial, 0)
        if found[:len(made)] != made:
            wrong += 1
        if (extra < 0 or extra > uncertain.get(serial, 0) or found[:len(made)] != made) and len(samples) < 5:
            samples.append("%s: made %d, recorded %d" % (serial, len(made), len(found)))
    return recorded, missing, doubled, wrong, samples


def run(options):
    from mes_simulator.testing import Simulator
    sim = Simulator(args=["--max-connections", str(options.max_connections)])
    sim.start()
    try:
        started = time.monotonic()
        processes = [subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--worker", "--index", str(index),
             "--seconds", str(options.seconds), "--threads", str(options.threads), "--server", sim.server,
             "--db", sim.db] + (["--plain-driver"] if options.plain_driver else []),
            stdout=subprocess.PIPE, universal_newlines=True) for index in range(options.processes)]
        reports = []
        for process in processes:
            out, _ = process.communicate()
            if process.returncode != 0:
                raise SystemExit("a worker process failed with exit code %d" % process.returncode)
            reports.append(json.loads(out))
        elapsed = time.monotonic() - started
        uploads, uncertain, calls = {}, {}, collections.Counter()
        for report in reports:
            uploads.update(report["uploads"])
            uncertain.update(report["uncertain"])
            calls.update(report["calls"])
        recorded, missing, doubled, wrong, samples = check_results(sim.db, uploads, uncertain)
        server_code = sim.stop()
    finally:
        sim.stop()
        sim.cleanup()
    total = sum(calls.values())
    summary = {
        "seconds": round(elapsed, 1), "processes": options.processes, "threads": options.threads,
        "calls": total, "GetUnitInfo": calls["GetUnitInfo"], "SaveResult": calls["SaveResult"],
        "errors": sum(r["errors"] for r in reports),
        "uploads_made": sum(len(u) for u in uploads.values()), "uploads_recorded": recorded,
        "missing": missing, "doubled": doubled, "out_of_order": wrong, "units": len(uploads),
        "throughput": round(total / elapsed, 1),
        "mean_ms": round(1000 * sum(r["busy_seconds"] for r in reports) / max(total, 1), 2),
        "left_open_by_module": sum(r["left_open"] for r in reports),
        "sockets_at_end": max(r["fds"].get("socket", 0) for r in reports),
        "server_exit": server_code,
    }
    print("load: %(processes)d processes x %(threads)d threads for %(seconds).1f s" % summary)
    print("calls: %(calls)d (GetUnitInfo %(GetUnitInfo)d, SaveResult %(SaveResult)d), errors: %(errors)d" % summary)
    print("throughput: %(throughput).1f calls/s, mean call %(mean_ms).2f ms" % summary)
    print("uploads: %(uploads_made)d made, %(uploads_recorded)d recorded, %(missing)d missing, "
          "%(doubled)d doubled, %(out_of_order)d units out of order, over %(units)d units" % summary)
    print("connections the module left open: %(left_open_by_module)d; sockets open at the end: %(sockets_at_end)d"
          % summary)
    for report in reports:
        for sample in report["error_samples"]:
            print("  error:", sample)
    for sample in samples:
        print("  results:", sample)
    if options.json:
        print(json.dumps(summary))
    failed = (summary["errors"] or missing or doubled or wrong or summary["uploads_made"] == 0 or server_code != 0
              or summary["left_open_by_module"] or summary["sockets_at_end"])
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=180, help="how long the stations work (default 180)")
    parser.add_argument("--processes", type=int, default=3, help="station processes (default 3)")
    parser.add_argument("--threads", type=int, default=8, help="stations (threads) per process (default 8)")
    parser.add_argument("--max-connections", type=int, default=64, help="the simulator's (default 64)")
    parser.add_argument("--plain-driver", action="store_true", help="the driver without the closing wrapper")
    parser.add_argument("--json", action="store_true", help="also print the summary as a JSON line")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--index", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--server", help=argparse.SUPPRESS)
    parser.add_argument("--db", help=argparse.SUPPRESS)
    options = parser.parse_args()
    options.user = options.password = "mes"
    options.database = "MES"
    if options.worker:
        worker(options)
        return 0
    return run(options)


if __name__ == "__main__":
    sys.exit(main())
