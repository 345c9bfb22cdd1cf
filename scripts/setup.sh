#!/usr/bin/env bash
# Installs what building, testing and running the station session need, on
# Debian 12 as root. Packages already present are left alone.
set -euo pipefail

packages=(
    g++ cmake make
    python3 python3-dev python3-dbg
    python3-wxgtk4.0 python3-pymssql
    python3-pytest python3-hypothesis
    xvfb xauth
)

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
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
