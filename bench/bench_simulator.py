"""Round trips through the real driver against the MES simulator.

    /usr/bin/python3 bench/bench_simulator.py [--duration 1] [--repeats 3] [--rounds 7] [--calls 150]
        [--baseline DIR | --inprocess DIR | --against [REV] [--instructions-only]]

1. Throughput: stations calling GetUnitInfo back to back (each call opens
   its own connection, runs the batch, closes), 1, 4 and 16 at once, as
   threads of one process (the driver releases the GIL while it waits for
   the server; the module does not release it itself) and as processes.
   Besides the round trips per second it prints the CPU the simulator and
   the stations used, to show which side is the limit.
2. Overhead: one GetUnitInfo against the same driver calls made directly
   (_mssql.connect, execute_row(batch, params), close), in the same run,
   alternating which goes first, the median of several rounds.

3. With --baseline DIR (a folder holding another revision's mes_simulator,
   e.g. `git archive main mes_simulator | tar -x -C DIR`): the throughput
   of 1 and 16 station processes against that simulator and this one,
   runs alternating which goes first, and the ratio this/baseline; and
   each simulator's CPU time per call, which other jobs on the machine
   disturb less than the calls per second.
4. With --inprocess DIR: the simulator's own work on one request, without
   sockets or the database: the station's two batches (as the driver
   writes them: a new serial number in each, or one text again and
   again), the driver's SET batch of each connect, and an RPC call of
   each MES procedure, parsed and run by this engine and by the one in
   DIR in the same process, alternating which goes first; the medians
   of the rounds and the ratio baseline/this (above 1: this one is
   faster).  A reply that differs between the two is reported.

5. With --against [REV] (default fec97ef): the simulator of that git
   revision (taken with `git archive` into a temporary folder) and this
   one side by side, in one run: the station's GetUnitInfo latency
   (p50, p99, worst) while hostile clients keep sending the heaviest
   statements that either simulator lives through (a four-way join of
   the catalog, a DELETE whose WHERE runs a join for every unit, a LIKE
   that backtracks), each given up by its client after a few seconds;
   the simulator's own instructions per station round trip (connect,
   login, the batch, the reply, close), counted by callgrind around the
   simulator process (the difference between two runs of different
   lengths, so start and stop fall out); and round trips per second of
   1, 4 and 16 station processes.  With --instructions-only as well: only
   the instructions per round trip, of both.

Figures only; nothing is asserted. Run from anywhere; build first
(bash scripts/build.sh release). The figures depend on the machine and on
what else runs there: the simulator is one Python process.
"""

import argparse
import importlib.util
import multiprocessing
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("TESSAVOR_BUILD", os.path.join(ROOT, "build")))
for path in (ROOT, BUILD):
    if path not in sys.path:
        sys.path.insert(0, path)

from mes_simulator.sql.batch import UNIT_QUERY  # noqa: E402  (the batch the module sends)
from mes_simulator.testing import Simulator  # noqa: E402

SERIAL, PROCEDURE, EMPLOYEE, LINE = "SN0001", "FT1", "张三", "一线"
OUT = sys.stdout  # the figures; the module's own lines go to /dev/null


def say(text=""):
    print(text, file=OUT, flush=True)


def quiet():
    """The module prints one line per answer: to /dev/null here (the print
    itself stays part of the call)."""
    sys.stdout = open(os.devnull, "w", encoding="utf-8")


def module_call(tv, login):
    return tv.GetUnitInfo(*login, SERIAL, PROCEDURE, EMPLOYEE, LINE)


def driver_call(mssql, login):
    """What the module does with the driver for one query, made directly."""
    server, user, password, database = login
    conn = mssql.connect(server=server, user=user, password=password, database=database)
    try:
        return conn.execute_row(UNIT_QUERY, (SERIAL, PROCEDURE.encode("gbk"), EMPLOYEE.encode("gbk"),
                                             LINE.encode("gbk")))
    finally:
        conn.close()


def cpu_seconds(pid):
    """User and system CPU time of a process, in seconds."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


# ---------------------------------------------------------------- throughput

def station_loop(login, go, stop, counts, index, failures, ready=None):
    import m4r_tessavor as tv
    if ready is not None:
        ready.put(index)
    go.wait()
    done = 0
    try:
        while not stop.is_set():
            module_call(tv, login)
            done += 1
    except Exception as error:  # reported with the figures
        failures.append(repr(error))
    counts[index] = done


def with_threads(login, stations, duration):
    go, stop = threading.Event(), threading.Event()
    counts, failures = [0] * stations, []
    threads = [threading.Thread(target=station_loop, args=(login, go, stop, counts, i, failures))
               for i in range(stations)]
    for t in threads:
        t.start()
    cpu = time.process_time()
    started = time.perf_counter()
    go.set()
    time.sleep(duration)
    stop.set()
    for t in threads:
        t.join()
    elapsed = time.perf_counter() - started
    return sum(counts), elapsed, time.process_time() - cpu, failures


def station_process(login, go, stop, ready, results, index):
    quiet()
    counts, failures = [0], []
    cpu = time.process_time()
    station_loop(login, go, stop, counts, 0, failures, ready)
    results.put((index, counts[0], time.process_time() - cpu, failures))


def with_processes(login, stations, duration):
    context = multiprocessing.get_context("spawn")
    go, stop, ready, results = context.Event(), context.Event(), context.Queue(), context.Queue()
    workers = [context.Process(target=station_process, args=(login, go, stop, ready, results, i))
               for i in range(stations)]
    for w in workers:
        w.start()
    for _ in workers:  # each has imported the module and waits for the start
        ready.get(timeout=60)
    started = time.perf_counter()
    go.set()
    time.sleep(duration)
    stop.set()
    outcomes = [results.get(timeout=60) for _ in workers]
    elapsed = time.perf_counter() - started
    for w in workers:
        w.join()
    failures = [f for _, _, _, fs in outcomes for f in fs]
    return sum(o[1] for o in outcomes), elapsed, sum(o[2] for o in outcomes), failures


def throughput(sim, login, duration, repeats):
    say(f"== round trips per second (GetUnitInfo, one connection per call): median of {repeats} runs"
        f" of {duration:g} s")
    say(f"   {'stations':>8}  {'as':<9} {'calls/s':>8}  {'ms/call':>8}  {'simulator CPU':>13}  {'stations CPU':>12}"
        "   runs (calls/s)")
    for kind, run in (("threads", with_threads), ("processes", with_processes)):
        for stations in (1, 4, 16):
            runs, failures = [], []
            for _ in range(repeats):
                sim_cpu = cpu_seconds(sim.process.pid)
                calls, elapsed, cpu, failed = run(login, stations, duration)
                sim_cpu = cpu_seconds(sim.process.pid) - sim_cpu
                runs.append((calls / elapsed, sim_cpu / elapsed, cpu / elapsed))
                failures += failed
            rate, sim_load, load = sorted(runs)[len(runs) // 2]
            say(f"   {stations:>8}  {kind:<9} {rate:>8.0f}  {1000 * stations / rate:>8.2f}"
                f"  {100 * sim_load:>12.0f}%  {100 * load:>11.0f}%   " + " ".join(f"{r[0]:.0f}" for r in runs))
            for failure in failures[:3]:
                say(f"      failed: {failure}")


# ---------------------------------------------------------------- overhead

def overhead(login, rounds, calls):
    import m4r_tessavor as tv
    from pymssql import _mssql

    def timed(call, subject):
        started = time.perf_counter()
        for _ in range(calls):
            call(subject, login)
        return (time.perf_counter() - started) / calls

    for _ in range(20):  # warm up both paths
        module_call(tv, login)
        driver_call(_mssql, login)
    ratios, module_times, driver_times = [], [], []
    for r in range(rounds):
        if r % 2 == 0:
            m = timed(module_call, tv)
            d = timed(driver_call, _mssql)
        else:
            d = timed(driver_call, _mssql)
            m = timed(module_call, tv)
        module_times.append(m)
        driver_times.append(d)
        ratios.append(m / d)
    say(f"== one GetUnitInfo against the same driver calls made directly "
        f"({rounds} rounds of {calls} calls each, alternating)")
    say(f"   module call     {1e3 * statistics.median(module_times):7.3f} ms (median)")
    say(f"   driver calls    {1e3 * statistics.median(driver_times):7.3f} ms (median)")
    say(f"   ratio           {statistics.median(ratios):7.3f}  (median; rounds: "
        + " ".join(f"{x:.3f}" for x in ratios) + ")")
    say(f"   module's own    {1e6 * (statistics.median(module_times) - statistics.median(driver_times)):7.1f} us"
        " per call (difference of the medians)")


# ---------------------------------------------------------------- against a baseline

def versus(sim, baseline, duration, rounds):
    """calls/s of this simulator over the baseline's, with 1 and 16 station processes, and the
    simulator's CPU time per call (less disturbed by other jobs on the machine)."""
    say(f"== against the simulator in {baseline.root}: calls/s of station processes, "
        f"{rounds} rounds of {duration:g} s each, alternating which goes first")
    say(f"   {'stations':>8}  {'baseline':>8}  {'this':>8}  {'ratio':>6}   ratios of the rounds")
    say("            and the simulator's CPU per call: baseline, this, ratio baseline/this"
        " (above 1: this is lighter)")
    for stations in (1, 16):
        rates, cpu = {sim: [], baseline: []}, {sim: [], baseline: []}
        for r in range(rounds):
            for which in ((sim, baseline), (baseline, sim))[r % 2]:
                used = cpu_seconds(which.process.pid)
                calls, elapsed, _, failed = with_processes(which.login, stations, duration)
                cpu[which].append((cpu_seconds(which.process.pid) - used) / max(calls, 1))
                for failure in failed[:3]:
                    say(f"      failed: {failure}")
                rates[which].append(calls / elapsed)
        median = statistics.median
        ratios = [a / b for a, b in zip(rates[sim], rates[baseline])]
        say(f"   {stations:>8}  {median(rates[baseline]):>8.0f}  {median(rates[sim]):>8.0f}"
            f"  {median(ratios):>6.3f}   " + " ".join(f"{x:.3f}" for x in ratios))
        ratios = [b / a for a, b in zip(cpu[sim], cpu[baseline])]
        say(f"   {'':>8}  {1e6 * median(cpu[baseline]):>6.0f}us  {1e6 * median(cpu[sim]):>6.0f}us"
            f"  {median(ratios):>6.3f}   " + " ".join(f"{x:.3f}" for x in ratios))


# ---------------------------------------------------------------- in process

class _Host:
    """What an engine needs of its connection and server; the MES procedures answer at once
    (their SQLite work is the same in both revisions and not measured here)."""

    def __init__(self, package):
        self.config = package.server.Config(db="")
        self.server = self
        self.collation = package.logins.collation_for(self.config.codepage)
        self.version = package.server.TDS74
        self.server_name, self.spid = "MESSIM", 51

    def log(self, *args):
        pass

    async def procedure(self, proc, args, transaction):
        return 0, "<Root><Result>OK</Result></Root>"


def _load(root, name):
    """The mes_simulator package under root, imported as `name` (beside this one)."""
    if name not in sys.modules:
        spec = importlib.util.spec_from_file_location(
            name, os.path.join(root, "mes_simulator", "__init__.py"),
            submodule_search_locations=[os.path.join(root, "mes_simulator")])
        sys.modules[name] = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(sys.modules[name])
    for sub in ("engine", "server"):
        importlib.import_module(f"{name}.{sub}")
    package = sys.modules[name]
    try:  # the login's module: in wire/ since the package has subpackages, at the top before
        package.logins = importlib.import_module(f"{name}.wire.login")
    except ImportError:
        package.logins = importlib.import_module(f"{name}.login")
    return package


def _rpc_message(procedure, params):
    """An RPC request by name: params are (name, output, str or int)."""
    def value(v):
        if isinstance(v, int):
            return b"\x26\x04\x04" + v.to_bytes(4, "little", signed=True)
        data = v.encode("utf-16-le")
        return b"\xe7\x40\x1f" + bytes(5) + len(data).to_bytes(2, "little") + data
    headers = (22).to_bytes(4, "little") + (18).to_bytes(4, "little") + b"\x02\x00" + bytes(12)
    return (headers + len(procedure).to_bytes(2, "little") + procedure.encode("utf-16-le")
            + b"\x00\x00" + b"".join(bytes([len(n)]) + n.encode("utf-16-le") + bytes([out]) + value(v)
                                     for n, out, v in params))


_DRIVER_SETS = ("SET ARITHABORT ON;SET CONCAT_NULL_YIELDS_NULL ON;SET ANSI_NULLS ON;"
                "SET ANSI_NULL_DFLT_ON ON;SET ANSI_PADDING ON;SET ANSI_WARNINGS ON;"
                "SET ANSI_NULL_DFLT_ON ON;SET CURSOR_CLOSE_ON_COMMIT ON;SET QUOTED_IDENTIFIER ON;"
                "SET TEXTSIZE 2147483647;")


def _station_requests(count):
    """(label, kind, requests): each batch with count different serial numbers, as stations
    send them (the driver writes the values into the text, so no two texts are the same), and
    with one text count times."""
    from pymssql import _mssql
    from mes_simulator.sql.batch import SAVE_RESULT

    who = tuple(text.encode("gbk") for text in (PROCEDURE, EMPLOYEE, LINE))

    def texts(batch, *more):
        return [_mssql.substitute_params(batch, (f"SN{n:07d}",) + who + more).decode("utf-8")
                for n in range(count)]
    inputs = [("@SerialNumber", 0, SERIAL), ("@Procedure", 0, PROCEDURE), ("@Employee", 0, EMPLOYEE),
              ("@LineName", 0, LINE)]
    unit, save = texts(UNIT_QUERY), texts(SAVE_RESULT, "PASS", 0)
    return [
        ("GetUnitInfo batch", "batch", unit),
        ("SaveResult batch", "batch", save),
        ("GetUnitInfo again", "batch", unit[:1] * count),  # one unit, as in the throughput runs
        ("SaveResult again", "batch", save[:1] * count),
        ("driver's SETs", "batch", [_DRIVER_SETS] * count),  # on each connect
        ("GetUnitInfo RPC", "rpc", [_rpc_message("dbo.uspGetUnitInfo", inputs + [
            ("@OutPutxmls", 1, ""), ("@RETURN", 1, 0)])] * count),
        ("SaveResult RPC", "rpc", [_rpc_message("dbo.uspSaveResult", inputs + [
            ("@Result", 0, "PASS"), ("@ErrorNo", 0, "0"), ("@Msg", 1, ""), ("@RETURN", 1, 0)])] * count),
    ]


def _runner(package, kind):
    """once(request): the reply of a fresh session of package's engine to request."""
    host = _Host(package)
    engine_class = package.engine.Engine

    def once(request):
        engine = engine_class(host)
        coroutine = engine.batch(request) if kind == "batch" else engine.rpc(request)
        try:
            coroutine.send(None)
        except StopIteration as finished:
            return finished.value
        raise RuntimeError("the request waited for something")
    return once


def inprocess(baseline, rounds, calls):
    """Time per request of this engine and of the one in the folder baseline."""
    packages = {"this": _load(ROOT, "mes_simulator"),
                "baseline": _load(baseline, "baseline_mes_simulator")}
    say(f"== one request in process, this engine against the one in {baseline}: "
        f"{rounds} rounds of {calls} calls, alternating which goes first")
    say(f"   {'request':<18} {'baseline':>9} {'this':>9} {'ratio':>6}   ratios of the rounds (baseline/this)")
    for label, kind, requests in _station_requests(rounds * calls):
        run = {which: _runner(package, kind) for which, package in packages.items()}
        if run["this"](requests[0]) != run["baseline"](requests[0]):
            say(f"   {label}: the replies differ")
        times = {"this": [], "baseline": []}
        ratios = []
        for r in range(rounds):
            batch = requests[r * calls:(r + 1) * calls]
            for which in (("this", "baseline"), ("baseline", "this"))[r % 2]:
                once = run[which]
                started = time.perf_counter()
                for request in batch:
                    once(request)
                times[which].append((time.perf_counter() - started) / calls)
            ratios.append(times["baseline"][-1] / times["this"][-1])
        say(f"   {label:<18} {1e6 * statistics.median(times['baseline']):>7.1f}us"
            f" {1e6 * statistics.median(times['this']):>7.1f}us {statistics.median(ratios):>6.3f}   "
            + " ".join(f"{x:.2f}" for x in ratios))


# ---------------------------------------------------------------- against an old revision

HOSTILE = (
    ("catalog join", "SELECT COUNT(*) FROM sys.types t0, sys.types t1, sys.types t2, sys.types t3"
                     " WHERE t0.name + t1.name + t2.name + t3.name = 'none'"),
    ("slow DELETE", "DELETE FROM dbo.units WHERE EXISTS (SELECT 1 FROM sys.types t0, sys.types t1,"
                    " sys.types t2 WHERE t0.name + t1.name + t2.name = serial)"),
    ("LIKE", "SELECT CASE WHEN REPLICATE('a', 44) LIKE '%a%a%a%a%a%a%a%b' THEN 1 ELSE 0 END"),
)
HOSTILE_TIMEOUT = 3  # seconds a hostile client waits for its answer, then it gives up


def old_tree(revision):
    """A temporary folder holding mes_simulator as it was at revision."""
    folder = tempfile.mkdtemp(prefix="bench-old-sim-")
    archive = subprocess.Popen(["git", "-C", ROOT, "archive", revision, "mes_simulator"],
                               stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", folder], stdin=archive.stdout, check=True)
    if archive.wait() != 0:
        raise SystemExit(f"git archive {revision} failed")
    return folder


def hostile_client(login, statement, stop):
    from pymssql import _mssql
    server, user, password, database = login
    while not stop.is_set():
        try:
            conn = _mssql.connect(server=server, user=user, password=password, database=database)
        except Exception:  # a busy old simulator: try again
            time.sleep(0.1)
            continue
        try:
            conn.query_timeout = HOSTILE_TIMEOUT
            conn.execute_query(statement)
            list(conn)
        except Exception:  # given up (time-out), or stopped by the server
            pass
        finally:
            try:
                conn.close()
            except Exception:
                pass


def station_latency(login, duration):
    """GetUnitInfo calls back to back for duration seconds: their latencies and failures."""
    from pymssql import _mssql
    server, user, password, database = login
    latencies, failures = [], []
    ends = time.perf_counter() + duration
    while time.perf_counter() < ends:
        started = time.perf_counter()
        try:
            conn = _mssql.connect(server=server, user=user, password=password,
                                  database=database)
            try:
                conn.query_timeout = 30
                conn.execute_row(UNIT_QUERY, (SERIAL, PROCEDURE.encode("gbk"),
                                              EMPLOYEE.encode("gbk"), LINE.encode("gbk")))
            finally:
                conn.close()
        except Exception as failure:  # reported with the figures
            failures.append(repr(failure))
        latencies.append(time.perf_counter() - started)
    return latencies, failures


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def under_attack(sim, duration):
    """(p50, p99, worst, calls, failures) of the station while the hostile clients run."""
    stop = threading.Event()
    attackers = [threading.Thread(target=hostile_client, args=(sim.login, statement, stop),
                                  daemon=True) for _label, statement in HOSTILE]
    for attacker in attackers:
        attacker.start()
    time.sleep(0.5)  # the statements under way
    latencies, failures = station_latency(sim.login, duration)
    stop.set()
    for attacker in attackers:
        attacker.join(HOSTILE_TIMEOUT + 35)
    return (percentile(latencies, 0.5), percentile(latencies, 0.99), max(latencies),
            len(latencies), failures)


def instructions(root, folder, calls):
    """The simulator's instructions per station round trip, counted by callgrind: a run of
    `calls` more round trips than another, the difference divided by them."""
    from pymssql import _mssql
    totals = []
    for count in (10, 10 + calls):
        out = os.path.join(folder, f"callgrind.{count}.out")
        wrapper = os.path.join(folder, "python-under-callgrind")
        with open(wrapper, "w") as f:
            f.write(f"#!/bin/sh\nexec valgrind -q --tool=callgrind --callgrind-out-file={out} "
                    f"/usr/bin/python3 \"$@\"\n")
        os.chmod(wrapper, 0o755)
        sim = Simulator(db=os.path.join(folder, f"cg{count}.db"), python=wrapper, root=root,
                        start_timeout=300, args=["--tls", "off"])
        sim.start()
        try:
            for _ in range(count):
                conn = _mssql.connect(server=sim.server, user=sim.user, password=sim.password,
                                      database=sim.database)
                conn.execute_row(UNIT_QUERY, (SERIAL, PROCEDURE.encode("gbk"),
                                              EMPLOYEE.encode("gbk"), LINE.encode("gbk")))
                conn.close()
        finally:
            sim.process.send_signal(signal.SIGTERM)
            sim.process.wait(300)
            sim.process.stdout.close()
            sim.process = None
            sim.cleanup()
        with open(out) as f:
            totals.append(next(int(line.split()[1]) for line in f
                               if line.startswith(("summary:", "totals:"))))
    return (totals[1] - totals[0]) / calls


def instructions_only(revision, calls):
    """Only the instructions per station round trip, of the old revision's simulator and this
    one (a minute or two instead of six)."""
    folder = tempfile.mkdtemp(prefix="bench-against-")
    old_root = old_tree(revision)
    try:
        say(f"== the simulator's instructions per station round trip (callgrind, {calls} round "
            f"trips, connect to close), {revision} (old) and this one (new):")
        counted = {which: instructions(root, folder, calls)
                   for which, root in (("old", old_root), ("new", ROOT))}
        say(f"   old {counted['old'] / 1e6:.3f} M   new {counted['new'] / 1e6:.3f} M   "
            f"old/new {counted['old'] / counted['new']:.2f}")
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(old_root, ignore_errors=True)


def against(revision, duration, calls, rounds):
    """The old revision's simulator and this one, side by side."""
    folder = tempfile.mkdtemp(prefix="bench-against-")
    old_root = old_tree(revision)
    roots = (("old", old_root), ("new", ROOT))
    sims = {}
    try:
        say(f"== the simulator of {revision} (old) against this one (new)")
        say(f"   station GetUnitInfo (connect, batch, close) for {duration:g} s while hostile "
            f"clients send, again and again, giving up after {HOSTILE_TIMEOUT} s:")
        for label, statement in HOSTILE:
            say(f"      {label}: {statement}")
        results = {}
        for which, root in roots:
            sim = Simulator(db=os.path.join(folder, f"{which}.db"), python="/usr/bin/python3",
                            root=root)
            sim.start()
            sim.login = (sim.server, sim.user, sim.password, sim.database)
            try:
                results[which] = under_attack(sim, duration)
            finally:
                sim.stop()
                sim.cleanup()
        say(f"   {'':>5} {'p50 ms':>9} {'p99 ms':>9} {'worst ms':>9} {'calls':>6} {'failed':>6}")
        for which in ("old", "new"):
            p50, p99, worst, count, failed = results[which]
            say(f"   {which:>5} {1e3 * p50:>9.1f} {1e3 * p99:>9.1f} {1e3 * worst:>9.1f} "
                f"{count:>6} {len(failed):>6}")
            for failure in failed[:3]:
                say(f"         failed: {failure}")
        old, new = results["old"], results["new"]
        say(f"   {'old/new':>5} {old[0] / new[0]:>9.1f} {old[1] / new[1]:>9.1f} "
            f"{old[2] / new[2]:>9.1f}")

        say(f"   the simulator's instructions per station round trip (callgrind, {calls} round "
            "trips, connect to close):")
        counted = {which: instructions(root, folder, calls) for which, root in roots}
        say(f"      old {counted['old'] / 1e6:.3f} M   new {counted['new'] / 1e6:.3f} M   "
            f"old/new {counted['old'] / counted['new']:.2f}")

        say(f"   round trips per second, station processes, median of {rounds} runs of "
            f"{duration:g} s, alternating which goes first:")
        for which, root in roots:
            sims[which] = Simulator(db=os.path.join(folder, f"rate-{which}.db"),
                                    python="/usr/bin/python3", root=root)
            sims[which].start()
            sims[which].login = (sims[which].server, sims[which].user, sims[which].password,
                                 sims[which].database)
        say(f"   {'stations':>8} {'old':>8} {'new':>8} {'new/old':>8}")
        for stations in (1, 4, 16):
            rates = {"old": [], "new": []}
            for r in range(rounds):
                for which in (("new", "old"), ("old", "new"))[r % 2]:
                    done, elapsed, _cpu, _failed = with_processes(sims[which].login, stations,
                                                                  duration)
                    rates[which].append(done / elapsed)
            old, new = statistics.median(rates["old"]), statistics.median(rates["new"])
            say(f"   {stations:>8} {old:>8.0f} {new:>8.0f} {new / old:>8.2f}")
    finally:
        for sim in sims.values():
            sim.stop()
            sim.cleanup()
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(old_root, ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--duration", type=float, default=1.0, help="seconds of each throughput run")
    p.add_argument("--repeats", type=int, default=3, help="throughput runs of each kind")
    p.add_argument("--rounds", type=int, default=7, help="rounds of the overhead comparison")
    p.add_argument("--calls", type=int, default=150, help="calls of each path in a round")
    p.add_argument("--baseline", metavar="DIR",
                   help="only compare throughput with the mes_simulator package in DIR")
    p.add_argument("--inprocess", metavar="DIR",
                   help="only compare the engine's work on the station's requests with DIR's")
    p.add_argument("--against", metavar="REV", nargs="?", const="fec97ef",
                   help="only compare latency under attack, instructions per round trip and "
                        "round trips per second with the simulator of git revision REV (fec97ef)")
    p.add_argument("--instructions-only", action="store_true",
                   help="with --against: only the instructions per round trip")
    args = p.parse_args()
    if args.inprocess:
        return inprocess(os.path.abspath(args.inprocess), args.rounds, args.calls)
    if args.against:
        quiet()
        try:
            if args.instructions_only:
                return instructions_only(args.against, args.calls)
            return against(args.against, max(args.duration, 5.0), args.calls, args.repeats)
        finally:
            sys.stdout = OUT
    # On /dev/shm when there is one: the query reads the database, and the
    # figures are about the connection and the round trip.
    folder = tempfile.mkdtemp(prefix="bench-mes-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    sim = Simulator(db=os.path.join(folder, "mes.db"), python="/usr/bin/python3")
    sims = [sim]
    if args.baseline:
        sims.append(Simulator(db=os.path.join(folder, "baseline.db"), python="/usr/bin/python3",
                              root=os.path.abspath(args.baseline)))
    try:
        for each in sims:
            each.start()
            each.login = (each.server, each.user, each.password, each.database)
        login = sim.login
        say(f"simulator {sim.server}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
        quiet()
        if args.baseline:
            versus(sim, sims[1], args.duration, args.rounds)
        else:
            overhead(login, args.rounds, args.calls)
            throughput(sim, login, args.duration, args.repeats)
    finally:
        sys.stdout = OUT
        for each in sims:
            each.stop()
            each.cleanup()
        for name in os.listdir(folder):
            os.remove(os.path.join(folder, name))
        os.rmdir(folder)


if __name__ == "__main__":
    main()
