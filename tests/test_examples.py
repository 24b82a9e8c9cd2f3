"""The demo runs end to end and its export round trip is exact."""

import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def test_demo_runs_and_round_trip_is_exact():
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "demo.py")], capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "spikes per layer over 20 steps" in out
    assert "kept by NMS" in out
    assert "weight_t=int8" in out
    assert out.rstrip().endswith("largest output difference 0")


def test_detector_demo_writes_the_graph_the_readme_draws(tmp_path):
    result = subprocess.run([sys.executable, str(EXAMPLES / "detector_demo.py")], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert "kept by NMS" in result.stdout and (tmp_path / "detector.vx2").is_file()
