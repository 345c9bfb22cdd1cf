#!/usr/bin/env bash
# Installs what the main job and the tests need, on Debian 12 as root, in
# groups; what is present already is left alone.
#
#   bash scripts/setup.sh [--dry-run] [GROUP ...]     (default: main test)
#
#   main  building the module and its wheels, the station session
#         (scripts/main.sh) and the clients the README explores the MES
#         simulator with (tsql, pandas, SQLAlchemy)
#   test  what the tests add: the debug interpreter, pytest and hypothesis,
#         the 32-bit tool chain and Debian's i386 libpython3.11 (which adds
#         the i386 architecture to dpkg), the zh_CN.GBK locale, and the
#         simulator's other clients: ODBC, Perl, PHP, Node (npm ci in
#         tests/clients fetches its packages from the npm registry) and
#         jTDS where a JDK is present
#
# It says up front what it will change, shows apt-get's progress, says when
# it waits for another package manager, and how long each group took.
# --dry-run says what it would change and changes nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

dry_run=0
groups=()
for arg in "$@"; do
    case "$arg" in
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        --dry-run) dry_run=1 ;;
        main|test) groups+=("$arg") ;;
        *) echo "setup.sh: unknown group or option '$arg' (groups: main, test; see --help)" >&2; exit 2 ;;
    esac
done
[ ${#groups[@]} -gt 0 ] || groups=(main test)

packages_main=(
    g++ cmake make
    python3 python3-dev
    python3-wxgtk4.0 python3-pymssql
    xvfb xauth                      # the dialog on a virtual display (main.sh --xvfb)
    fontconfig fonts-wqy-microhei   # a font with the dialog's Chinese labels
    openssl                         # the simulator's TLS certificate
    freetds-bin                     # tsql
    python3-sqlalchemy python3-pandas
    # the wheels (scripts/build-wheels.sh) and a venv to install them into
    python3-setuptools python3-wheel python3-build python3-venv python3-pip
)
packages_test=(
    python3-dbg
    python3-pytest python3-hypothesis
    tdsodbc unixodbc python3-pyodbc
    libdbd-sybase-perl php-cli php-sybase   # Perl's DBI and PHP's PDO on FreeTDS
    locales
    acl                             # setfacl, for the tests of a file with an ACL
    gcc-multilib g++-multilib libpython3.11-dev:i386   # the 32-bit lane
)
# Node for the simulator's client tests; npm comes with a Node from elsewhere.
command -v node >/dev/null || packages_test+=(nodejs)
command -v npm >/dev/null || packages_test+=(npm)
# jTDS where a JDK is at hand already (one is too large to add).
command -v javac >/dev/null && packages_test+=(libjtds-java)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}
missing_of() {  # the packages of a group not installed yet
    local name="packages_$1[@]" package
    for package in "${!name}"; do installed "$package" || echo "$package"; done
}

wants() { local g; for g in "${groups[@]}"; do [ "$g" = "$1" ] && return 0; done; return 1; }
clients=tests/clients
need_i386=0
need_locale=0
need_npm=0
if wants test; then
    dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
    locale -a 2>/dev/null | grep -qix zh_CN.gbk || need_locale=1
    # npm ci empties node_modules first: one that is a link to another
    # checkout's is that checkout's to keep, and is left alone.
    if [ ! -L "$clients/node_modules" ] && { [ ! -d "$clients/node_modules" ] ||
            [ "$clients/package-lock.json" -nt "$clients/node_modules" ]; }; then
        need_npm=1
    fi
fi

# What will change, before anything does.
declare -A missing=()
changes=0
for group in "${groups[@]}"; do
    missing[$group]=$(missing_of "$group" | tr '\n' ' ')
    [ -n "${missing[$group]}" ] && changes=1
done
[ $need_i386$need_locale$need_npm = 000 ] || changes=1
if [ "$changes" = 0 ]; then
    echo "setup (${groups[*]}): everything is in place"
    exit 0
fi
echo "setup (${groups[*]}) will change this machine:"
for group in "${groups[@]}"; do
    [ -n "${missing[$group]}" ] && echo "   $group: apt-get install ${missing[$group]}"
done
[ $need_i386 = 1 ] && echo "   dpkg --add-architecture i386 (for libpython3.11-dev:i386, the 32-bit lane)"
[ $need_locale = 1 ] && echo "   localedef: the locale zh_CN.GBK (the station's code page)"
[ $need_npm = 1 ] && echo "   npm ci in $clients: Node packages from the npm registry, for the client tests"
[ "$dry_run" = 1 ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "setup.sh: installing needs root (run it as root, or with sudo)" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# A fresh machine's automatic updates hold the package manager's locks for
# minutes after boot: wait for them (up to 20 minutes) instead of failing.
# apt-get waits for dpkg's lock by itself (and says so: "Waiting for cache
# lock"), but not for the package lists' lock that `update` takes: that one
# is tried again every 10 s.
wait_for_lock=(-o DPkg::Lock::Timeout=1200)
updated=0
apt_update() {
    [ "$updated" = 1 ] && return 0
    local attempt log
    echo "   apt-get update"
    for attempt in $(seq 120); do
        log=$(LC_ALL=C apt-get "${wait_for_lock[@]}" update -q 2>&1) && { updated=1; return 0; }
        if [ "$attempt" = 120 ] || ! grep -q "Could not get lock" <<<"$log"; then echo "$log" >&2; exit 1; fi
        [ "$attempt" = 1 ] && echo "   waiting for another package manager (apt or dpkg holds its lock;" \
            "automatic updates after boot, say): trying again every 10 s, up to 20 minutes"
        sleep 10
    done
}
apt_install() {  # apt's progress, a line per package, and its lock waits
    LC_ALL=C apt-get "${wait_for_lock[@]}" install -y --no-install-recommends "$@" 2>&1 |
        grep --line-buffered -E '^(Get:|Setting up|Waiting for|E:|W:)|newly installed' |
        sed -u 's/^/      /'
    return "${PIPESTATUS[0]}"
}

for group in "${groups[@]}"; do
    started=$SECONDS
    echo "== setup: $group"
    if [ "$group" = test ] && [ $need_i386 = 1 ]; then
        echo "   dpkg --add-architecture i386"
        dpkg --add-architecture i386
        updated=0
    fi
    if [ -n "${missing[$group]}" ]; then
        apt_update
        # shellcheck disable=SC2086
        apt_install ${missing[$group]}
    fi
    if [ "$group" = test ] && [ $need_npm = 1 ]; then
        echo "   npm ci in $clients"
        (cd "$clients" && npm ci --no-audit --no-fund --loglevel=error)
    fi
    if [ "$group" = test ] && [ $need_locale = 1 ]; then
        echo "   localedef -f GBK -i zh_CN zh_CN.GBK"
        localedef -f GBK -i zh_CN zh_CN.GBK
    fi
    echo "== setup: $group done in $((SECONDS - started)) s"
done
