#!/usr/bin/env bash
# Creates a virtual environment (if missing), installs the pinned torch and
# builds + installs the package with the given extras, e.g. `scripts/setup.sh test` (which
# also installs the peer libraries the tests export from).
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
if [[ ",$extras," == *",test,"* ]]; then
  # The tests also export SpikingJelly networks. Its neurons and layers need only torch, but it
  # declares torchvision and torchaudio, which would replace the pinned torch: --no-deps, with
  # its one runtime need (loguru) beside it.
  "$venv/bin/python" -m pip install --quiet --no-deps spikingjelly==2.0.0 "loguru>=0.7,<1"
fi
