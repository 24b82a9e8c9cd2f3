#!/usr/bin/env bash
# Sets everything up from scratch and runs all tests: C++ (GoogleTest) and Python (pytest) on
# CPython 3.11 with the development torch (.venv), then the release files, then the Python
# tests on the oldest torch the package declares (CPython 3.11) and the newest (CPython 3.13).
set -euo pipefail
cd "$(dirname "$0")/.."

# Python writes through at once, so that the log of a stuck run ends where it stuck; each
# stage says how long it took, so that a slow one shows.
export PYTHONUNBUFFERED=1
stage_started=$SECONDS
stage_done() {
  echo "== $1: $((SECONDS - stage_started)) s"
  stage_started=$SECONDS
}

if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
fi
# Graphviz draws SVG/PNG pictures for `vantle-bridge draw`; without it those tests skip.
if ! command -v dot >/dev/null 2>&1; then
  { apt-get update -qq && apt-get install -y -qq graphviz; } >/dev/null 2>&1 ||
    echo "Graphviz not installed: the SVG drawing test skips"
fi
bash scripts/setup.sh test
stage_done "setup"

cmake -S . -B build/cpp -DVANTLE_BUILD_EXTENSIONS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j "$(nproc)"
ctest --test-dir build/cpp --output-on-failure
stage_done "C++ tests"

# The sources live under src/, so the installed package is what gets tested.
.venv/bin/python -m pytest -q "$@"
stage_done "Python tests"

# The release files (sdist, manylinux wheel), then the ends of the declared torch range, each
# in an environment of its own: the oldest release tests that wheel, the newest a build for
# CPython 3.13, which model authors run.
bash scripts/dist.sh
stage_done "release files"
bash scripts/compat.sh "$@"
stage_done "torch range"
