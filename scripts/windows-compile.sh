#!/usr/bin/env bash
# Compiles every source of the module for 32- and 64-bit Windows with
# Debian's MinGW-w64, to objects only, and fails on any warning: the check
# of the Windows-only code (the settings file's save among it) where no
# Windows CPython is at hand for scripts/windows-check.sh. The host's Python
# headers are used with a Windows pyconfig.h of our own (MS_WINDOWS, the
# sizes of the target); nothing is linked.
#
#   bash scripts/windows-compile.sh
#
# Needs g++-mingw-w64-i686 and g++-mingw-w64-x86-64 (not part of CI).
set -euo pipefail
cd "$(dirname "$0")/.."
headers=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$headers" "$work/include"
cat >"$work/include/pyconfig.h" <<'CONFIG'
#ifndef Py_CONFIG_H
#define Py_CONFIG_H
#include <basetsd.h>
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#ifdef _WIN64
#define MS_WIN64
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#else
#define SIZEOF_VOID_P 4
#define SIZEOF_SIZE_T 4
#endif
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T SIZEOF_SIZE_T
#define ALIGNOF_LONG 4
#define LONG_BIT 32
#define WORD_BIT 32
#define HAVE_UINTPTR_T 1
#define HAVE_INTPTR_T 1
#define HAVE_SSIZE_T 1
#define HAVE_WCHAR_H 1
#define HAVE_IO_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_COPYSIGN 1
#define HAVE_HYPOT 1
#define PLATFORM "win32"
#define PY_FORMAT_SIZE_T "I"
#endif
CONFIG
sources=$(sed -n '/Python3_add_library/,/^)/p' CMakeLists.txt | grep -o 'tessavor/[^ )]*\.cpp')
status=0
for compiler in i686-w64-mingw32-g++ x86_64-w64-mingw32-g++; do
    echo "== $compiler"
    for source in $sources; do
        log=$("$compiler" -std=c++17 -Wall -Wextra -Werror=return-type -fno-exceptions -fno-rtti \
              -fno-threadsafe-statics -I"$work/include" -c "$source" -o "$work/object.o" 2>&1) || status=1
        [[ -z $log ]] || { echo "$log"; status=1; }
    done
done
exit $status
