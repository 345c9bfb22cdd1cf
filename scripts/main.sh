#!/usr/bin/env bash
# The main job: a station session (examples/station_session.py) against the
# bundled MES simulator. See --help.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=/usr/bin/python3

usage() {
    cat <<'EOF'
usage: bash scripts/main.sh [--xvfb] [--keep] [--port N] [--dir FOLDER] [SESSION OPTIONS]
       bash scripts/main.sh --stop [--dir FOLDER]
       bash scripts/main.sh --help

A station session against the bundled MES simulator, on Debian 12 as root:
installs what it needs (scripts/setup.sh main), builds the module
(scripts/build.sh release), starts the simulator with its demo data, runs
examples/station_session.py and prints what the MES stored. Without --keep
everything lives in a temporary folder, removed at the end.

  --xvfb        show the dialog on a virtual display of its own (Xvfb) and
                fill it in by itself (--auto-confirm); without it the dialog
                is shown when DISPLAY is set
  --keep        keep the simulator running after the session, on port 1433
                (or --port), with its database, log and the session's
                info.cfg in build-session/ (or --dir), and print how to
                connect; an earlier kept simulator of that folder is stopped
                first, and the demo data start afresh
  --port N      the simulator's port (default: a free one; 1433 with --keep)
  --dir FOLDER  the folder --keep uses (default: build-session/)
  --stop        stop the simulator an earlier --keep left running
  --help        this text

Exit status (the session's, see below, or):
  7  set-up, the build, Xvfb or the simulator could not be started (a port
     in use, say)
  130, 143  interrupted (Ctrl-C, TERM)

Every other option goes to the session:
EOF
    if [ -x "$python" ]; then
        "$python" examples/station_session.py --help | sed -n '/^Exit status:/,/^$/p; /^options:/,$p' |
            sed 's/^/  /'
    else
        echo "  (shown once Debian's python3 is installed: bash scripts/setup.sh main)"
    fi
    cat <<'EOF'

main.sh passes --server, --workdir and demo station information
(--product-type M4R-100 --mrno MR-2024-0815 --opname 张三 --slot F1);
options given here come after those and win.
EOF
}

virtual_display=0
keep=0
stop=0
port=
keep_dir=build-session
session_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --xvfb) virtual_display=1 ;;
        --keep) keep=1 ;;
        --stop) stop=1 ;;
        --port|--dir)
            [ $# -ge 2 ] || { echo "main.sh: $1 needs a value (see --help)" >&2; exit 2; }
            if [ "$1" = --port ]; then port=$2; else keep_dir=$2; fi
            shift ;;
        --port=*) port=${1#--port=} ;;
        --dir=*) keep_dir=${1#--dir=} ;;
        *) session_args+=("$1") ;;
    esac
    shift
done
if [ -n "$port" ] && ! [[ $port =~ ^[0-9]+$ ]]; then
    echo "main.sh: --port takes a number, not '$port'" >&2
    exit 2
fi

kept_pid_file() { echo "$keep_dir/simulator.pid"; }
stop_kept() {  # stops the simulator an earlier --keep left in $keep_dir, if it runs
    local pid
    [ -f "$(kept_pid_file)" ] || return 0
    pid=$(cat "$(kept_pid_file)")
    if kill -0 "$pid" 2>/dev/null && grep -q mes_simulator "/proc/$pid/cmdline" 2>/dev/null; then
        echo "stopping the MES simulator kept in $keep_dir (process $pid)"
        kill -TERM "$pid"
        for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
    rm -f "$(kept_pid_file)"
}
if [ "$stop" = 1 ]; then
    [ -f "$(kept_pid_file)" ] || echo "no simulator kept in $keep_dir"
    stop_kept
    exit 0
fi

prepare_failed() { echo "main.sh: $*" >&2; exit 7; }
echo "== set-up and build"
bash scripts/setup.sh main || prepare_failed "set-up failed"
bash scripts/build.sh release || prepare_failed "the build failed"
echo

export PYTHONDONTWRITEBYTECODE=1
if [ "$keep" = 1 ]; then
    stop_kept
    mkdir -p "$keep_dir"
    work=$(cd "$keep_dir" && pwd)
    rm -rf "$work/mes.db" "$work/station" "$work/simulator.log"
    port=${port:-1433}
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/m4r-session.XXXXXX")
    port=${port:-0}
fi
simulator=
session_group=
xvfb=
keep_simulator=0

stop_simulator() {
    if [ -n "$simulator" ]; then
        kill -TERM "$simulator" 2>/dev/null || true
        for _ in $(seq 100); do kill -0 "$simulator" 2>/dev/null || break; sleep 0.1; done
        simulator=
    fi
}
cleanup() {
    if [ -n "$session_group" ]; then  # interrupted: the session and anything it started
        kill -TERM -- "-$session_group" 2>/dev/null || true
        wait "$session_group" 2>/dev/null || true
    fi
    if [ "$keep_simulator" = 0 ]; then
        stop_simulator
        [ "$keep" = 1 ] && rm -f "$work/simulator.pid"
    fi
    if [ -n "$xvfb" ]; then
        kill -TERM "$xvfb" 2>/dev/null || true
        wait "$xvfb" 2>/dev/null || true
    fi
    [ "$keep" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The simulator, seeded with the demo data, in a session of its own (so that
# it can outlive this script with --keep); it says "listening on HOST:PORT"
# once it accepts connections.
: >"$work/simulator.out"
setsid "$python" -m mes_simulator --port "$port" --db "$work/mes.db" --log "$work/simulator.log" \
    >"$work/simulator.out" </dev/null 2>>"$work/simulator.log" &
simulator=$!
address=
for _ in $(seq 300); do
    if read -r line <"$work/simulator.out" 2>/dev/null && [[ $line == "listening on "* ]]; then
        address=${line#listening on }
        break
    fi
    kill -0 "$simulator" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$address" ]; then
    if grep -qi "address already in use" "$work/simulator.log" 2>/dev/null; then
        prepare_failed "port $port is in use by another program: choose another with --port N" \
            "(or stop a simulator kept by another folder: bash scripts/main.sh --stop --dir FOLDER)"
    fi
    cat "$work/simulator.log" >&2 || true
    prepare_failed "the MES simulator did not start (its log is above)"
fi
[ "$keep" = 1 ] && echo "$simulator" >"$work/simulator.pid"
if [ "$keep" = 1 ]; then
    echo "MES simulator (demo data) listening on $address, in $work (kept after the session)"
else
    echo "MES simulator (demo data) listening on $address, in $work (removed at the end)"
fi
echo

results() {  # "count": the last row number of the MES's results; N: the rows after row N
    "$python" - "$work/mes.db" "$1" <<'EOF'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
if sys.argv[2] == "count":
    print(db.execute("SELECT COALESCE(MAX(id), 0) FROM results").fetchone()[0])
else:
    rows = db.execute("SELECT serial, procedure, employee, line, verdict, error_no FROM results"
                      " WHERE id > ? ORDER BY id", (int(sys.argv[2]),)).fetchall()
    for row in rows:
        print("   %s at %s by %s on %s: %s, error number %s" % row)
    if not rows:
        print("   (nothing: no upload was accepted)")
EOF
}
before=$(results count)

# The station information that the session fills the dialog with
# (--auto-confirm) or, without a dialog, saves to its info.cfg. Options given
# to this script come after these and win.
session=("$python" "$root/examples/station_session.py" --server "$address"
         --user mes --password mes --database MES --workdir "$work/station"
         --product-type M4R-100 --mrno MR-2024-0815 --opname 张三 --slot F1)
if [ "$virtual_display" = 1 ]; then
    # Xvfb takes the first free display number itself and writes it once it
    # accepts clients: no race with other virtual displays on the machine.
    # -noreset: without it the server resets whenever its last client leaves,
    # and a toolkit connecting during a reset aborts ("Can't create a
    # GtkStyleContext without a display connection").
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>"$work/xvfb.log" \
        </dev/null &
    xvfb=$!
    for _ in $(seq 300); do
        [ -s "$work/display" ] && break
        kill -0 "$xvfb" 2>/dev/null || break
        sleep 0.1
    done
    if [ ! -s "$work/display" ]; then
        cat "$work/xvfb.log" >&2 || true
        prepare_failed "Xvfb did not start (its log is above)"
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

if [ "$keep" = 1 ]; then
    keep_simulator=1
    host=${address%:*}
    port=${address##*:}
    cat <<EOF

== the MES simulator keeps running (--keep)
   address   $address, login mes, password mes, database MES
   folder    $work: mes.db, simulator.log, station/info.cfg (the session's)
   tsql      tsql -H $host -p $port -U mes -P mes -D MES
   pymssql   $python -c 'from pymssql import _mssql
             c = _mssql.connect(server="$address", user="mes", password="mes", database="MES")
             c.execute_query("SELECT serial, status FROM dbo.units")
             print([(row["serial"], row["status"]) for row in c])'
   more      the README's "Exploring with the simulator"
   stop it   bash scripts/main.sh --stop$([ "$keep_dir" = build-session ] || echo " --dir $keep_dir")
EOF
fi
exit "$status"
