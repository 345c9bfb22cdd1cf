#!/usr/bin/env bash
# Checks that the extension in a folder exports its entry point
# PyInit_m4r_tessavor and nothing else (nm -D --defined-only).
#
#   bash scripts/check-exports.sh FOLDER
set -euo pipefail
folder=${1:?usage: check-exports.sh FOLDER}
shopt -s nullglob
libraries=("$folder"/m4r_tessavor*.so)
if [ ${#libraries[@]} != 1 ]; then
    echo "$folder: expected one m4r_tessavor*.so, found ${#libraries[@]}" >&2
    exit 1
fi
exported=$(nm -D --defined-only "${libraries[0]}" | awk '{print $NF}')
if [ "$exported" != PyInit_m4r_tessavor ]; then
    echo "${libraries[0]}: exports other than PyInit_m4r_tessavor:" $exported >&2
    exit 1
fi
echo "exports checked: ${libraries[0]} (PyInit_m4r_tessavor only)"
