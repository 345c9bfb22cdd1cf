#!/usr/bin/env bash
# The test run, in lanes. With no lane named it runs every lane, as CI does;
# each lane builds the variant it needs and checks that the library exports
# the entry point only. See --help and --list.
set -euo pipefail
cd "$(dirname "$0")/.."

# name | builds it needs | what it runs
lanes=(
    "real|release|the whole suite with Debian's wx (under Xvfb) and pymssql, against the MES simulator"
    "debug|debug|the suite with the stand-in toolkit under the debug interpreter python3-dbg"
    "leaks|debug|the reference-leak check of every path under the debug interpreter"
    "sanitizers|asan|the suite (real and stand-in) and a stress run under ASan and UBSan"
    "memory|debug|resident size and reference counts flat over 100,000 calls of every path"
    "i386|i386|the stand-in suite on a 32-bit interpreter (Debian's i386 libpython3.11)"
    "gbk|release|info.cfg and the dialogs (stand-ins) under the station's zh_CN.GBK locale"
    "wheel|release|both wheels built, installed into a fresh venv; the stand-in suite against them"
)

usage() {
    cat <<'EOF'
usage: bash scripts/test.sh [--dry-run] [--no-setup] [LANE ...]
       bash scripts/test.sh --list | --help

Runs the named lanes, or every lane when none is named (what CI runs, about
25 minutes on two cores). Before it, scripts/setup.sh installs what the
main job and the tests need (quick when everything is present).

  --list      the lanes, one a line: name, then what it runs
  --dry-run   print the commands the lanes would run, run nothing
  --no-setup  skip scripts/setup.sh
  --help      this text

Lanes (in the order they run):
EOF
    list_lanes | sed 's/^/  /'
    cat <<'EOF'

Examples:
  bash scripts/test.sh real          # the suite with the real toolkit and driver
  bash scripts/test.sh gbk wheel     # two lanes
  bash scripts/test.sh --dry-run sanitizers   # its commands, to run one by hand
EOF
}

list_lanes() {
    local lane
    for lane in "${lanes[@]}"; do
        IFS='|' read -r name _ what <<<"$lane"
        printf '%-11s %s\n' "$name" "$what"
    done
}

dry_run=0
setup=1
chosen=()
for arg in "$@"; do
    case "$arg" in
        -h|--help) usage; exit 0 ;;
        --list) list_lanes; exit 0 ;;
        --dry-run) dry_run=1 ;;
        --no-setup) setup=0 ;;
        -*) echo "test.sh: unknown option $arg (see --help)" >&2; exit 2 ;;
        *)
            known=0
            for lane in "${lanes[@]}"; do [ "${lane%%|*}" = "$arg" ] && known=1; done
            if [ "$known" = 0 ]; then
                echo "test.sh: no lane named '$arg'; the lanes: $(list_lanes | awk '{print $1}' | tr '\n' ' ')" >&2
                exit 2
            fi
            chosen+=("$arg") ;;
    esac
done
if [ ${#chosen[@]} = 0 ]; then
    for lane in "${lanes[@]}"; do chosen+=("${lane%%|*}"); done
fi

quote() {  # a word as the shell reads it back: as it is, or in single quotes (after NAME=)
    local word=$1 name=
    if [[ $word =~ ^[A-Za-z0-9_./:=,+-]+$ ]]; then echo "$word"; return; fi
    if [[ $word =~ ^([A-Za-z_][A-Za-z0-9_]*=)(.*)$ ]]; then name=${BASH_REMATCH[1]}; word=${BASH_REMATCH[2]}; fi
    echo "$name'${word//\'/\'\\\'\'}'"
}

# Every command a lane runs goes through `run`, so that --dry-run shows
# exactly what would run (environment included) and nothing else exists to
# drift from it.
run() {
    if [ "$dry_run" = 1 ]; then
        local word out=()
        for word in "$@"; do
            out+=("$(quote "$word")")
        done
        echo "${out[*]}"
    else
        # Lanes run in a subshell of their own: a failing command ends its lane.
        "$@" || exit $?
    fi
}
say() { echo "$@"; }

export PYTHONDONTWRITEBYTECODE=1
pytest=(-m pytest -q -p no:cacheprovider)
xvfb=(xvfb-run -a -s "-screen 0 1280x1024x24 -noreset")
asan_env=(ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

if [ "$setup" = 1 ] && [ "$dry_run" = 0 ]; then
    bash scripts/setup.sh main test
fi

declare -A built=()
build() {  # build VARIANT: once per run, then its exports checked
    local variant=$1 dir
    [ -n "${built[$variant]:-}" ] && return 0
    built[$variant]=1
    case "$variant" in
        release) dir=build ;; debug) dir=build-dbg ;; asan) dir=build-asan ;; i386) dir=build-i386 ;;
    esac
    run bash scripts/build.sh "$variant"
    run bash scripts/check-exports.sh "$dir"
}

sanitizers() {  # the preload line of the sanitizer runtimes
    echo "$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
}

lane_real() {
    # The dialog's labels are Chinese; without a font that covers them GTK
    # draws every character as a box, and the screenshots show nothing.
    if [ "$dry_run" = 0 ] && [ -z "$(fc-list :lang=zh 2>/dev/null)" ]; then
        echo "no installed font covers Chinese (fc-list :lang=zh lists none): install fonts-wqy-microhei" >&2
        exit 1
    fi
    run "${xvfb[@]}" /usr/bin/python3 "${pytest[@]}" tests
}

lane_debug() {
    run env TESSAVOR_STANDINS=1 TESSAVOR_BUILD=build-dbg python3-dbg "${pytest[@]}" tests
}

lane_leaks() {
    run env TESSAVOR_BUILD=build-dbg python3-dbg tests/leakcheck.py --calls 2000
}

lane_sanitizers() {
    local preload
    preload=$(sanitizers)
    run env "${asan_env[@]}" LD_PRELOAD="$preload" TESSAVOR_BUILD=build-asan \
        "${xvfb[@]}" /usr/bin/python3 "${pytest[@]}" tests
    run env "${asan_env[@]}" LD_PRELOAD="$preload" TESSAVOR_BUILD=build-asan TESSAVOR_STANDINS=1 \
        /usr/bin/python3 "${pytest[@]}" tests
    # Hostile callers from threads, with rebinding, garbage collection and
    # interrupts; Python objects from malloc, so that the sanitizer sees a
    # freed argument.
    run env "${asan_env[@]}" LD_PRELOAD="$preload" PYTHONMALLOC=malloc TESSAVOR_BUILD=build-asan \
        /usr/bin/python3 bench/robustness/stress.py --calls 50000 --seconds 300
}

lane_memory() {
    run env TESSAVOR_BUILD=build-dbg python3-dbg bench/robustness/memory.py --calls 100000
}

lane_i386() {
    run env TESSAVOR_STANDINS=1 TESSAVOR_BUILD=build-i386 build-i386/python3 "${pytest[@]}" tests
}

lane_gbk() {
    run env LC_ALL=zh_CN.GBK /usr/bin/python3 -c \
        'import locale; assert locale.getpreferredencoding(False) == "GBK", "no zh_CN.GBK locale"'
    run env LC_ALL=zh_CN.GBK TESSAVOR_STANDINS=1 /usr/bin/python3 "${pytest[@]}" \
        tests/test_station_file.py tests/test_mes_info_dialog.py tests/test_design_dialog.py
}

lane_wheel() {
    run bash scripts/check-wheels.sh build-dist
}

status=0
failed=()
for name in "${chosen[@]}"; do
    for lane in "${lanes[@]}"; do
        [ "${lane%%|*}" = "$name" ] || continue
        IFS='|' read -r _ needs what <<<"$lane"
        say "== $name: $what"
        started=$SECONDS
        if (for variant in $needs; do build "$variant"; done; "lane_$name"); then
            [ "$dry_run" = 1 ] || say "== $name: passed in $((SECONDS - started)) s"
            # What the subshell built stays built for the rest of the run.
            for variant in $needs; do built[$variant]=1; done
        else
            say "== $name: FAILED after $((SECONDS - started)) s"
            failed+=("$name")
            status=1
        fi
    done
done

[ "$dry_run" = 1 ] && exit 0
if [ "$status" = 0 ]; then
    echo "all tests passed (${chosen[*]})"
else
    echo "failed lanes: ${failed[*]}" >&2
fi
exit "$status"
