#!/usr/bin/env bash
# Builds the wheels for Debian's Python (3.11), offline, with Debian's
# /usr/bin/python3 whatever python3 comes first on PATH:
#   - m4r_tessavor: its source archive, then a wheel built from that archive;
#   - m4r_wxtools: our station toolkit, a wheel of its own, for a machine
#     that has no toolkit of the station's (never needed on a station);
#   - m4r_mescheck: the MES check, pure Python, for the station's Python 3.6
#     (docs/mes-check.md).
#
#   bash scripts/build-wheels.sh [OUTDIR]      (default: dist/)
#
# Needs Debian's python3-build, python3-setuptools, python3-wheel and CMake
# (bash scripts/setup.sh test installs them). The station's wheel for
# 32-bit Windows is made by scripts/windows-check.sh (docs/windows.md).
set -euo pipefail
case "${1:-}" in
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
esac
cd "$(dirname "$0")/.."
out=${1:-dist}
python=/usr/bin/python3
mkdir -p "$out"
log="$out/build-wheels.log"
: >"$log"

built() {  # the newest file of a pattern in $out
    ls -t "$out"/$1 2>/dev/null | head -1
}
step() {  # step WHAT COMMAND...: the command's output goes to the log
    local what=$1 started=$SECONDS
    shift
    echo "building $what ..."
    if ! "$@" >>"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "build-wheels.sh: building $what failed (the whole log: $log)" >&2
        exit 1
    fi
    echo "   done in $((SECONDS - started)) s"
}

step "m4r_tessavor (source archive, then the wheel from it)" \
    "$python" -m build --no-isolation --outdir "$out" .
step "m4r_wxtools (wheel)" "$python" -m build --no-isolation --wheel --outdir "$out" python
step "m4r_mescheck (wheel)" "$python" -m build --no-isolation --wheel --outdir "$out" mes_check

module=$(built 'm4r_tessavor-*.whl')
toolkit=$(built 'm4r_wxtools-*.whl')
check=$(built 'm4r_mescheck-*.whl')
echo
echo "built:"
echo "   $(built 'm4r_tessavor-*.tar.gz')"
echo "   $module"
echo "   $toolkit"
echo "   $check"
echo "install, offline (into a venv made with --system-site-packages, which sees Debian's wx and pymssql):"
echo "   python -m pip install --no-index $module"
echo "and only where the station's own m4r_wxtools is missing:"
echo "   python -m pip install --no-index $toolkit"
echo "the MES check, on the station or here (docs/mes-check.md):"
echo "   python -m pip install --no-index $check"
