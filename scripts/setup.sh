#!/usr/bin/env bash
# Creates a virtual environment (if missing), installs the pinned torch and
# builds + installs the package with the given extras, e.g. `scripts/setup.sh test`.
# Arguments after the extras go to pip when it builds the package (build settings).
#   VANTLE_VENV    the environment's folder (default .venv)
#   VANTLE_PYTHON  the interpreter that creates it (default python3)
set -euo pipefail
cd "$(dirname "$0")/.."

extras="${1:-}"
[ $# -gt 0 ] && shift
venv="${VANTLE_VENV:-.venv}"
"${VANTLE_PYTHON:-python3}" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
"$venv/bin/python" -m pip install --quiet -r requirements-dev.txt
target="."
[ -n "$extras" ] && target=".[${extras}]"
"$venv/bin/python" -m pip install --quiet "$target" "$@"
