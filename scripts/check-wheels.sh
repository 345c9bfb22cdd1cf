#!/usr/bin/env bash
# The wheel lane of scripts/test.sh: builds both wheels with
# scripts/build-wheels.sh into OUTDIR (emptied first) and checks
#   - what each wheel holds at its top: the extension and its stub; the
#     toolkit and its stub; the MES check's package;
#   - the module's wheel installed offline into a fresh venv: its exports,
#     that it brings no toolkit (importing it then fails, naming
#     m4r_wxtools), the stand-in suite against the installed module;
#   - the toolkit's wheel installed beside it: the module imports with it;
#   - what `cmake --install` puts into a folder that holds a toolkit already.
#
#   bash scripts/check-wheels.sh OUTDIR
set -euo pipefail
cd "$(dirname "$0")/.."
dist=${1:?usage: check-wheels.sh OUTDIR}
python=/usr/bin/python3
rm -rf "$dist"
bash scripts/build-wheels.sh "$dist" >/dev/null
module=$(ls "$dist"/m4r_tessavor-*.whl)
toolkit=$(ls "$dist"/m4r_wxtools-*.whl)
check=$(ls "$dist"/m4r_mescheck-*.whl)

top_of() {  # the names at the top of a wheel, but its .dist-info
    "$python" -c 'import sys, zipfile
names = {n.split("/")[0] for n in zipfile.ZipFile(sys.argv[1]).namelist()}
print(" ".join(sorted(n for n in names if not n.endswith(".dist-info"))))' "$1"
}
ext=$("$python" -c 'import sysconfig; print("m4r_tessavor" + sysconfig.get_config_var("EXT_SUFFIX"))')
# The station's own m4r_wxtools is never replaced by the module's wheel.
[ "$(top_of "$module")" = "$ext m4r_tessavor.pyi" ] ||
    { echo "$module holds at its top: $(top_of "$module")" >&2; exit 1; }
[ "$(top_of "$toolkit")" = "m4r_wxtools.py m4r_wxtools.pyi" ] ||
    { echo "$toolkit holds at its top: $(top_of "$toolkit")" >&2; exit 1; }
# The MES check's wheel brings its own package and nothing over the station's modules.
[ "$(top_of "$check")" = "m4r_mescheck" ] ||
    { echo "$check holds at its top: $(top_of "$check")" >&2; exit 1; }
echo "wheels hold: $(top_of "$module"); $(top_of "$toolkit"); $(top_of "$check")"

case "$dist" in /*) venv="$dist/venv" ;; *) venv="$PWD/$dist/venv" ;; esac
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/python" -m pip install -q --no-index "$module"
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
bash scripts/check-exports.sh "$site"
# Without a toolkit the import names the one missing.
if out=$(cd "$dist" && "$venv/bin/python" -c 'import m4r_tessavor' 2>&1); then
    echo "the installed module imported without any m4r_wxtools" >&2; exit 1
fi
grep -q "No module named 'm4r_wxtools'" <<<"$out" || { echo "$out" >&2; exit 1; }
TESSAVOR_STANDINS=1 TESSAVOR_INSTALLED=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
# With our toolkit's wheel beside it the module imports (Debian's wx, no display needed).
"$venv/bin/python" -m pip install -q --no-index "$toolkit"
(cd "$dist" && "$venv/bin/python" -c 'import m4r_tessavor, m4r_wxtools, sys
assert m4r_wxtools.__file__.startswith(sys.prefix), m4r_wxtools.__file__
print("imported with the toolkit wheel:", m4r_tessavor.__file__)')
"$venv/bin/python" -m pip show m4r_tessavor m4r_wxtools | grep -E '^(Name|Version):'
# The MES check installs beside them and answers its --help from the venv.
"$venv/bin/python" -m pip install -q --no-index "$check"
"$venv/bin/m4r-mescheck" --help >/dev/null

# cmake --install puts in the extension and its stub and leaves a toolkit
# already in the folder as it was.
mkdir "$dist/station"
echo "# the station's own toolkit" >"$dist/station/m4r_wxtools.py"
cmake --install build --prefix "$dist/station" >/dev/null
installed=$(cd "$dist/station" && LC_ALL=C ls | tr '\n' ' ')
[ "$installed" = "$(basename build/m4r_tessavor*.so) m4r_tessavor.pyi m4r_wxtools.py " ] &&
    [ "$(cat "$dist/station/m4r_wxtools.py")" = "# the station's own toolkit" ] ||
    { echo "cmake --install left in the folder: $installed" >&2; exit 1; }
echo "wheels checked"
