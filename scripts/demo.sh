#!/usr/bin/env bash
# Sets everything up from scratch and runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/demo.py
