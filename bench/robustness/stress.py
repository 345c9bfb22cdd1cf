"""Hostile callers from several threads at once: the host must not crash.

    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \\
      ASAN_OPTIONS=detect_leaks=0 TESSAVOR_BUILD=build-asan \\
      /usr/bin/python3 bench/robustness/stress.py [--calls 1000000] [--threads 4] [--seconds 1800]

Worker threads call every path of the module's functions: the feedback
reader on rows of every form, MESError, GetUnitInfo and SaveResult against
a scripted driver (answers, connect and batch failures), by position, by
keyword, through the call slot with a dictionary, through
functools.partial and bound to an instance; with a procedure text whose
encode drops the call's other arguments; copy and pickle of the functions;
MESInfo() and the stand-in dialog. Meanwhile one thread rebinds module
names (`print` and `MESError` to the feedback reader, `MESError` to a
deeply nested tuple or to a number, `_sql` to a failing driver) and
collects garbage, and another raises an interrupt (a BaseException) in a
random worker at random moments through PyThreadState_SetAsyncExc.

Every call must end in a result or an exception; the driver checks that
each batch receives the texts it was given (a freed argument would arrive
as other text). The run stops after --calls calls or --seconds; it prints
the counts and exits 1 when a batch received wrong values or the module no
longer works afterwards. The stand-in toolkit and driver are used.
"""

import argparse
import copy
import ctypes
import functools
import gc
import os
import pickle
import random
import sys
import tempfile
import threading
import time
from collections import Counter

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import support  # noqa: E402  (the root and the build on sys.path)

support.install_standins()

import m4r_tessavor as tv  # noqa: E402
import wx  # noqa: E402  (the stand-in)

VALUES = ("srv", "usr", "pwd", "MES", "SN-000123", "FT1", "张三", "一线")
ENCODED = (VALUES[4], b"FT1", "张三".encode("gbk"), "一线".encode("gbk"))
NAMES = ("server", "user", "password", "database", "serial_number", "procedure", "employee", "line_name")
ROWS = [("OK", 0), ('a "msg" b', 1), ('one " quote', 2), (None, 3), ("7",), ('a "b" c "d', 4), (), None,
        ("x",), (1, 2)]


class Interrupt(BaseException):
    """What the interrupting thread raises in a worker."""


class Corrupted(Exception):
    """A batch received other values than the call was given."""


class Connection:
    def __init__(self, driver):
        self.driver = driver

    def execute_row(self, batch, values):
        if values[:4] != ENCODED:
            self.driver.corrupted.append(repr(values))
            raise Corrupted(values)
        return ("OK", 0) if len(values) == 4 else ('saved "ok"', 0)

    def close(self):
        pass


class Driver:
    def __init__(self, fail=False):
        self.fail = fail
        self.corrupted = []

    def connect(self, server, user, password, database):
        if self.fail:
            raise RuntimeError("no MES today")
        return Connection(self)


class DropsTheCall(str):
    """A procedure text whose encode calls `drop` (which releases the call's
    other arguments), then allocates texts of the same sizes."""

    def encode(self, *args):
        drop = getattr(self, "drop", None)
        if drop is not None:
            self.drop = None
            drop()
            litter = ["#" * size for size in range(1, 16) for _ in range(20)]
            del litter
        return str(self).encode(*args)


def fresh_arguments(dropping):
    args = ["".join(list(v)) for v in VALUES]
    if dropping:
        args[5] = DropsTheCall(args[5])
    return args


class Holder:
    pass


def database_call(rng, func, extra):
    dropping = rng.random() < 0.5
    args = fresh_arguments(dropping) + extra
    how = rng.randrange(5)
    if how == 0:
        return func(*args)
    if how == 1:
        return func(**dict(zip(NAMES + ("result", "error_no"), args)))
    if how == 2:
        arguments = dict(zip(NAMES + ("result", "error_no"), args))
        if dropping:
            args[5].drop = arguments.clear
        del args
        return type(func).__call__(func, **arguments)
    if how == 3:
        call = functools.partial(func, *args)
        if dropping:
            args[5].drop = lambda: call.__setstate__((print, (), {}, None))
        del args
        return call()
    Holder.method = func
    call = functools.partial(Holder().method, *args[1:])
    if dropping:
        args[5].drop = lambda: call.__setstate__((print, (), {}, None))
    del args
    return call()


def one_call(rng, folder):
    kind = rng.randrange(10)
    if kind < 4:
        return "reader", tv.process_mes_result(rng.choice(ROWS))
    if kind < 6:
        return "GetUnitInfo", database_call(rng, tv.GetUnitInfo, [])
    if kind < 8:
        return "SaveResult", database_call(rng, tv.SaveResult, [rng.random() < 0.5, 3])
    if kind == 8:
        error = tv.MESError(rng.choice(ROWS))
        return "MESError", (str(error), error.args)
    what = rng.randrange(4)
    if what == 0:
        func = rng.choice([tv.GetUnitInfo, tv.process_mes_result, vars(tv.MESError)["__init__"]])
        return "copy", (copy.copy(func) is func, pickle.loads(pickle.dumps(func)) is func)
    if what == 1:
        return "MESInfo", tv.MESInfo().OPName
    if what == 2:
        dialog = tv.MESInfoDialog(None)
        dialog.OnRefill(True)
        dialog.Destroy()
        return "dialog", wx.reset()  # the stand-in keeps a record of every call
    return "arguments", tv.GetUnitInfo(*VALUES[:3], serial_number=1, **{"zz": 2})


def calls(index, state, folder, rng, outcomes):
    while not state["stop"]:
        try:
            try:
                name, _ = one_call(rng, folder)
                outcomes[name + ": returned"] += 1
            except Exception as error:
                outcomes["raised " + type(error).__name__] += 1
        except Interrupt:
            outcomes["interrupted"] += 1
        state["calls"][index] += 1


def worker(index, state, folder):
    # No lock here: an interrupt may land anywhere in this loop, also
    # between two calls.
    rng = random.Random(index)
    outcomes = state["outcomes"][index]
    while not state["stop"]:
        try:
            calls(index, state, folder, rng, outcomes)
        except Interrupt:
            outcomes["interrupted between calls"] += 1


def nested(depth):
    value = tv.MESError
    for _ in range(depth):
        value = (value,)
    return value


def rebinder(state, drivers):
    rng = random.Random(1000)
    saved = dict(vars(tv))
    rebinds = Counter()
    while not state["stop"]:
        choice = rng.randrange(6)
        if choice == 0:
            tv.print = tv.process_mes_result
        elif choice == 1:
            tv.MESError = tv.process_mes_result
        elif choice == 2:
            tv.MESError = nested(rng.randrange(1, 20000))
        elif choice == 3:
            tv.MESError = 1
        elif choice == 4:
            tv._sql = drivers["failing"]
        rebinds[choice] += 1
        time.sleep(rng.random() * 0.002)
        vars(tv).pop("print", None)
        tv.MESError = saved["MESError"]
        tv._sql = drivers["good"]
        if rebinds[choice] % 8 == 0:
            gc.collect()
            rebinds["collections"] += 1
        time.sleep(rng.random() * 0.01)
    state["collections"] = rebinds.pop("collections", 0)
    state["rebinds"] = sum(rebinds.values())


def interrupter(state, workers):
    rng = random.Random(2000)
    set_async = ctypes.pythonapi.PyThreadState_SetAsyncExc
    set_async.argtypes = (ctypes.c_ulong, ctypes.py_object)
    sent = 0
    while not state["stop"]:
        target = rng.choice(workers)
        if target.ident is not None and target.is_alive():
            sent += set_async(target.ident, Interrupt)
        time.sleep(rng.random() * 0.004)
    state["interrupts"] = sent


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1000000)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=1800)
    options = parser.parse_args()

    sys.setswitchinterval(0.0005)
    threading.stack_size(64 * 1024 * 1024)  # module cycles recurse to the limit, sanitizers widen frames
    drivers = {"good": Driver(), "failing": Driver(fail=True)}
    tv._sql = drivers["good"]
    app = wx.App()  # noqa: F841
    folder = tempfile.mkdtemp(prefix="tessavor-stress-")
    os.chdir(folder)
    quiet = open(os.devnull, "w")
    real_stdout, real_stderr = sys.stdout, sys.stderr
    sys.stdout = sys.stderr = quiet

    # Every path once before the threads start, so that the modules that
    # the paths import lazily (traceback's linecache and tokenize, pickle's
    # helpers) are imported: an interrupt inside the import machinery can
    # leave one of its module locks held for good, which is the
    # interpreter's business, not the module's.
    warm = random.Random(0)
    for _ in range(2000):
        try:
            one_call(warm, folder)
        except Exception:
            pass

    state = {"stop": False, "calls": [0] * options.threads,
             "outcomes": [Counter() for _ in range(options.threads)]}
    started = time.time()
    workers = [threading.Thread(target=worker, args=(i, state, folder)) for i in range(options.threads)]
    helpers = [threading.Thread(target=rebinder, args=(state, drivers)),
               threading.Thread(target=interrupter, args=(state, workers))]
    for thread in workers + helpers:
        thread.start()
    deadline = started + options.seconds
    while (sum(state["calls"]) < options.calls and time.time() < deadline and
           any(thread.is_alive() for thread in workers)):
        time.sleep(0.2)
    state["stop"] = True
    lost = sum(not thread.is_alive() for thread in workers)  # an interrupt in their own handler
    for thread in helpers + workers:
        thread.join()
    elapsed = time.time() - started
    sys.stdout, sys.stderr = real_stdout, real_stderr

    outcomes = Counter()
    for counts in state["outcomes"]:
        outcomes.update(counts)
    corrupted = drivers["good"].corrupted + drivers["failing"].corrupted
    still_works = tv.process_mes_result(("after", 0)) == (0, "after")
    print("calls: %d in %.1f s (%d threads, %d ended early); %d rebinding rounds, %d garbage collections, "
          "%d interrupts sent (one sent before the last was raised replaces it)"
          % (sum(state["calls"]), elapsed, options.threads, lost, state.get("rebinds", 0),
             state.get("collections", 0), state.get("interrupts", 0)))
    print("(AttributeError, KeyError and PicklingError come from this script's own use of MESError while it is "
          "rebound)")
    for name, count in sorted(outcomes.items()):
        print("  %-32s %9d" % (name, count))
    print("batches with other values than given: %d; module works afterwards: %s" % (len(corrupted), still_works))
    if corrupted:
        print("  first: %s" % corrupted[0])
    return 0 if still_works and not corrupted else 1


if __name__ == "__main__":
    sys.exit(main())
