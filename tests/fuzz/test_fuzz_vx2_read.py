"""Fuzzing ``ir.read``: kept findings replay, and a bounded fuzzing run finds nothing new."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import pytest
from vx2_read_target import MEMORY_FOLDER, check

HERE = pathlib.Path(__file__).parent
FINDINGS = sorted((HERE / "regressions").glob("*.vx2"))
RUNS = 5000


@pytest.mark.parametrize("path", FINDINGS, ids=[path.name for path in FINDINGS])
def test_kept_findings_hold_the_fuzzing_checks(path):
    check(path.read_bytes())


def test_a_bounded_fuzzing_run_finds_nothing(tmp_path):
    pytest.importorskip("atheris")
    command = [sys.executable, str(HERE / "fuzz_vx2_read.py"), f"-runs={RUNS}", "-seed=1",
               f"-artifact_prefix={tmp_path}/", "-timeout=60", "-rss_limit_mb=2048",
               str(tmp_path / "corpus")]
    scratch = tempfile.mkdtemp(prefix="vx2-fuzz-", dir=MEMORY_FOLDER)
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=900,
                                env={**os.environ, "VX2_FUZZ_SCRATCH": scratch})
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    found = sorted(path.name for path in tmp_path.glob("crash-*"))
    assert result.returncode == 0, (
        f"fuzzing found {found} (keep it in tests/fuzz/regressions/ once fixed):\n"
        + result.stderr[-4000:]
    )
    done = re.search(r"Done (\d+) runs", result.stderr)
    assert done and int(done.group(1)) == RUNS, result.stderr[-2000:]
