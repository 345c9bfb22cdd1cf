"""Instructions per call of module, twin and floor, counted by callgrind.

    xvfb-run -a /usr/bin/python3 bench/bench_callgrind.py GROUP [--op TEXT] [--calls N] [--keep DIR]

GROUP is one of the groups of bench_module.py (reader, fake, simulator,
station, dialog). The script runs itself under
`valgrind --tool=callgrind --collect-atstart=no`; there it builds the same
operations as bench_module.py and, for each variant, switches collection on
only around the N calls of its loop (a client request from a small helper
compiled on the spot) and dumps the counts under the name
"<operation>|<variant>". It then prints the instructions per call, the
overheads above the floor and their ratio, and keeps the dump files (in DIR,
or a temporary folder it names) for callgrind_annotate:

    callgrind_annotate --inclusive=yes DIR/callgrind.out.<pid>.<k>

Instruction counts do not depend on the machine's load, so they settle
questions that timings on a busy machine leave open; they do not see what
waiting (for the MES, for the disk) costs.
"""

import argparse
import ctypes
import gc
import glob
import os
import re
import subprocess
import sys
import tempfile

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

HELPER_SOURCE = r"""
#include <valgrind/callgrind.h>
void bench_zero(void) { CALLGRIND_ZERO_STATS; }
void bench_toggle(void) { CALLGRIND_TOGGLE_COLLECT; }
void bench_dump(const char* label) { CALLGRIND_DUMP_STATS_AT(label); }
"""

VARIANTS = ("module", "twin", "floor")


def run_loop(loop, calls, names):
    return loop(calls, **names)


def build_helper(folder):
    source = os.path.join(folder, "bench_cg_helper.c")
    library = os.path.join(folder, "bench_cg_helper.so")
    with open(source, "w") as f:
        f.write(HELPER_SOURCE)
    subprocess.run(["gcc", "-O1", "-shared", "-fPIC", "-o", library, source], check=True)
    return library


def inside(options):
    """Under valgrind: run the loops with collection on around them."""
    import warnings
    import wx  # noqa: F401  (before the filters: wx sets its own)
    warnings.simplefilter("ignore")
    import bench_module as bm

    helper = ctypes.CDLL(options.helper)
    mod, twin = bm.load_modules()
    if options.group == "dialog":
        if not bm.hold_display():
            raise SystemExit("no usable X display: run under xvfb-run -a")
        app = wx.App()  # noqa: F841
    with bm.Quiet(), bm.GROUPS[options.group](mod, twin, 3, 0.01) as ops:
        for op in ops:
            if options.op and options.op not in op.name:
                continue
            calls = options.calls or (20 if op.slow else 500)
            for label, variant in zip(VARIANTS, op.variants):
                if variant.before_round is not None:
                    variant.before_round()
                variant.loop(max(2, calls // 10), **variant.names)   # warm: caches, specialised byte code
                if op.after_round is not None:
                    op.after_round()
                # The median over the depths of bench_module (see DEPTHS there).
                for depth in bm.DEPTHS:
                    gc.collect()
                    gc.disable()
                    helper.bench_zero()
                    helper.bench_toggle()
                    bm.at_depth(depth, run_loop, variant.loop, calls, variant.names)
                    helper.bench_toggle()
                    gc.enable()
                    helper.bench_dump(("%s|%s|%d|%d" % (op.name, label, depth, calls)).encode())
                    if op.after_round is not None:
                        op.after_round()


IMPORT_TARGETS = (("module", "m4r_tessavor"), ("twin", "twin"), ("floor", "bench_empty_module"))


def inside_import(options):
    """Under valgrind, in a fresh interpreter: the dependencies first, then
    the one target with collection on."""
    import warnings
    warnings.simplefilter("ignore")
    sys.path.insert(0, os.path.join(os.path.dirname(BENCH), "tests"))
    import support  # the build folder on sys.path, as bench_module has it
    if support.STANDIN_MODE:
        # A host that has loaded no C++ library yet (the real wx loads the
        # C++ runtime): what the module's own libraries cost shows.
        support.install_standins()
    import wx, pymssql._mssql, configparser, m4r_wxtools  # noqa: F401,E401
    sys.path[:0] = [options.import_path]
    helper = ctypes.CDLL(options.helper)
    label, target = options.import_target.split(":")
    helper.bench_zero()
    helper.bench_toggle()
    __import__(target)
    helper.bench_toggle()
    helper.bench_dump(("import (after its dependencies)|%s|0|1" % label).encode())


def run_import(options, folder, helper):
    """One valgrind run per target: an import happens once per process."""
    import bench_module as bm
    empty = os.path.join(folder, "bench_empty_module.py")
    open(empty, "w").close()
    env = dict(os.environ, PYTHONHASHSEED="0")
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    for label, target in IMPORT_TARGETS:
        path = {"module": bm.BUILD, "twin": BENCH, "floor": folder}[label]
        # Once without valgrind: byte code caches written.
        subprocess.run([sys.executable, "-c", "import sys; sys.path[:0] = [%r, %r]; import %s"
                        % (path, bm.BUILD, target)], check=True, env=env, capture_output=True)
        command = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
                   "--callgrind-out-file=" + os.path.join(folder, "callgrind.out.%p"),
                   sys.executable, os.path.abspath(__file__), "import", "--helper", helper,
                   "--import-target", "%s:%s" % (label, target), "--import-path", path]
        done = subprocess.run(command, stderr=subprocess.PIPE, text=True, env=env)
        if done.returncode != 0:
            sys.stderr.write(done.stderr)
            raise SystemExit(done.returncode)


def read_dumps(folder):
    """{operation: {variant: (instructions per call, dump file)}} from the
    dump files: the median over the depths, and the dump of that depth."""
    counts = {}
    dumps = glob.glob(os.path.join(folder, "callgrind.out.*.*"))
    for path in sorted(dumps, key=lambda p: int(p.rsplit(".", 1)[1])):
        with open(path, encoding="utf-8", errors="replace") as f:
            head = f.read(4096)
        label = re.search(r"^desc: Trigger: Client Request: (.*)$", head, re.M)
        total = re.search(r"^summary: (\d+)$", head, re.M)
        if not label or not total:
            continue
        name, variant, _depth, calls = label.group(1).rsplit("|", 3)
        counts.setdefault(name, {}).setdefault(variant, []).append((int(total.group(1)) / int(calls), path))
    figures = {}
    for name, by_variant in counts.items():
        for variant, runs in by_variant.items():
            runs.sort()
            figures.setdefault(name, {})[variant] = runs[len(runs) // 2]
    return figures


def report(figures):
    header = "%-46s %12s %12s %12s %12s %12s %8s" % ("operation (instructions per call)", "module", "twin",
                                                   "floor", "mod over", "twin over", "over m/t")
    print(header)
    print("-" * len(header))
    for name, by_variant in figures.items():
        m, t, f = (by_variant[v][0] for v in VARIANTS)
        ratio = "%8.2f" % ((m - f) / (t - f)) if t > f else "%8s" % "n/a"
        print("%-46s %12.0f %12.0f %12.0f %12.0f %12.0f %s" % (name, m, t, f, m - f, t - f, ratio))
    print()
    for name, by_variant in figures.items():
        print("%-46s module dump: %s" % (name, by_variant["module"][1]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("group", choices=["reader", "fake", "simulator", "station", "dialog", "import"])
    parser.add_argument("--op", help="only the operations whose name holds this text")
    parser.add_argument("--calls", type=int, help="calls per variant (default 2000; 20 for slow operations)")
    parser.add_argument("--keep", metavar="DIR", help="folder for the dump files")
    parser.add_argument("--helper", help=argparse.SUPPRESS)
    parser.add_argument("--import-target", help=argparse.SUPPRESS)
    parser.add_argument("--import-path", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.helper:
        if options.group == "import":
            inside_import(options)
        else:
            inside(options)
        return

    folder = options.keep or tempfile.mkdtemp(prefix="bench-callgrind-")
    os.makedirs(folder, exist_ok=True)
    for old in glob.glob(os.path.join(folder, "callgrind.out.*")):
        os.remove(old)
    helper = build_helper(folder)
    if options.group == "import":
        run_import(options, folder, helper)
        report(read_dumps(folder))
        return
    command = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
               "--callgrind-out-file=" + os.path.join(folder, "callgrind.out.%p"),
               sys.executable, os.path.abspath(__file__), options.group, "--helper", helper]
    if options.op:
        command += ["--op", options.op]
    if options.calls:
        command += ["--calls", str(options.calls)]
    done = subprocess.run(command, stderr=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(done.returncode)
    report(read_dumps(folder))


if __name__ == "__main__":
    main()
