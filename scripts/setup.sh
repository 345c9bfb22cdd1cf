#!/usr/bin/env bash
# Installs what building, testing and running the station session need, on
# Debian 12 as root. Packages already present are left alone.
set -euo pipefail

packages=(
    g++ cmake make
    python3 python3-dev python3-dbg
    python3-wxgtk4.0 python3-pymssql
    python3-pytest python3-hypothesis
    python3-setuptools python3-wheel python3-build python3-venv python3-pip   # the wheel lane
    xvfb xauth
    freetds-bin tdsodbc unixodbc python3-pyodbc
    python3-sqlalchemy python3-pandas   # the simulator's SQL clients: an ORM and a data tool
    libdbd-sybase-perl php-cli php-sybase   # ... Perl's DBI and PHP's PDO on FreeTDS
    fontconfig fonts-wqy-microhei   # fc-list; a font with the dialog's Chinese labels
    locales
    acl                             # setfacl, for the tests of a file with an ACL
    # The 32-bit lane: Debian's i386 CPython and a 32-bit compiler.
    gcc-multilib g++-multilib libpython3.11-dev:i386
)
# Node for the simulator's client tests (tests/clients); npm comes with a Node from elsewhere.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)
# jTDS for the simulator's client tests, where a JDK is at hand already (one is too large to add).
command -v javac >/dev/null && packages+=(libjtds-java)

dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
# The MES simulator's TLS certificate is made with openssl; its tests run tsql (freetds-bin).
for package in openssl freetds-bin; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # A fresh machine's automatic updates hold the package manager's locks for
    # minutes after boot: wait for them (up to 20 minutes) instead of failing.
    # apt-get waits for dpkg's lock by itself, but not for the package lists'
    # lock that `update` takes: that one is tried again every 10 s.
    wait_for_lock=(-o DPkg::Lock::Timeout=1200)
    for attempt in $(seq 120); do
        log=$(LC_ALL=C apt-get "${wait_for_lock[@]}" update -qq 2>&1) && break
        if [ "$attempt" = 120 ] || ! grep -q "Could not get lock" <<<"$log"; then echo "$log" >&2; exit 1; fi
        sleep 10
    done
    apt-get "${wait_for_lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The Node clients the simulator is tested with, as locked in tests/clients/package-lock.json.
clients="$(dirname "$0")/../tests/clients"
if [ ! -d "$clients/node_modules" ] || [ "$clients/package-lock.json" -nt "$clients/node_modules" ]; then
    (cd "$clients" && npm ci --no-audit --no-fund --loglevel=error)
fi

# The GBK lane: the station's locale.
locale -a | grep -qix zh_CN.gbk || localedef -f GBK -i zh_CN zh_CN.GBK
