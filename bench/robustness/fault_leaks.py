"""What each fault path of GetUnitInfo and SaveResult leaves behind in
the calling process, with the real driver against the MES simulator.

    /usr/bin/python3 bench/robustness/fault_leaks.py [--calls 300]

For every path, a fresh process (tests/robustness/fault_calls.py) makes
--calls calls after a warm-up of five; the table gives the calls, what
they gave, and the sockets, eventfds (anon_inode) and other file
descriptors, and the resident size, that stayed with the process per 100
calls. The exit code is 0: the table is the finding; the tests in
tests/robustness/test_faults.py hold the verdicts.
"""

import argparse
import collections
import json
import os
import socket
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
FAULT_CALLS = os.path.join(ROOT, "tests", "robustness", "fault_calls.py")
sys.path.insert(0, os.path.join(ROOT, "tests", "robustness"))

import robustness_support  # noqa: E402,F401  (the root on sys.path)

# path -> (scenario rows, server, changes to the call)
PATHS = {
    "answer": ([], None, {}),
    "unreadable answer (MESError)": ([dict(action="answer", text='a"b"c"d', code=0)], None, {}),
    "text GBK lacks": ([], None, {"employee": "€"}),
    "refused connection": ([], "closed", {}),
    "refused login": ([dict(action="refuse_login")], None, {}),
    "dropped after login": ([dict(action="drop_after_login")], None, {}),
    "dropped mid-batch": ([dict(action="drop_mid_batch", text="x", code=0, partial=9)], None, {}),
    "SQL error": ([dict(action="error", code=50001, text="MES is down")], None, {}),
}


def closed_port():
    """A loopback port bound but not listening: connecting is refused, and
    no other server can take the port while the socket is held."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    return s, "127.0.0.1:%d" % s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300, help="calls per path and function (default 300)")
    options = parser.parse_args()
    from mes_simulator.testing import Simulator
    # Room for the connections the leaking paths keep open.
    sim = Simulator(args=["--max-connections", str(2 * options.calls + 100)])
    sim.start()
    holder, nowhere = closed_port()
    print("%-30s %-12s %6s  %-40s %8s %8s %8s %9s" % ("path", "function", "calls", "outcome", "sockets",
                                                      "eventfds", "other", "rss KiB"))
    print("%-30s %-12s %6s  %-40s %26s %9s" % ("", "", "", "", "(left open per 100 calls)", ""))
    try:
        for path, (rows, server, changes) in PATHS.items():
            for function in ("GetUnitInfo", "SaveResult"):
                sim.clear_scenarios()
                for row in rows:
                    sim.add_scenario(row["action"], once=0, **{k: v for k, v in row.items() if k != "action"})
                serial = sim.add_unit(route=["P%d" % i for i in range(options.calls + 10)])
                calls = [dict(function=function, server=nowhere if server == "closed" else sim.server,
                              user=sim.user, password=sim.password, database=sim.database, serial=serial,
                              procedure="P%d" % i, **changes) for i in range(options.calls + 5)]
                done = subprocess.run([sys.executable, FAULT_CALLS], input=json.dumps({"calls": calls, "warmup": 5}),
                                      capture_output=True, text=True, timeout=1800)
                if done.returncode != 0:
                    raise SystemExit(done.stderr)
                report = json.loads(done.stdout)
                outcomes = collections.Counter(
                    "answer" if "answer" in r else "%s %s" % (r["raised"], r["number"] if r["number"] else "")
                    for r in report["calls"])
                warm, end = report["fds"]["warm"], report["fds"]["end"]

                def per_100(kind=None):
                    if kind is None:
                        grown = sum(end.values()) - sum(warm.values())
                        grown -= end.get("socket", 0) - warm.get("socket", 0)
                        grown -= end.get("anon_inode", 0) - warm.get("anon_inode", 0)
                    else:
                        grown = end.get(kind, 0) - warm.get(kind, 0)
                    return 100.0 * grown / options.calls

                rss = 100.0 * (report["rss_kib"]["end"] - report["rss_kib"]["warm"]) / options.calls
                print("%-30s %-12s %6d  %-40s %8.0f %8.0f %8.0f %+9.0f" % (
                    path, function, options.calls + 5, ", ".join("%s x%d" % kv for kv in outcomes.items())[:40],
                    per_100("socket"), per_100("anon_inode"), per_100(), rss), flush=True)
    finally:
        holder.close()
        sim.stop()
        sim.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
