#!/usr/bin/env bash
# Sets everything up from scratch and runs all tests: C++ (GoogleTest) and Python (pytest),
# the Python tests on CPython 3.11 (.venv) and 3.13 (.venv313), then the release wheel on
# the oldest and newest torch the package declares.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  apt-get update -qq && apt-get install -y -qq libgtest-dev >/dev/null
fi
# Graphviz draws SVG/PNG pictures for `vantle-bridge draw`; without it those tests skip.
if ! command -v dot >/dev/null 2>&1; then
  { apt-get update -qq && apt-get install -y -qq graphviz; } >/dev/null 2>&1 ||
    echo "Graphviz not installed: the SVG drawing test skips"
fi
bash scripts/setup.sh test

cmake -S . -B build/cpp -DVANTLE_BUILD_EXTENSIONS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp -j "$(nproc)"
ctest --test-dir build/cpp --output-on-failure

# The sources live under src/, so the installed package is what gets tested.
.venv/bin/python -m pytest -q "$@"

# Model authors run CPython 3.13: the same sources, built and tested there.
# Its torch is a CUDA build of several GB: under CI (CI set) pip keeps no cached copy and the
# environment goes once tested, leaving the disk to the torch releases tested below.
python313="$(bash scripts/find_python.sh 3.13)"
if [ -n "${CI:-}" ]; then export PIP_NO_CACHE_DIR=1; fi
VANTLE_VENV=.venv313 VANTLE_PYTHON="$python313" bash scripts/setup.sh test
.venv313/bin/python -m pytest -q "$@"
if [ -n "${CI:-}" ]; then rm -rf .venv313; fi

# The release files (sdist, manylinux wheel), then that wheel on both ends of the declared
# torch range, each in an environment of its own.
bash scripts/dist.sh
bash scripts/compat.sh "$@"
