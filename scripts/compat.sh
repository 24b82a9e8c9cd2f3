#!/usr/bin/env bash
# Builds and tests the package against the ends of the torch range it declares: the oldest
# release the range admits, on CPython 3.11 (the newest Python that release supports), and the
# newest published release, on CPython 3.13 (the newest Python the package supports). The test
# command runs it; by hand:
#
#   bash scripts/compat.sh                    # both ends
#   bash scripts/compat.sh 2.15.0@3.13        # one torch release on one Python (default 3.11)
#   bash scripts/compat.sh 2.4.0 -k export    # further arguments go to pytest
#
# Each release gets its own environment, .venv-torch-<release>. Torch comes from the package
# index as users get it (with its CUDA libraries, which the CPU tests load but do not use).
# SpikingJelly 2.0.0 needs a newer torch than the oldest; where it does not import, it is left
# out and its tests skip.
#
# A CUDA build takes several GB, so pip keeps no cached copy of it, and under CI (CI set) each
# environment is removed once its tests have run: two of them at once may not fit the disk.
set -euo pipefail
cd "$(dirname "$0")/.."

# The floor is read from pyproject.toml, so the tested end moves with the declared one.
OLDEST="$(python3 -c 'import re, tomllib
deps = tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"]
print(next(re.search(r">=([\d.]+)", d).group(1) for d in deps if d.startswith("torch")))')"
NEWEST=2.15.0

ends=("$OLDEST@3.11" "$NEWEST@3.13")
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+\.[0-9]+ ]]; then
  ends=("$1")
  shift
fi

for end in "${ends[@]}"; do
  release="${end%@*}"
  python_version=3.11
  [[ "$end" == *@* ]] && python_version="${end#*@}"
  [[ "$release" =~ ^[0-9]+\.[0-9]+$ ]] && release="$release.0"
  python="$(bash scripts/find_python.sh "$python_version")"
  # The extensions call torch only through Python, so one build serves every release: the
  # release wheel for this Python where scripts/dist.sh has made it (then that is what gets
  # tested), else a build.
  wheel="$(ls dist/vantle_bridge-*-cp${python_version/./}-*.whl 2>/dev/null | head -n 1 || true)"
  venv=".venv-torch-$release"
  echo "== torch $release on $("$python" --version)"
  "$python" -m venv "$venv"
  # Pins torch for every install below; it also replaces any constraint the machine sets.
  pins="$venv/constraints.txt"
  echo "torch==$release" >"$pins"
  # Torch releases before 2.4 are built against NumPy 1 and cannot load NumPy 2.
  minor="$(echo "$release" | cut -d. -f2)"
  if [ "${release%%.*}" = 2 ] && [ "$minor" -lt 4 ]; then echo "numpy<2" >>"$pins"; fi
  export PIP_CONSTRAINT="$pins" PIP_NO_CACHE_DIR=1
  "$venv/bin/python" -m pip install --quiet --upgrade pip
  "$venv/bin/python" -m pip install --quiet "torch==$release"
  if [ -n "$wheel" ]; then
    "$venv/bin/python" -m pip install --quiet "$wheel[test]"
    "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel"
  else
    # A build folder of its own: the main environment's build may run beside this one.
    "$venv/bin/python" -m pip install --quiet ".[test]" \
      --config-settings=build-dir="build/torch-$release"
  fi
  "$venv/bin/python" -m pip install --quiet --no-deps spikingjelly==2.0.0 "loguru>=0.7,<1"
  unset PIP_CONSTRAINT PIP_NO_CACHE_DIR
  # Its operators load on first use, so a neuron runs one step.
  if ! "$venv/bin/python" -c "import torch; from spikingjelly.activation_based import neuron
neuron.LIFNode()(torch.zeros(1))" >/dev/null 2>&1; then
    echo "SpikingJelly 2.0.0 does not import beside torch $release: its tests skip"
    "$venv/bin/python" -m pip uninstall --quiet --yes spikingjelly
  fi
  "$venv/bin/python" -c "import torch; assert torch.__version__.split('+')[0] == '$release'"
  # The suite takes minutes; a run far past that is stuck, and pytest has printed the stacks
  # of the test that hangs (faulthandler_timeout) before this stops it.
  timeout --kill-after=30 1800 "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
  if [ -n "${CI:-}" ]; then rm -rf "$venv" "build/torch-$release"; fi
done
