#!/usr/bin/env bash
# Builds the extension. Variants:
#   release  build/        Debian's /usr/bin/python3
#   debug    build-dbg/    the debug interpreter python3-dbg, for reference-leak checks
#   asan     build-asan/   AddressSanitizer and UndefinedBehaviorSanitizer
#   i386     build-i386/   32-bit, against Debian's i386 libpython3.11; build-i386/python3 is its interpreter
set -euo pipefail
cd "$(dirname "$0")/.."

variant=${1:-release}
case "$variant" in
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    release) dir=build;      args=(-DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    debug)   dir=build-dbg;  args=(-DPython3_EXECUTABLE=/usr/bin/python3-dbg -DCMAKE_BUILD_TYPE=Debug) ;;
    asan)    dir=build-asan; args=(-DPython3_EXECUTABLE=/usr/bin/python3 -DCMAKE_BUILD_TYPE=Debug -DTESSAVOR_SANITIZE=ON) ;;
    i386)    dir=build-i386; args=(-DPython3_EXECUTABLE="$PWD/build-i386/python3" -DCMAKE_BUILD_TYPE=RelWithDebInfo
                                   -DCMAKE_CXX_FLAGS=-m32) ;;
    *) echo "usage: $0 [release|debug|asan|i386]" >&2; exit 2 ;;
esac

if [ "$variant" = i386 ]; then
    # The 32-bit interpreter: a launcher of our own over the i386 libpython3.11.
    mkdir -p "$dir"
    gcc -m32 -O2 -Wall -Wextra -Werror -I/usr/include/python3.11 scripts/python32.c \
        -L/usr/lib/i386-linux-gnu -lpython3.11 -o "$dir/python3"
fi

cmake -S . -B "$dir" "${args[@]}" >/dev/null
# Warnings are errors here, so that the build stays warning-free.
log=$(cmake --build "$dir" -j"$(nproc)" 2>&1) || { echo "$log"; exit 1; }
if grep -q "warning:" <<<"$log"; then
    echo "$log" | grep -A3 "warning:"
    echo "build $variant: compiler warnings" >&2
    exit 1
fi
echo "built $variant in $dir/"
