#!/usr/bin/env bash
# The whole test run, as CI runs it: installs what it needs, builds the three
# variants and runs
#   1. the suite with Debian's wx (under Xvfb) and pymssql, against the MES simulator;
#   2. the suite with the stand-in toolkit under the debug interpreter;
#   3. the reference-leak check under the debug interpreter;
#   4. the suite and a short stress run under AddressSanitizer and UndefinedBehaviorSanitizer;
#   5. resident size and reference counts flat over many calls of every path.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/build.sh release
bash scripts/build.sh debug
bash scripts/build.sh asan

export PYTHONDONTWRITEBYTECODE=1
pytest=(-m pytest -q -p no:cacheprovider)

echo "== 1. real wx and pymssql"
xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" /usr/bin/python3 "${pytest[@]}" tests

echo "== 2. stand-in toolkit, debug interpreter"
TESSAVOR_STANDINS=1 TESSAVOR_BUILD=build-dbg python3-dbg "${pytest[@]}" tests

echo "== 3. reference leaks, debug interpreter"
TESSAVOR_BUILD=build-dbg python3-dbg tests/leakcheck.py

echo "== 4. AddressSanitizer and UndefinedBehaviorSanitizer"
sanitizers="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
LD_PRELOAD="$sanitizers" TESSAVOR_BUILD=build-asan \
    xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" /usr/bin/python3 "${pytest[@]}" tests
LD_PRELOAD="$sanitizers" TESSAVOR_BUILD=build-asan TESSAVOR_STANDINS=1 \
    /usr/bin/python3 "${pytest[@]}" tests
# hostile callers from threads, with rebinding, garbage collection and interrupts
# (Python objects from malloc, so that the sanitizer sees a freed argument)
LD_PRELOAD="$sanitizers" PYTHONMALLOC=malloc TESSAVOR_BUILD=build-asan \
    /usr/bin/python3 bench/robustness/stress.py --calls 50000 --seconds 300

echo "== 5. memory flat over many calls, debug interpreter"
TESSAVOR_BUILD=build-dbg python3-dbg bench/robustness/memory.py --calls 100000

echo "all tests passed"
