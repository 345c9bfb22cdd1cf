"""How much faster m4r_tessavor is than the same module written in Python.

    xvfb-run -a /usr/bin/python3 bench/bench_module.py [--quick] [--json FILE]

Runs the extension (build/, or the folder named by TESSAVOR_BUILD) and its
pure-Python twin (bench/twin.py) in the same process, in alternating rounds
together with a floor: the least work the operation needs, done by calling
the same library functions directly. For each operation it prints the time
per call of module, twin and floor (median of the rounds), the ratio
module/twin, each one's overhead above the floor (median over the rounds of
its time minus the floor's time in the same round) and the ratio of the two
overheads. The aim is an overhead ratio of at most 0.5 for every operation
and, for GetUnitInfo against the MES simulator, a module share of the round
trip under 2%.

Standard output of the code under test (the log line of every MES answer)
goes to a writer on /dev/null, and so does standard error (the traceback of
an unreadable answer). See bench/README.md for what each row measures.
"""

import argparse
import configparser
import contextlib
import ctypes
import fcntl
import gc
import importlib
import io
import itertools
import json
import math
import os
import platform
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
import warnings

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(BENCH), "tests"))
import support  # noqa: E402  (puts the repository, tests/ and the build folder on sys.path)

BUILD = support.BUILD

PREFIX = "TVR MES GetUnitInfo: "
UNIT_QUERY_BATCH = ("\n"
                    "DECLARE @OutPutxmls nvarchar(4000), @RETURN int ;\n"
                    "exec dbo.uspGetUnitInfo %s, %s, %s, %s, @OutPutxmls OUT, @RETURN OUT ;\n"
                    "SELECT @OutPutxmls, @RETURN;\n")
UPLOAD_BATCH = ("\n"
                "DECLARE @Msg nvarchar(500), @RETURN int ;\n"
                "exec dbo.uspSaveResult %s, %s, %s, %s, %s, %s, @Msg OUT, @RETURN OUT ;\n"
                "SELECT @Msg, @RETURN;\n")
INFO_VALUES = ("M4R-100", "MR-0042", "张三", "F2")   # ProductType, MRNo, OPName, Slot
DEFAULTS = {"producttype": "", "mrno": "", "slot": "", "opname": ""}

# Answer rows as the driver gives them ({column: value}), one per form the
# reader knows.
ROWS = [
    ("three-token text", {0: 'OK "Unit SN0001 may be tested at FT1 by 张三 on 一线"', 1: 0}, False),
    ("one-token text", {0: "Unit SN0001 may be tested", 1: 0}, False),
    ("None text", {0: None, 1: 0}, False),
    ("one column", {0: "0"}, False),
    ("invalid -> MESError", {0: 'NG "a" "b"', 1: 1}, True),
    ("unreadable -> MESError", {0: None}, True),   # int(None): traceback, then MESError
]


# ---------------------------------------------------------------- measuring

class Variant:
    """One way of doing the operation: a statement run `n` times in a loop
    compiled for it, with `names` as the loop's local variables."""

    def __init__(self, stmt, names, before_round=None):
        params = ", ".join(["_n"] + list(names))
        source = "def _loop(%s):\n    for _ in range(_n):\n%s\n" % (params, textwrap.indent(stmt, " " * 8))
        namespace = {}
        exec(compile(source, "<bench loop>", "exec"), namespace)
        self.loop = namespace["_loop"]
        self.names = dict(names)
        self.before_round = before_round

    def run(self, n, depth=0):
        """Seconds per call over n calls, run `depth` calls deep."""
        if self.before_round is not None:
            self.before_round()
        gc.collect()
        gc.disable()
        try:
            elapsed = at_depth(depth, self.timed, n)
        finally:
            gc.enable()
        return elapsed / n / 1e9

    def timed(self, n):
        # A few calls first, untimed: gc.collect() has just walked the whole
        # heap, and a short round would otherwise be timed with cold caches.
        self.loop(max(1, n // 20), **self.names)
        start = time.perf_counter_ns()
        self.loop(n, **self.names)
        return time.perf_counter_ns() - start


# The interpreter keeps its frames in chunks of memory. Where a chunk ends
# relative to the frames an operation makes changes its cost: at some depths
# a chunk is taken and given back on many of the calls into configparser,
# tens of thousands of instructions per MESInfo(). The rounds therefore run
# at depths that change from round to round, the same for the three
# variants of a round.
DEPTHS = (0, 13, 26, 39, 52)


def at_depth(depth, function, *args):
    if depth:
        return at_depth(depth - 1, function, *args)
    return function(*args)


def median_interval(values):
    """The median and a distribution-free ~95% interval for it (order
    statistics of the binomial)."""
    ordered = sorted(values)
    n = len(ordered)
    k = max(0, int(math.floor((n - 1.96 * math.sqrt(n)) / 2)))
    return statistics.median(ordered), ordered[k], ordered[max(k, n - 1 - k)]


class Result:
    def __init__(self, name, module, twin, floor, note=""):
        """module, twin, floor: seconds per call, one value per round (the
        same rounds, so that they pair up)."""
        self.name, self.note = name, note
        self.rounds = len(module)
        self.module = statistics.median(module)
        self.twin = statistics.median(twin)
        self.floor = statistics.median(floor)
        self.module_over, m_lo, m_hi = median_interval([m - f for m, f in zip(module, floor)])
        self.twin_over, t_lo, t_hi = median_interval([t - f for t, f in zip(twin, floor)])
        self.noise = max(m_hi - m_lo, t_hi - t_lo) / 2
        self.raw = {"module": module, "twin": twin, "floor": floor}

    @property
    def ratio(self):
        return self.module / self.twin

    @property
    def over_ratio(self):
        if self.twin_over <= 0:
            return None
        return self.module_over / self.twin_over

    def verdict(self):
        r = self.over_ratio
        if r is None:
            return "n/a"
        met = r <= 0.5
        # Undecided when the answer flips within the noise of the overheads.
        lo = (self.module_over - self.noise) / (self.twin_over + self.noise)
        hi = (self.module_over + self.noise) / max(self.twin_over - self.noise, 1e-15)
        if self.twin_over - self.noise <= 0 or (lo <= 0.5) != (hi <= 0.5):
            return ("met" if met else "not met") + "?"
        return "met" if met else "NOT MET"

    def as_dict(self):
        return {"operation": self.name, "rounds": self.rounds, "module_s": self.module,
                "twin_s": self.twin, "floor_s": self.floor, "ratio": self.ratio,
                "module_overhead_s": self.module_over, "twin_overhead_s": self.twin_over,
                "overhead_noise_s": self.noise, "overhead_ratio": self.over_ratio, "aim": self.verdict(),
                "note": self.note, "rounds_s": self.raw}


def calibrate(variant, target_s, cap):
    """Calls per round so that one round of `variant` takes about target_s."""
    n = 1
    while True:
        per_call = variant.run(n)
        if per_call * n >= target_s / 4 or n >= cap:
            break
        n *= 4
    return max(1, min(cap, int(target_s / max(per_call, 1e-9))))


def compare(op, rounds, target_s):
    """Alternating rounds of the three variants (the order rotates from
    round to round); one warm-up round each first."""
    after_round = op.after_round or (lambda: None)
    n = calibrate(op.variants[0], target_s, op.cap)
    after_round()
    times = [[], [], []]
    for v in op.variants:
        v.run(max(1, n // 4))
        after_round()
    for r in range(rounds):
        for i in [(r + k) % 3 for k in range(3)]:
            times[i].append(op.variants[i].run(n, DEPTHS[r % len(DEPTHS)]))
            after_round()
    return Result(op.name, *times, note=op.note)


class Quiet:
    """Standard output and error to a writer on /dev/null while the code
    under test runs."""

    def __enter__(self):
        self.saved = sys.stdout, sys.stderr
        self.sink = io.TextIOWrapper(open(os.devnull, "wb"), encoding="utf-8", errors="replace")
        sys.stdout = sys.stderr = self.sink
        return self

    def __exit__(self, *exc):
        sys.stdout, sys.stderr = self.saved
        self.sink.close()


# ---------------------------------------------------------------- the two modules

def load_modules():
    """The extension (from the build folder) and the twin, as module objects."""
    import m4r_tessavor
    if BENCH not in sys.path:
        sys.path.insert(0, BENCH)
    twin = importlib.import_module("twin")
    if os.path.dirname(os.path.abspath(twin.__file__)) != BENCH:
        raise ImportError("another module called twin was found first: %s" % twin.__file__)
    return m4r_tessavor, twin


class Op:
    """One operation: its three variants and how to run their rounds."""

    def __init__(self, name, module, twin, floor, note, cap=10 ** 6, after_round=None, slow=False):
        self.name, self.note = name, note
        self.variants = (module, twin, floor)
        self.cap, self.after_round, self.slow = cap, after_round, slow


@contextlib.contextmanager
def in_folder(prefix, info=False):
    """A fresh working folder on tmpfs (/dev/shm), with info.cfg saved in it
    when `info`; removed afterwards."""
    folder = tempfile.mkdtemp(prefix=prefix, dir="/dev/shm")
    here = os.getcwd()
    os.chdir(folder)
    try:
        if info:
            parser = parser_class()(DEFAULTS)
            parser.add_section("Sec")
            for key, value in zip(("producttype", "mrno", "opname", "slot"), INFO_VALUES):
                parser.set("Sec", key, value)
            with open("info.cfg", "w") as f:
                parser.write(f)
        yield folder
    finally:
        os.chdir(here)
        shutil.rmtree(folder, ignore_errors=True)


# ---------------------------------------------------------------- process_mes_result

@contextlib.contextmanager
def reader_ops(mod, twin, rounds, target_s):
    ops = []
    for form, row, raises in ROWS:
        if raises:
            call = "try:\n    f(res)\nexcept E:\n    pass"
            bare = "try:\n    p(prefix + s(res))\nexcept E:\n    pass"
        else:
            call = "f(res)"
            bare = "p(prefix + s(res))"
        ops.append(Op("process_mes_result: " + form,
                      Variant(call, {"f": mod.process_mes_result, "res": row, "E": mod.MESError}),
                      Variant(call, {"f": twin.process_mes_result, "res": row, "E": twin.MESError}),
                      Variant(bare, {"p": print, "s": str, "prefix": PREFIX, "res": row, "E": mod.MESError}),
                      note="floor: print(\"%s\" + str(row))" % PREFIX))
    yield ops


# ---------------------------------------------------------------- GetUnitInfo / SaveResult

def query_op(name, mod, twin, sql, server_args, note, **options):
    """GetUnitInfo through the module, the twin and the driver `sql` itself."""
    args = (server_args["server"], server_args["user"], server_args["password"], server_args["database"],
            "SN0001", "FT1", "张三", "一线")
    params = ("SN0001", b"FT1", "张三".encode("gbk"), "一线".encode("gbk"))
    return Op(name,
              Variant("f(*a)", {"f": mod.GetUnitInfo, "a": args}),
              Variant("f(*a)", {"f": twin.GetUnitInfo, "a": args}),
              Variant("c = connect(server=sv, user=us, password=pw, database=db)\n"
                      "r = c.execute_row(batch, params)\n"
                      "c.close()\n"
                      "p(prefix + s(r))",
                      {"connect": sql.connect, "sv": args[0], "us": args[1], "pw": args[2], "db": args[3],
                       "batch": UNIT_QUERY_BATCH, "params": params, "p": print, "s": str, "prefix": PREFIX}),
              note=note, **options)


def upload_op(name, mod, twin, sql, server_args, serials, note, **options):
    """SaveResult (PASS) through the module, the twin and the driver itself;
    `serials` gives the serial number of each call."""
    fixed = (server_args["server"], server_args["user"], server_args["password"], server_args["database"])
    call = "f(*a, next(sn), 'FT1', '张三', '一线', True, 0)"
    return Op(name,
              Variant(call, {"f": mod.SaveResult, "a": fixed, "sn": serials}),
              Variant(call, {"f": twin.SaveResult, "a": fixed, "sn": serials}),
              Variant("c = connect(server=sv, user=us, password=pw, database=db)\n"
                      "r = c.execute_row(batch, (next(sn), b'FT1', emp, line, 'PASS', 0))\n"
                      "p(prefix + s(r))\n"
                      "c.close()",
                      {"connect": sql.connect, "sv": fixed[0], "us": fixed[1], "pw": fixed[2], "db": fixed[3],
                       "batch": UPLOAD_BATCH, "sn": serials, "emp": "张三".encode("gbk"),
                       "line": "一线".encode("gbk"), "p": print, "s": str, "prefix": PREFIX}),
              note=note, **options)


@contextlib.contextmanager
def fake_ops(mod, twin, rounds, target_s):
    """The two calls against the scripted driver of the tests, bound as
    `_sql` on both modules: what remains above its floor is the module's
    own work."""
    from fakes import FakeDriver

    fake = FakeDriver()
    fake.row = ROWS[0][1]

    def forget():
        fake.events.clear()
        fake.connections.clear()

    saved = (mod._sql, twin._sql)
    mod._sql = twin._sql = fake
    server_args = {"server": "mes-host", "user": "station", "password": "secret", "database": "MES"}
    try:
        yield [query_op("GetUnitInfo, fake driver", mod, twin, fake, server_args, after_round=forget,
                        note="floor: the fake's connect, execute_row, close; print of the answer"),
               upload_op("SaveResult, fake driver", mod, twin, fake, server_args, itertools.repeat("SN0001"),
                         after_round=forget, note="floor: the fake's connect, execute_row, print of the answer, close")]
    finally:
        mod._sql, twin._sql = saved
        forget()


@contextlib.contextmanager
def simulator_ops(mod, twin, rounds, target_s):
    """The two calls against the MES simulator (a server process on
    loopback, its database on tmpfs), with the real driver."""
    from pymssql import _mssql
    from mes_simulator.testing import Simulator

    with in_folder("bench-mes-") as folder:
        sim = Simulator(db=os.path.join(folder, "mes.db"))
        sim.start()
        try:
            server_args = sim.connect_args()
            query = query_op("GetUnitInfo, MES simulator", mod, twin, _mssql, server_args, slow=True,
                             note="floor: connect, execute_row, close; print of the answer")

            # Every upload is a PASS of a fresh unit whose route is one
            # procedure: the MES saves it and answers "route finished".
            probe = upload_op("", mod, twin, _mssql, server_args, itertools.repeat("PROBE"), note="")
            per_call = probe.variants[0].run(3)
            calls = int(target_s / per_call) + 1
            units = ["B%d-%07d" % (os.getpid(), i) for i in range((rounds + 4) * 3 * calls + 100)]
            con = sim.sql
            con.execute("BEGIN")
            con.executemany("INSERT INTO units (serial, product, route, step, status, failures)"
                            " VALUES (?, 'M4R-100', 'FT1', 0, 'ACTIVE', 0)", [(u,) for u in units])
            con.execute("COMMIT")
            upload = upload_op("SaveResult, MES simulator", mod, twin, _mssql, server_args, iter(units),
                               cap=calls, slow=True, note="floor: connect, execute_row, print of the answer, close")
            yield [query, upload]
            if con.execute("SELECT COUNT(*) FROM results WHERE serial LIKE 'B%'").fetchone()[0] == 0:
                raise RuntimeError("the simulator saved no upload")
        finally:
            sim.stop()
            sim.cleanup()


# ---------------------------------------------------------------- MESInfo

def parser_class():
    """The parser class MESInfo uses: the old name while the host has it."""
    return getattr(configparser, "SafeConfigParser", None) or configparser.ConfigParser


FLOOR_INFO = ("parser = Parser({'producttype': '', 'mrno': '', 'slot': '', 'opname': ''})\n"
              "if isfile(name):\n"
              "    parser.read(name)\n"
              "if not parser.has_section('Sec'):\n"
              "    parser.add_section('Sec')\n"
              "v1 = parser.get('Sec', 'producttype')\n"
              "v2 = parser.get('Sec', 'mrno')\n"
              "v3 = parser.get('Sec', 'opname')\n"
              "v4 = parser.get('Sec', 'slot')")


def floor_info_names():
    return {"Parser": parser_class(), "isfile": os.path.isfile, "name": "info.cfg"}


# The least a save of a plain file does where the new file can be made just
# like the old one: the four values into the parser, the old file opened for
# writing without following a link (a probe), its status and extended
# attributes taken, the folder listed (for leftovers of dead saves), a new
# file with a random name made private, locked, given the old owner, group
# and mode, its attributes compared, written, flushed, synced and put in
# place while locked, and the folder synced. The values hold no carriage
# return and no percent sign, so they go to the parser as they are.
FLOOR_SAVE = ("parser.set('Sec', 'producttype', v1)\n"
              "parser.set('Sec', 'mrno', v2)\n"
              "parser.set('Sec', 'opname', v3)\n"
              "parser.set('Sec', 'slot', v4)\n"
              "listdir('.')\n"
              "old = os_open(name, probe_flags, 0o666)\n"
              "status = fstat(old)\n"
              "tmp = tmp_format % (urandom(6).hex(),)\n"
              "fd = os_open(tmp, create_flags, 0o600)\n"
              "lock(fd, set_lock, whole)\n"
              "fstat(fd)\n"
              "fchown(fd, status.st_uid, status.st_gid)\n"
              "fchmod(fd, status.st_mode & 0o7777)\n"
              "listxattr(old)\n"
              "listxattr(fd)\n"
              "with open(dup(fd), 'w') as f:\n"
              "    parser.write(f)\n"
              "    f.flush()\n"
              "    file_sync(f.fileno())\n"
              "replace(tmp, name)\n"
              "close(fd)\n"
              "close(old)\n"
              "fd = os_open('.', read_only)\n"
              "folder_sync(fd)\n"
              "close(fd)")


def no_fsync(fd):
    """_fsync for the figures without the cost of syncing the file."""


@contextlib.contextmanager
def station_ops(mod, twin, rounds, target_s):
    with in_folder("bench-station-", info=True) as folder:
        ops = [Op("MESInfo() (reads info.cfg)",
                  Variant("f()", {"f": mod.MESInfo}), Variant("f()", {"f": twin.MESInfo}),
                  Variant(FLOOR_INFO, floor_info_names()),
                  note="floor: the parser made, the file read, the four values got")]

        infos = []
        for module in (mod, twin):
            info = module.MESInfo()
            info.ProductType, info.MRNo, info.OPName, info.Slot = INFO_VALUES
            infos.append(info)
        parser = parser_class()(DEFAULTS)
        parser.read("info.cfg")
        floor_names = {"parser": parser, "v1": INFO_VALUES[0], "v2": INFO_VALUES[1], "v3": INFO_VALUES[2],
                       "v4": INFO_VALUES[3], "os_open": os.open, "close": os.close, "fstat": os.fstat,
                       "probe_flags": os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK,
                       "create_flags": os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_NONBLOCK,
                       "read_only": os.O_RDONLY | os.O_DIRECTORY, "listdir": os.listdir, "listxattr": os.listxattr,
                       "urandom": os.urandom, "lock": fcntl.fcntl, "set_lock": fcntl.F_OFD_SETLK,
                       "whole": struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 0, 0), "dup": os.dup,
                       "tmp_format": "info.cfg.%s.tmp",
                       "open": open, "fchown": os.fchown, "fchmod": os.fchmod, "replace": os.replace,
                       "folder_sync": os.fsync, "name": "info.cfg"}
        saved = (mod._fsync, twin._fsync)

        def binder(module, sync):
            def bind():
                module._fsync = sync
            return bind

        for label, sync in (("with fsync", os.fsync), ("fsync a no-op", no_fsync)):
            ops.append(Op("MESInfo.Save(), %s" % label,
                          Variant("s()", {"s": infos[0].Save}, before_round=binder(mod, sync)),
                          Variant("s()", {"s": infos[1].Save}, before_round=binder(twin, sync)),
                          Variant(FLOOR_SAVE, dict(floor_names, file_sync=sync)),
                          note="floor: the same parser and file-system calls made directly"))
        try:
            yield ops
        finally:
            mod._fsync, twin._fsync = saved
        leftovers = [n for n in os.listdir(folder) if n != "info.cfg"]
        if leftovers:
            raise RuntimeError("unfinished new files left: %s" % leftovers)


# ---------------------------------------------------------------- dialog

DIALOG_FLOOR = textwrap.dedent("""\
    d = Dialog(None, id=ID_ANY, title=title, pos=pos, size=size, style=style)
    d.SetSizeHintsSz(size, size)
    column = BoxSizer(VERTICAL)
    grid = FlexGridSizer(0, 2, 0, 0)
    grid.AddGrowableCol(1)
    grid.SetFlexibleDirection(BOTH)
    grid.SetNonFlexibleGrowMode(GROW)
    fields = []
    for label in labels:
        text = StaticText(d, ID_ANY, label, pos, size, 0)
        text.Wrap(-1)
        grid.Add(text, 0, ALL, 5)
        field = TextCtrl(d, ID_ANY, empty, pos, size, 0)
        grid.Add(field, 0, ALL_EXPAND, 5)
        fields.append(field)
    column.Add(grid, 1, EXPAND, 5)
    row = BoxSizer(HORIZONTAL)
    refill = Button(d, ID_ANY, refill_label, pos, size, 0)
    row.Add(refill, 0, ALL, 5)
    ok = Button(d, ID_ANY, ok_label, pos, size, 0)
    ok.SetDefault()
    row.Add(ok, 0, ALL, 5)
    row.Add(Button(d, ID_CANCEL, cancel_label, pos, size, 0), 0, ALL, 5)
    column.Add(row, 0, EXPAND, 5)
    d.SetSizer(column)
    d.Layout()
    column.Fit(d)
    d.Centre(BOTH)
    refill.Bind(EVT_BUTTON, handler)
    ok.Bind(EVT_BUTTON, handler)
""") + FLOOR_INFO + textwrap.dedent("""
    fields[3].SetValue(v4)
    fields[0].SetValue(v1)
    fields[1].SetValue(v2)
    fields[2].SetValue(v3)
    d.Destroy()""")


@contextlib.contextmanager
def dialog_ops(mod, twin, rounds, target_s):
    """MESInfoDialog(None) then Destroy(), with the real wx (under Xvfb);
    the windows destroyed are deleted between rounds (wx.Yield)."""
    import wx

    class FloorDialog(wx.Dialog):
        """A dialog class of the station's own, as the module must make one."""

    def handler(event):
        event.Skip()

    names = dict(floor_info_names(), Dialog=FloorDialog, ID_ANY=wx.ID_ANY, ID_CANCEL=wx.ID_CANCEL,
                 title="信息填充", pos=wx.DefaultPosition, size=wx.DefaultSize,
                 style=wx.DEFAULT_DIALOG_STYLE, BoxSizer=wx.BoxSizer, FlexGridSizer=wx.FlexGridSizer,
                 VERTICAL=wx.VERTICAL, HORIZONTAL=wx.HORIZONTAL, BOTH=wx.BOTH,
                 GROW=wx.FLEX_GROWMODE_SPECIFIED, StaticText=wx.StaticText, TextCtrl=wx.TextCtrl,
                 Button=wx.Button, empty=wx.EmptyString, ALL=wx.ALL, EXPAND=wx.EXPAND,
                 ALL_EXPAND=wx.ALL | wx.EXPAND, EVT_BUTTON=wx.EVT_BUTTON, handler=handler,
                 labels=("产品型号：", "工单号码(MR#)：", "测试员（姓名）：", "治具编号："),
                 refill_label="重填", ok_label="确定", cancel_label="取消")
    stmt = "d = cls(None)\nd.Destroy()"
    with in_folder("bench-dialog-", info=True):
        yield [Op("MESInfoDialog(None) + Destroy()",
                  Variant(stmt, {"cls": mod.MESInfoDialog}), Variant(stmt, {"cls": twin.MESInfoDialog}),
                  Variant(DIALOG_FLOOR, names), cap=200, after_round=wx.Yield, slow=True,
                  note="floor: the same wx and parser calls on a bare wx.Dialog subclass")]


GROUPS = {"reader": reader_ops, "fake": fake_ops, "simulator": simulator_ops, "station": station_ops,
          "dialog": dialog_ops}


# ---------------------------------------------------------------- import

IMPORT_SCRIPT = """
import sys, time, warnings
warnings.simplefilter("ignore")
sys.path[:0] = [{first!r}, {build!r}]
t0 = time.perf_counter()
import wx, pymssql._mssql, configparser, m4r_wxtools
t1 = time.perf_counter()
import {target}
t2 = time.perf_counter()
assert {target!r}.startswith("bench_empty") or callable({target}.GetUnitInfo)
print(t1 - t0, t2 - t1)
"""


EMPTY_EXTENSION = r"""
#include <Python.h>
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "bench_empty_extension", NULL, -1, NULL};
PyMODINIT_FUNC PyInit_bench_empty_extension(void) { return PyModule_Create(&def); }
"""


def build_empty_extension(folder):
    """An extension module with nothing in it, compiled here: what loading
    any shared library costs. False when it cannot be built."""
    import sysconfig
    source = os.path.join(folder, "bench_empty_extension.c")
    with open(source, "w") as f:
        f.write(EMPTY_EXTENSION)
    target = os.path.join(folder, "bench_empty_extension" + sysconfig.get_config_var("EXT_SUFFIX"))
    done = subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], "-o", target,
                           source], capture_output=True)
    return done.returncode == 0


def bench_import(rounds):
    """Fresh interpreters: the dependencies first, then the module, the twin
    or (the floor) an empty module; an empty extension module besides, for
    what loading a shared library costs by itself."""
    with in_folder("bench-import-") as folder:
        with open(os.path.join(folder, "bench_empty_module.py"), "w"):
            pass
        targets = [("m4r_tessavor", BUILD), ("twin", BENCH), ("bench_empty_module", folder)]
        if build_empty_extension(folder):
            targets.append(("bench_empty_extension", folder))
        env = dict(os.environ, PYTHONWARNINGS="ignore")
        env.pop("PYTHONDONTWRITEBYTECODE", None)   # the twin from its cached byte code, as a station has it

        def run(target, first):
            script = IMPORT_SCRIPT.format(first=first, build=BUILD, target=target)
            out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env,
                                 cwd=folder, timeout=120)
            if out.returncode != 0:
                raise RuntimeError("import of %s failed:\n%s" % (target, out.stderr))
            return tuple(map(float, out.stdout.split()))

        for target, first in targets:   # byte code caches written, files in the page cache
            run(target, first)
        times = [[] for _ in targets]
        deps = []
        for r in range(rounds):
            for i in [(r + k) % len(targets) for k in range(len(targets))]:
                d, own = run(*targets[i])
                times[i].append(own)
                deps.append(d)
    note = "floor: import of an empty module; the dependencies took %.1f ms" % (statistics.median(deps) * 1e3)
    if len(targets) == 4:
        extension = statistics.median(times[3])
        note += ("; an empty extension module takes %.0f us, the module %.0f us more"
                 % (extension * 1e6, (statistics.median(times[0]) - extension) * 1e6))
    return Result("import (after wx, _mssql, configparser, m4r_wxtools)", *times[:3], note=note)


# ---------------------------------------------------------------- report

def scaled(seconds, unit):
    return seconds * (1e6 if unit == "us" else 1e3)


def unit_of(result):
    return "ms" if result.floor >= 1e-3 else "us"


def table(results):
    lines = []
    header = ("%-52s %5s %10s %10s %10s %8s %10s %10s %8s %8s  %s"
              % ("operation", "unit", "module", "twin", "floor", "mod/twin", "mod over", "twin over",
                 "over m/t", "noise", "aim <= 0.5"))
    lines.append(header)
    lines.append("-" * len(header))
    for r in results:
        u = unit_of(r)
        over = "%8.2f" % r.over_ratio if r.over_ratio is not None else "%8s" % "n/a"
        lines.append("%-52s %5s %10.3f %10.3f %10.3f %8.2f %10.3f %10.3f %s %8.3f  %s"
                     % (r.name, u, scaled(r.module, u), scaled(r.twin, u), scaled(r.floor, u), r.ratio,
                        scaled(r.module_over, u), scaled(r.twin_over, u), over, scaled(r.noise, u),
                        r.verdict()))
    return "\n".join(lines)


def own_share(results):
    by_name = {r.name: r for r in results}
    sim = by_name.get("GetUnitInfo, MES simulator")
    fake = by_name.get("GetUnitInfo, fake driver")
    if sim is None:
        return []
    lines = []
    share = sim.module_over / sim.module
    lines.append("GetUnitInfo round trip against the MES simulator: %.3f ms (direct driver calls %.3f ms)"
                 % (sim.module * 1e3, sim.floor * 1e3))
    lines.append("  module's own share, measured on the round trip: %+.2f%% (+-%.2f%%)  [aim < 2%%: %s]"
                 % (share * 100, sim.noise / sim.module * 100,
                    "met" if share + sim.noise / sim.module < 0.02 else
                    ("met?" if share < 0.02 else "NOT MET")))
    if fake is not None:
        isolated = fake.module_over / sim.module
        lines.append("  module's own share, isolated with the fake driver: %.3f us = %.3f%% of the round trip"
                     % (fake.module_over * 1e6, isolated * 100))
        lines.append("  (twin: %.3f us = %.3f%%)" % (fake.twin_over * 1e6, fake.twin_over / sim.twin * 100))
    return lines


_display_connection = None


def hold_display():
    """Opens a connection to the X display and keeps it for the whole run.
    Xvfb resets itself whenever its last client leaves, and a toolkit that
    connects just then fails (wx aborts the process); with this connection
    open the server never resets under the dialogs. False when there is no
    usable display."""
    global _display_connection
    if not os.environ.get("DISPLAY"):
        return False
    try:
        xlib = ctypes.CDLL("libX11.so.6")
    except OSError:
        return True   # let wx try on its own
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    for _ in range(50):
        _display_connection = xlib.XOpenDisplay(None)
        if _display_connection:
            return True
        time.sleep(0.1)
    return False


def progress(what):
    """What runs now, on the real standard error (the code under test writes
    to /dev/null meanwhile)."""
    print("  ... " + what, file=sys.__stderr__, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds (a minute or so)")
    parser.add_argument("--json", metavar="FILE", help="also write every figure and round to FILE")
    parser.add_argument("--only", metavar="GROUP", action="append",
                        choices=["reader", "fake", "simulator", "station", "import", "dialog"],
                        help="run only this group (repeatable)")
    options = parser.parse_args()
    groups = set(options.only or ["reader", "fake", "simulator", "station", "import", "dialog"])

    rounds = 11 if options.quick else 41
    target_s = 0.004 if options.quick else 0.02
    slow_target_s = 0.015 if options.quick else 0.06

    import wx  # noqa: F401  (before the filters: wx sets its own at import)
    warnings.simplefilter("ignore")
    mod, twin = load_modules()

    display = "dialog" in groups and hold_display()
    if display:
        app = wx.App()  # noqa: F841  (kept alive for the dialogs)

    print("m4r_tessavor: %s" % mod.__file__)
    print("twin:         %s" % twin.__file__)
    print("python %s, wx %s, %s, %d CPUs; %s rounds%s"
          % (platform.python_version(), wx.version(), platform.machine(), os.cpu_count(), rounds,
             " (--quick)" if options.quick else ""))
    print("times per call, median of the rounds; overheads: median of (variant - floor) per round;")
    print("noise: half-width of the ~95% interval of the larger overhead median", flush=True)

    results = []
    started = time.monotonic()
    for group in [g for g in GROUPS if g in groups]:
        if group == "dialog" and not display:
            print("(no usable X display: dialog construction skipped; run under xvfb-run -a)")
            continue
        progress(group)
        with Quiet(), GROUPS[group](mod, twin, rounds, slow_target_s) as ops:
            for op in ops:
                results.append(compare(op, max(11, rounds // 2) if group == "dialog" else rounds,
                                       slow_target_s if op.slow else target_s))
    if "import" in groups:
        progress("import")
        results.append(bench_import(5 if options.quick else 21))

    print()
    print(table(results))
    print()
    for line in own_share(results):
        print(line)
    print()
    for r in results:
        if r.note:
            print("%-52s %s" % (r.name, r.note))
    print("\n%d operations in %.0f s" % (len(results), time.monotonic() - started))

    if options.json:
        with open(options.json, "w") as f:
            json.dump({"python": platform.python_version(), "module": mod.__file__, "quick": options.quick,
                       "results": [r.as_dict() for r in results]}, f, indent=1)


if __name__ == "__main__":
    main()
