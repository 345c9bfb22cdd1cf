"""Memory over a million calls of every path of the module: the resident
size stays flat, and under the debug interpreter so do the total
reference count and the number of allocated memory blocks.

    /usr/bin/python3 bench/robustness/memory.py [--calls 1000000]
    TESSAVOR_BUILD=build-dbg python3-dbg bench/robustness/memory.py [--calls 1000000]

Four groups of paths, each run for --calls calls (cycling through its
paths), after a warm-up:

- feedback: process_mes_result of readable rows of every form, of rows
  with three or more double quotes and of unreadable rows (printed
  traceback and MESError), and MESError itself;
- database: GetUnitInfo and SaveResult against a scripted `_sql` (no
  network): answers, connect failures, batch failures, close failures,
  an unreadable answer, a text GBK lacks, an untestable verdict, an
  interruption;
- station file: MESInfo() and Save() in a folder on tmpfs, an unreadable
  file, a value that is not text, a file name that is a folder;
- arguments: every kind of argument error of every function.

The measures are taken at ten points of each group's run; growth is the
last minus the first (after the warm-up). A group fails when the
resident size grows by more than --rss-slack KiB (default 4096, about
four bytes a call over a million calls), or (debug interpreter) the
reference count or the allocated blocks grow by more than one per
thousand calls (at least 1000: caches and free lists). The exit code is 1 when a group fails. The output of the
code under test (log lines, tracebacks) goes nowhere.

The debug interpreter cannot load Debian's wx, so under it (or with
TESSAVOR_STANDINS=1) the stand-in toolkit and driver are used; no path
measured here reaches either.
"""

import argparse
import contextlib
import gc
import os
import shutil
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "robustness"))

import robustness_support as rs  # noqa: E402  (the root and the build on sys.path)
import support  # noqa: E402

DEBUG = hasattr(sys, "gettotalrefcount")
if DEBUG or support.STANDIN_MODE:
    support.install_standins()

import m4r_tessavor as tv  # noqa: E402

ARGS = ("srv", "usr", "pwd", "MES", "SN1", "FT1", "张三", "一线")


class DriverError(Exception):
    pass


def fail(error):
    """Raises a new exception like `error` (one instance raised again and
    again would grow its traceback with every raise)."""
    if error is not None:
        raise type(error)(*error.args)


class Connection:
    def __init__(self, driver):
        self.driver = driver

    def execute_row(self, batch, params):
        fail(self.driver.execute_error)
        return self.driver.row

    def close(self):
        fail(self.driver.close_error)


class Driver:
    """A scripted `_sql` that keeps nothing of the calls made."""

    def __init__(self, row=("OK", 0), connect_error=None, execute_error=None, close_error=None):
        self.row, self.connect_error = row, connect_error
        self.execute_error, self.close_error = execute_error, close_error

    def connect(self, server, user, password, database):
        fail(self.connect_error)
        return Connection(self)


def expect(error, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except error:
        return
    raise AssertionError("%s did not raise %s" % (function.__name__, error.__name__))


# ---------------------------------------------------------------- the paths

def feedback_paths():
    readable = [("OK", 0), ('OK "Unit SN1 may be tested" end', 1), ('x"', 2), ("", 3), (None, 4), ("5",),
                ({0: 'a "b" c', 1: 5}), ["list", 8], ("text", 2, "more")]
    refused = [('a"b"c"d', 1), ('""""', 0)]
    unreadable = [("x",), (), None, (b"b", 1), (123, 0), {"a": 1}, 42]

    def read(row):
        return lambda: tv.process_mes_result(row)

    def refuse(row):
        return lambda: expect(tv.MESError, tv.process_mes_result, row)

    def error_object():
        error = tv.MESError(("row", 1))
        str(error)
        repr(error)

    return ([read(row) for row in readable] + [refuse(row) for row in refused + unreadable] + [error_object])


def database_paths():
    def with_driver(driver, call):
        def path():
            tv._sql = driver
            call()
        return path

    query = lambda: tv.GetUnitInfo(*ARGS)  # noqa: E731
    upload = lambda: tv.SaveResult(*ARGS, True, 0)  # noqa: E731

    class Untestable:
        def __bool__(self):
            raise ValueError("no truth")

    untestable = Untestable()
    return [
        with_driver(Driver(), query),
        with_driver(Driver(row={0: 'OK "fine"', 1: 0}), upload),
        with_driver(Driver(), lambda: tv.SaveResult(*ARGS, None, "E42")),
        with_driver(Driver(connect_error=DriverError("down")), lambda: expect(OSError, query)),
        with_driver(Driver(connect_error=DriverError("down")), lambda: expect(OSError, upload)),
        with_driver(Driver(execute_error=DriverError("batch")), lambda: expect(OSError, query)),
        with_driver(Driver(execute_error=DriverError("batch")), lambda: expect(OSError, upload)),
        with_driver(Driver(close_error=DriverError("close")), lambda: expect(DriverError, query)),
        with_driver(Driver(execute_error=DriverError("b"), close_error=DriverError("c")),
                    lambda: expect(DriverError, query)),
        with_driver(Driver(execute_error=DriverError("b"), close_error=DriverError("c")),
                    lambda: expect(DriverError, upload)),
        with_driver(Driver(row=('a"b"c"d', 1)), lambda: expect(tv.MESError, query)),
        with_driver(Driver(row=('a"b"c"d', 1)), lambda: expect(tv.MESError, upload)),
        with_driver(Driver(), lambda: expect(UnicodeEncodeError, tv.GetUnitInfo, *ARGS[:6], "€", ARGS[7])),
        with_driver(Driver(), lambda: expect(UnicodeEncodeError, tv.SaveResult, *ARGS[:7], "€", True, 0)),
        with_driver(Driver(), lambda: expect(ValueError, tv.SaveResult, *ARGS, untestable, 0)),
        with_driver(Driver(execute_error=KeyboardInterrupt()), lambda: expect(KeyboardInterrupt, query)),
        with_driver(Driver(execute_error=SystemExit()), lambda: expect(SystemExit, upload)),
    ]


def station_file_paths(folder):
    good = os.path.join(folder, "good")
    bad = os.path.join(folder, "bad")
    for name in (good, bad):
        os.mkdir(name)
    with open(os.path.join(good, "info.cfg"), "w") as f:
        f.write("[Other]\nkey = value\n[Sec]\nproducttype = P-1\nmrno = %(producttype)s/7\nopname = 张三\n")
    with open(os.path.join(bad, "info.cfg"), "w") as f:
        f.write("opname = no section\n")
    os.mkdir(os.path.join(folder, "dir.cfg"))

    def in_folder(path, call):
        def run():
            os.chdir(path)
            call()
        return run

    def read():
        tv.MESInfo()

    def read_and_save():
        info = tv.MESInfo()
        info.OPName = "李四 50%"
        info.Save()

    def not_text():
        info = tv.MESInfo()
        info.Slot = 5
        expect(TypeError, info.Save)

    def into_a_folder():
        info = tv.MESInfo()
        info.ININame = os.path.join(folder, "dir.cfg")
        expect(IsADirectoryError, info.Save)

    return [in_folder(good, read), in_folder(good, read_and_save),
            in_folder(bad, lambda: expect(Exception, tv.MESInfo)),
            in_folder(good, not_text), in_folder(good, into_a_folder)]


def argument_paths():
    paths = []
    for qualname, function, params in rs.callables(tv):
        values = list(range(len(params)))
        patterns = [(values[:-1], {}), (values + [9], {}), (values, {params[0]: 0}), (values[:-1], {"zz": 1}),
                    (values, {1: 2}), ([], {})]
        if len(params) == 1:
            patterns.append(([], {params[0]: 0}))
        for args, kwargs in patterns:
            paths.append(lambda f=function, a=args, k=kwargs: refused(f, a, k))
    return paths


def refused(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except TypeError:
        return
    raise AssertionError("%s%r%r was not refused" % (function.__name__, args, kwargs))


# ---------------------------------------------------------------- measuring

def snapshot():
    gc.collect()
    refs = sys.gettotalrefcount() if DEBUG else 0
    return rs.rss_kib(), refs, sys.getallocatedblocks()


def measure(paths, calls, warmup, points=10):
    """Runs the paths in turn for `calls` calls; the snapshots at `points`
    evenly spaced moments (the first after the warm-up)."""
    for index in range(warmup):
        paths[index % len(paths)]()
    taken = [snapshot()]
    step = max(1, calls // points)
    done = 0
    while done < calls:
        for index in range(min(step, calls - done)):
            paths[(done + index) % len(paths)]()
        done += min(step, calls - done)
        taken.append(snapshot())
    return taken


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000, help="calls per group (default 1000000)")
    parser.add_argument("--warmup", type=int, default=20_000, help="warm-up calls per group (default 20000)")
    parser.add_argument("--rss-slack", type=int, default=4096, help="allowed growth of the resident size, KiB")
    parser.add_argument("--group", action="append", help="only these groups (feedback, database, file, arguments)")
    parser.add_argument("--verbose", action="store_true", help="also print the growth at each measuring point")
    options = parser.parse_args()
    # The parser's deprecation warning for the old parser name would fill
    # the warnings registry: the interpreter's memory, not the module's.
    warnings.simplefilter("ignore", DeprecationWarning)
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    folder = tempfile.mkdtemp(prefix="tessavor-memory-", dir=base)
    groups = {"feedback": feedback_paths(), "database": database_paths(),
              "file": station_file_paths(folder), "arguments": argument_paths()}
    chosen = options.group or list(groups)
    print("m4r_tessavor: %s" % tv.__file__)
    print("interpreter: %s%s; tmp folder %s" % (sys.executable, " (debug)" if DEBUG else "", folder))
    print("%-10s %5s %9s %8s %10s %10s %9s %9s  %s" % ("group", "paths", "calls", "seconds", "rss KiB",
                                                    "rss grew", "refs", "blocks", "verdict"))
    failed = False
    real_sql, real_cwd = tv._sql, os.getcwd()
    try:
        for name in chosen:
            paths = groups[name]
            started = time.monotonic()
            with contextlib.redirect_stdout(rs.Discard()), contextlib.redirect_stderr(rs.Discard()):
                taken = measure(paths, options.calls, options.warmup)
            seconds = time.monotonic() - started
            tv._sql = real_sql
            os.chdir(real_cwd)
            (rss0, refs0, blocks0), (rss1, refs1, blocks1) = taken[0], taken[-1]
            rss_grew, refs_grew, blocks_grew = rss1 - rss0, refs1 - refs0, blocks1 - blocks0
            allowed = max(options.calls // 1000, 1000)
            leak = rss_grew > options.rss_slack or (DEBUG and (refs_grew > allowed or blocks_grew > allowed))
            failed |= leak
            print("%-10s %5d %9d %8.1f %10d %+10d %9s %+9d  %s" % (
                name, len(paths), options.calls, seconds, rss1, rss_grew, ("%+d" % refs_grew) if DEBUG else "-",
                blocks_grew, "GROWS" if leak else "flat"), flush=True)
            if options.verbose:
                print("  rss KiB at the points: %s" % " ".join("%+d" % (t[0] - rss0) for t in taken))
                if DEBUG:
                    print("  refs at the points:    %s" % " ".join("%+d" % (t[1] - refs0) for t in taken))
    finally:
        tv._sql = real_sql
        os.chdir(real_cwd)
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
