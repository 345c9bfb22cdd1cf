"""Loading rows into the MES simulator: bulk copy against INSERT batches.

    /usr/bin/python3 bench/bench_bulk.py [--rows 5000] [--rounds 3]

Each round loads --rows new units into a fresh simulator two ways, in turn: one
INSERT ... VALUES batch per 250 rows through pymssql (the baseline), and freebcp in
(INSERT BULK and bulk-load messages of 1,000 rows). It prints the rows per second of
each (the median of the rounds) and the ratio against the baseline, then those of
freebcp out of the same rows.

Figures only; nothing is asserted. The figures depend on the machine and on what
else runs there.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from mes_simulator.testing import Simulator  # noqa: E402


def units(prefix, n):
    return [(f"{prefix}{i:07d}", "M4R-100", "FT1,FT2,PACK", 0, "ACTIVE", 0) for i in range(n)]


def freebcp(sim, *args):
    done = subprocess.run(["freebcp"] + list(args) + ["-S", sim.server, "-U", sim.user,
                                                       "-P", sim.password],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=600)
    if done.returncode:
        raise SystemExit(done.stdout.decode(errors="replace"))


def by_bcp(sim, rows, folder):
    path = os.path.join(folder, "units.dat")
    with open(path, "w", encoding="utf-8") as f:
        f.writelines("\t".join(str(v) for v in row) + "\n" for row in rows)
    start = time.perf_counter()
    freebcp(sim, "MES.dbo.units", "in", path, "-c")
    return time.perf_counter() - start


def by_batches(sim, rows, _folder):
    import pymssql
    db = pymssql.connect(server=sim.host, port=sim.port, user=sim.user, password=sim.password,
                         database=sim.database, autocommit=True)
    start = time.perf_counter()
    cur = db.cursor()
    for n in range(0, len(rows), 250):  # 250 rows: some 32 KB, within --max-batch-size
        values = ", ".join("(N'%s', N'%s', N'%s', %d, N'%s', %d)" % row
                           for row in rows[n:n + 250])
        cur.execute("INSERT INTO dbo.units (serial, product, route, step, status, failures) "
                    "VALUES " + values)
    elapsed = time.perf_counter() - start
    db.close()
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=3)
    options = parser.parse_args()
    ways = [("INSERT batches of 250 rows (baseline)", by_batches), ("freebcp in", by_bcp)]
    times = {name: [] for name, _f in ways}
    out_times = []
    with tempfile.TemporaryDirectory() as folder:
        for n in range(options.rounds):
            for k, (name, function) in enumerate(ways):
                with Simulator() as sim:
                    times[name].append(function(sim, units(f"B{n}{k}-", options.rows), folder))
                    if function is by_bcp:
                        start = time.perf_counter()
                        freebcp(sim, "MES.dbo.units", "out", os.path.join(folder, "out.dat"),
                                "-c")
                        out_times.append(time.perf_counter() - start)
                sim.cleanup()
    base = statistics.median(times[ways[0][0]])
    print(f"{options.rows} units, median of {options.rounds} rounds")
    for name, _f in ways:
        median = statistics.median(times[name])
        print(f"  {name:40s} {options.rows / median:9.0f} rows/s  x{base / median:.2f}")
    print(f"  {'freebcp out':40s} {(options.rows + 10) / statistics.median(out_times):9.0f} "
          "rows/s")


if __name__ == "__main__":
    main()
