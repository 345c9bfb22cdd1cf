#!/usr/bin/env bash
# Cross-builds the extension for 32-bit Windows, makes the station's wheel
# dist/m4r_tessavor-<version>-cp36-cp36m-win32.whl of it, installs that wheel
# with a real Windows CPython's own pip under Wine into a fresh copy of the
# interpreter, and runs the stand-in suite against the installed module, once
# under code page 1252 and once under code page 936 (GBK, LC_ALL=zh_CN.GBK),
# as on the station.
#
#   bash scripts/windows-check.sh WINDOWS_PYTHON_DIR [SOURCES_DIR]
#
# WINDOWS_PYTHON_DIR: the folder of a 32-bit Windows CPython install (3.6 on
# the station): python.exe, python3X.dll, include/, Lib/ with ensurepip. It is
# copied, without its site-packages, and left as it is.
# SOURCES_DIR: a folder with the public sources of pytest and what it needs
# (one sub-folder per entry of the table below, each a checkout of that
# repository at that tag); entries missing there are cloned into it, which
# needs a network. Default: build-mingw32/sources.
#
# Needs Debian's g++-mingw-w64-i686, mingw-w64-tools, wine and wine32 (with
# the i386 architecture added), locales, python3-setuptools and
# python3-wheel; with --setup, installs them.
# Not part of CI: no Windows CPython can be installed from the registries.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [[ ${1:-} == --setup ]]; then
    shift
    dpkg --add-architecture i386
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q cmake g++-mingw-w64-i686 mingw-w64-tools wine wine32 locales \
        python3-setuptools python3-wheel
fi
[[ $# -ge 1 ]] || { echo "usage: $0 [--setup] WINDOWS_PYTHON_DIR [SOURCES_DIR]" >&2; exit 2; }
python_dir=$(realpath "$1")
build=$root/build-mingw32
sources=$(realpath -m "${2:-$build/sources}")

# pytest 7.0.1 (the last release for Python 3.6), its pure-Python
# dependencies on Windows and Python 3.6, and hypothesis for the property
# tests: name, repository, tag, paths in the repository that go on sys.path.
packages="
pytest             https://github.com/pytest-dev/pytest                7.0.1                     src/_pytest src/pytest
pluggy             https://github.com/pytest-dev/pluggy                1.0.0                     src/pluggy
iniconfig          https://github.com/pytest-dev/iniconfig             v1.1.1                    src/iniconfig
py                 https://github.com/pytest-dev/py                    1.11.0                    py
attrs              https://github.com/python-attrs/attrs               21.4.0                    src/attr src/attrs
packaging          https://github.com/pypa/packaging                   21.3                      packaging
pyparsing          https://github.com/pyparsing/pyparsing              pyparsing_3.0.7           pyparsing
tomli              https://github.com/hukkin/tomli                     1.2.3                     tomli
importlib_metadata https://github.com/python/importlib_metadata        v4.8.3                    importlib_metadata
zipp               https://github.com/jaraco/zipp                      v3.6.0                    zipp.py
typing_extensions  https://github.com/python/typing_extensions         4.1.1                     src/typing_extensions.py
colorama           https://github.com/tartley/colorama                 0.4.4                     colorama
atomicwrites       https://github.com/untitaker/python-atomicwrites    1.4.0                     atomicwrites
hypothesis         https://github.com/HypothesisWorks/hypothesis       hypothesis-python-6.31.6  hypothesis-python/src/hypothesis hypothesis-python/src/_hypothesis_pytestplugin.py
sortedcontainers   https://github.com/grantjenks/python-sortedcontainers v2.4.0                  sortedcontainers
"

echo "== cross-build for 32-bit Windows against $python_dir"
cmake --no-warn-unused-cli -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
      -DTESSAVOR_WINDOWS_PYTHON_DIR="$python_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
log=$(cmake --build "$build" -j2 2>&1) || { echo "$log"; exit 1; }
if grep -q "warning:" <<<"$log"; then echo "$log" | grep -A3 "warning:"; exit 1; fi
pyd=$(ls "$build"/m4r_tessavor.cp*-win*.pyd)
dump=$(i686-w64-mingw32-objdump -p "$pyd")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/\[ *[0-9]+\]/ {print $NF}')
imports=$(awk '/DLL Name:/ {print $3}' <<<"$dump" | sort | tr '\n' ' ')
echo "$(basename "$pyd"): exports $exports; imports $imports"
[[ $exports == PyInit_m4r_tessavor ]] || { echo "the entry point must be the only export" >&2; exit 1; }
for dll in $imports; do
    case "${dll,,}" in
        kernel32.dll|msvcrt.dll|user32.dll|advapi32.dll|bcrypt.dll|python3*.dll) ;;
        *) echo "the module needs a DLL that is neither a system one nor Python's: $dll" >&2; exit 1 ;;
    esac
done

echo "== the wheel"
# What CMake installs (the module and its stub), the metadata setuptools
# makes from pyproject.toml, and the tag of the interpreter the module was
# built for: cp36-cp36m-win32 for the station's (the m of pymalloc up to 3.7).
stage=$build/wheel
rm -rf "$stage" && mkdir -p "$stage/tree"
cmake --install "$build" --prefix "$stage/tree" >/dev/null
dist_info=$(/usr/bin/python3 -c 'import sys
from setuptools import build_meta
print(build_meta.prepare_metadata_for_build_wheel(sys.argv[1]))' "$stage" | tail -1)
mv "$stage/$dist_info" "$stage/tree/"
[[ $(basename "$pyd") =~ \.cp([0-9]+)-(win32|win_amd64)\.pyd$ ]] || { echo "no wheel tag for $pyd" >&2; exit 1; }
python_tag=cp${BASH_REMATCH[1]} abi_tag=cp${BASH_REMATCH[1]} platform_tag=${BASH_REMATCH[2]}
((BASH_REMATCH[1] >= 38)) || abi_tag+=m
printf 'Wheel-Version: 1.0\nGenerator: scripts/windows-check.sh\nRoot-Is-Purelib: false\nTag: %s-%s-%s\n' \
    "$python_tag" "$abi_tag" "$platform_tag" >"$stage/tree/$dist_info/WHEEL"
mkdir -p dist
/usr/bin/python3 -m wheel pack --dest-dir "$stage" "$stage/tree" >/dev/null
wheel=$(ls "$stage"/m4r_tessavor-*-"$python_tag-$abi_tag-$platform_tag".whl)
cp "$wheel" dist/
wheel=dist/$(basename "$wheel")
echo "$wheel"

echo "== pytest and its dependencies from their sources, in $build/site"
site=$build/site
rm -rf "$site" && mkdir -p "$site" "$sources"
while read -r name url tag paths; do
    [[ -n $name ]] || continue
    if [[ ! -d $sources/$name ]]; then
        git clone -q -c advice.detachedHead=false --depth 1 --branch "$tag" "$url" "$sources/$name"
    fi
    for path in $paths; do
        cp -r "$sources/$name/$path" "$site/"
    done
done <<<"$packages"
# Written by setuptools_scm in a release; the sources do not carry it.
printf 'version = "7.0.1"\nversion_tuple = (7, 0, 1)\n' >"$site/_pytest/_version.py"

echo "== Wine"
export WINEPREFIX=${WINEPREFIX:-$build/wine} WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[[ -f $WINEPREFIX/system.reg ]] || wineboot -i >/dev/null 2>&1
locale -a | grep -qix 'zh_CN.gbk' || localedef -i zh_CN -f GBK zh_CN.GBK

# Python 3.6 under Wine dies at start when a standard handle is a file or
# /dev/null: its input and output are pipes.
python=$build/python
run_python() {
    echo | wine "$python/python.exe" "$@" 2>&1 | cat
    return "${PIPESTATUS[1]}"
}

echo "== the wheel installed with the interpreter's own pip into a fresh copy of it, $python"
# As on a station: the interpreter with nothing installed but its own pip
# (pip 9 for 3.6.5), then the wheel, offline.
rm -rf "$python" && mkdir -p "$python"
tar -C "$python_dir" --exclude=./Lib/site-packages -cf - . | tar -C "$python" -xf -
mkdir "$python/Lib/site-packages"
run_python -m ensurepip >/dev/null
# (from the interpreter's folder: in the sources' folder pip would take an
# m4r_tessavor.egg-info left there by a build for the installed module)
(cd "$python" && run_python -m pip install --no-index --disable-pip-version-check "$(winepath -w "$root/$wheel")")
listing=$(cd "$python/Lib/site-packages" && LC_ALL=C ls -d m4r_*)
[[ $(tr '\n' ' ' <<<"$listing") == "$dist_info $(basename "$pyd") m4r_tessavor.pyi " ]] ||
    { echo "the wheel installed: $listing" >&2; exit 1; }
cmp "$pyd" "$python/Lib/site-packages/$(basename "$pyd")"  # the module checked above
# A wheel built on the station's interpreter (pip wheel .) takes its name and
# version from setup.py, since that interpreter's setuptools does not read
# pyproject.toml: they must be the ones above.
read -r -d '' name version < <(run_python setup.py --name --version | tr -d '\r') || true
[[ $name-$version.dist-info == "$dist_info" ]] ||
    { echo "setup.py under $python_tag gives $name $version, pyproject.toml $dist_info" >&2; exit 1; }

export PYTHONPATH=$(winepath -w "$site") PYTHONDONTWRITEBYTECODE=1
export TESSAVOR_STANDINS=1 TESSAVOR_INSTALLED=1 PYTEST_DISABLE_PLUGIN_AUTOLOAD=1
status=0
for lc in C.UTF-8 zh_CN.GBK; do
    echo "== stand-in suite against the installed module, LC_ALL=$lc"
    LC_ALL=$lc run_python -c "import locale, sys; print(sys.version); print('code page:', locale.getpreferredencoding(False))
sys.path.insert(0, 'tests'); import support; print('module from', support.BUILD)"
    LC_ALL=$lc run_python -m pytest -q -p no:cacheprovider -p _hypothesis_pytestplugin -rs tests || status=1
done
exit $status
