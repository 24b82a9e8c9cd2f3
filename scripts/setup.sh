#!/usr/bin/env bash
# Creates .venv (if missing), installs the pinned torch and builds + installs the
# package with the given extras, e.g. `scripts/setup.sh test`.
set -euo pipefail
cd "$(dirname "$0")/.."

extras="${1:-}"
python3 -m venv .venv
.venv/bin/python -m pip install --quiet --upgrade pip
.venv/bin/python -m pip install --quiet -r requirements-dev.txt
target="."
[ -n "$extras" ] && target=".[${extras}]"
.venv/bin/python -m pip install --quiet "$target"
