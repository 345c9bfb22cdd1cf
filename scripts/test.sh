#!/usr/bin/env bash
# The whole test run, as CI runs it: installs what it needs, builds the four
# variants and runs
#   1. the suite with Debian's wx (under Xvfb) and pymssql, against the MES simulator;
#   2. the suite with the stand-in toolkit under the debug interpreter;
#   3. the reference-leak check under the debug interpreter;
#   4. the suite and a short stress run under AddressSanitizer and UndefinedBehaviorSanitizer;
#   5. resident size and reference counts flat over many calls of every path;
#   6. the suite with the stand-in toolkit on a 32-bit interpreter;
#   7. info.cfg and the dialogs under the station's GBK locale;
#   8. the wheel and source archive: built (the wheel from the archive), the
#      wheel installed into a fresh venv, the stand-in suite against it; and
#      what `cmake --install` puts into a folder.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
# The dialog's labels are Chinese; without a font that covers them GTK draws
# every character as a box, and the screenshots and dialog runs show nothing.
if [ -z "$(fc-list :lang=zh 2>/dev/null)" ]; then
    echo "no installed font covers Chinese (fc-list :lang=zh lists none): install fonts-wqy-microhei" >&2
    exit 1
fi
bash scripts/build.sh release
bash scripts/build.sh debug
bash scripts/build.sh asan
bash scripts/build.sh i386

export PYTHONDONTWRITEBYTECODE=1

# The entry point is exported on every host and nothing else of the module is.
exports_only_the_entry_point() {
    local exported
    exported=$(nm -D --defined-only "$1"/m4r_tessavor*.so | awk '{print $NF}')
    if [ "$exported" != PyInit_m4r_tessavor ]; then
        echo "$1: the library exports other than PyInit_m4r_tessavor:" $exported >&2
        return 1
    fi
}
echo "== exported symbols"
for dir in build build-dbg build-asan build-i386; do exports_only_the_entry_point "$dir"; done
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

echo "== 6. 32-bit interpreter (i386), stand-in toolkit"
TESSAVOR_STANDINS=1 TESSAVOR_BUILD=build-i386 build-i386/python3 "${pytest[@]}" tests

echo "== 7. the station's GBK locale: info.cfg and the dialogs, stand-in toolkit"
export LC_ALL=zh_CN.GBK
/usr/bin/python3 -c 'import locale; assert locale.getpreferredencoding(False) == "GBK", "no zh_CN.GBK locale"'
TESSAVOR_STANDINS=1 /usr/bin/python3 "${pytest[@]}" tests/test_station_file.py tests/test_mes_info_dialog.py \
    tests/test_design_dialog.py
unset LC_ALL

echo "== 8. the wheel, installed into a fresh venv, stand-in toolkit"
dist=build-dist
rm -rf "$dist" && mkdir -p "$dist"
/usr/bin/python3 -m build --no-isolation --outdir "$dist" . >"$dist/build.log" 2>&1 || { cat "$dist/build.log"; exit 1; }
wheel=$(ls "$dist"/m4r_tessavor-*.whl)
# At the top of the wheel: the extension and its stub, nothing else (the
# station's own m4r_wxtools is never replaced).
top=$(/usr/bin/python3 -c 'import sys, zipfile
names = {n.split("/")[0] for n in zipfile.ZipFile(sys.argv[1]).namelist()}
print(" ".join(sorted(n for n in names if not n.endswith(".dist-info"))))' "$wheel")
ext=$(/usr/bin/python3 -c 'import sysconfig; print("m4r_tessavor" + sysconfig.get_config_var("EXT_SUFFIX"))')
[ "$top" = "$ext m4r_tessavor.pyi" ] || { echo "the wheel holds at its top: $top" >&2; exit 1; }
/usr/bin/python3 -m venv --system-site-packages "$dist/venv"
"$dist/venv/bin/python" -m pip install -q --no-index --no-build-isolation "$wheel"
site=$("$dist/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
exports_only_the_entry_point "$site"
TESSAVOR_STANDINS=1 TESSAVOR_INSTALLED=1 "$dist/venv/bin/python" "${pytest[@]}" tests
# cmake --install puts in the extension and its stub and leaves a toolkit
# already in the folder as it was.
mkdir "$dist/station"
echo "# the station's own toolkit" >"$dist/station/m4r_wxtools.py"
cmake --install build --prefix "$dist/station" >/dev/null
installed=$(cd "$dist/station" && LC_ALL=C ls | tr '\n' ' ')
[ "$installed" = "$(basename build/m4r_tessavor*.so) m4r_tessavor.pyi m4r_wxtools.py " ] &&
    [ "$(cat "$dist/station/m4r_wxtools.py")" = "# the station's own toolkit" ] ||
    { echo "cmake --install left in the folder: $installed" >&2; exit 1; }

echo "all tests passed"
