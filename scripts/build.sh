#!/usr/bin/env bash
# Builds the extension. Variants:
#   release  build/        Debian's /usr/bin/python3
#   debug    build-dbg/    the debug interpreter python3-dbg, for reference-leak checks
#   asan     build-asan/   AddressSanitizer and UndefinedBehaviorSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."

variant=${1:-release}
case "$variant" in
    release) dir=build;      args=(-DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    debug)   dir=build-dbg;  args=(-DPython3_EXECUTABLE=/usr/bin/python3-dbg -DCMAKE_BUILD_TYPE=Debug) ;;
    asan)    dir=build-asan; args=(-DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=Debug -DTESSAVOR_SANITIZE=ON) ;;
    *) echo "usage: $0 [release|debug|asan]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" "${args[@]}" >/dev/null
# Warnings are errors here, so that the build stays warning-free.
log=$(cmake --build "$dir" -j"$(nproc)" 2>&1) || { echo "$log"; exit 1; }
if grep -q "warning:" <<<"$log"; then
    echo "$log" | grep -A3 "warning:"
    echo "build $variant: compiler warnings" >&2
    exit 1
fi
echo "built $variant in $dir/"
