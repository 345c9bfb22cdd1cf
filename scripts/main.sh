#!/usr/bin/env bash
# The main job: a station session (examples/station_session.py) against the
# bundled MES simulator. On Debian 12 as root it installs what it needs,
# builds the extension, starts the simulator with its demo data on a free
# port in a temporary folder, runs the session there and stops the
# simulator again, whatever happens.
#
#   bash scripts/main.sh [--xvfb] [options of examples/station_session.py]
#
# With DISPLAY set the session first shows the MES information dialog; with
# DISPLAY unset it takes the station information from options (demo values
# below). --xvfb runs the session on a virtual display of its own (Xvfb) with
# --auto-confirm, so that the dialog path runs unattended without a display.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

virtual_display=0
session_args=()
for arg in "$@"; do
    case "$arg" in
        --xvfb) virtual_display=1 ;;
        *) session_args+=("$arg") ;;
    esac
done

bash scripts/setup.sh
bash scripts/build.sh release

export PYTHONDONTWRITEBYTECODE=1
work=$(mktemp -d "${TMPDIR:-/tmp}/m4r-session.XXXXXX")
simulator=
session_group=
xvfb=

stop_simulator() {
    if [ -n "$simulator" ]; then
        kill -TERM "$simulator" 2>/dev/null || true
        wait "$simulator" 2>/dev/null || true
        simulator=
    fi
}
cleanup() {
    if [ -n "$session_group" ]; then  # interrupted: the session and anything it started
        kill -TERM -- "-$session_group" 2>/dev/null || true
        wait "$session_group" 2>/dev/null || true
    fi
    stop_simulator
    if [ -n "$xvfb" ]; then
        kill -TERM "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The simulator, seeded with the demo data; it says "listening on HOST:PORT"
# once it accepts connections.
: >"$work/simulator.out"
/usr/bin/python3 -m mes_simulator --port 0 --db "$work/mes.db" --log "$work/simulator.log" \
    >"$work/simulator.out" </dev/null &
simulator=$!
address=
for _ in $(seq 300); do
    if read -r line <"$work/simulator.out" 2>/dev/null && [[ $line == "listening on "* ]]; then
        address=${line#listening on }
        break
    fi
    if ! kill -0 "$simulator" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if [ -z "$address" ]; then
    echo "the MES simulator did not start:" >&2
    cat "$work/simulator.log" >&2 || true
    exit 1
fi
echo "MES simulator (demo data) listening on $address, in $work (removed at the end)"
echo

results() {  # "count": the last row number of the MES's results; N: the rows after row N
    /usr/bin/python3 - "$work/mes.db" "$1" <<'EOF'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
if sys.argv[2] == "count":
    print(db.execute("SELECT COALESCE(MAX(id), 0) FROM results").fetchone()[0])
else:
    for row in db.execute("SELECT serial, procedure, employee, line, verdict, error_no FROM results"
                          " WHERE id > ? ORDER BY id", (int(sys.argv[2]),)):
        print("   %s at %s by %s on %s: %s, error number %s" % row)
EOF
}
before=$(results count)

# The station information that the session fills the dialog with
# (--auto-confirm) or, without a dialog, saves to its info.cfg. Options given
# to this script come after these and win.
session=(/usr/bin/python3 "$root/examples/station_session.py" --server "$address"
         --user mes --password mes --database MES --workdir "$work/station"
         --product-type M4R-100 --mrno MR-2024-0815 --opname 张三 --slot F1)
if [ "$virtual_display" = 1 ]; then
    # Xvfb takes the first free display number itself and writes it once it
    # accepts clients: no race with other virtual displays on the machine.
    # -noreset: without it the server resets whenever its last client leaves,
    # and a toolkit connecting during a reset aborts ("Can't create a
    # GtkStyleContext without a display connection").
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>"$work/xvfb.log" </dev/null &
    xvfb=$!
    for _ in $(seq 300); do
        [ -s "$work/display" ] && break
        kill -0 "$xvfb" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$work/display" ]; then
        echo "Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2 || true
        exit 1
    fi
    export DISPLAY=":$(cat "$work/display")"
    echo "virtual display $DISPLAY (Xvfb)"
    session+=(--auto-confirm)
fi

# In a process group of its own, waited for in the background, so that an
# interrupt or a TERM of this script ends it (and a dialog waiting for the
# operator) at once.
status=0
setsid "${session[@]}" "${session_args[@]}" </dev/null &
session_group=$!
wait "$session_group" || status=$?
session_group=

echo
echo "== what the MES stored during the session"
results "$before"

stop_simulator
exit "$status"
