"""quantize: import, round the weights, export with precision metadata, print the report."""

import json

import numpy as np
import pytest

from vantle import ir
from vantle.bridge.__main__ import main

from cli_helpers import assert_one_line_error, cli


def symmetric_grid(weight: np.ndarray, bits: int):
    """Symmetric rounding of a float32 tensor, computed plainly: (scale, rounded values)."""
    weight = weight.astype(np.float32)
    scale = float(np.abs(weight).max()) / (2 ** (bits - 1) - 1)
    levels = np.clip(np.round(weight / np.float32(scale)), -(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
    return scale, levels


def test_quantize_writes_rounded_weights_with_metadata_and_reports(dense_file, tmp_path):
    calibration = tmp_path / "calibration.npy"
    np.save(calibration, np.random.default_rng(4).random((3, 2, 6)).astype(np.float32))
    out = tmp_path / "dense_int4.vx2"
    done = cli("quantize", dense_file, "-o", out, "--precision", "int4",
               "--per-node", "fc1=fp32", "--calibrate", calibration)
    assert done.returncode == 0, done.stderr
    source, result = ir.read(str(dense_file)), ir.read(str(out))
    assert list(result.nodes) == list(source.nodes) and result.edges == source.edges
    assert isinstance(result.nodes["input"], ir.Input) and result.nodes["fc1"].weight_t == "fp32"
    np.testing.assert_array_equal(result.nodes["fc1"].weight, source.nodes["fc1"].weight)

    fc2 = result.nodes["fc2"]
    assert (fc2.weight_t, fc2.bias_t, fc2.accum_t) == ("int4", "int4", "int16")
    scale, levels = symmetric_grid(source.nodes["fc2"].weight, 4)
    np.testing.assert_allclose(fc2.weight, levels * scale, rtol=1e-6, atol=1e-7)

    table = done.stdout.splitlines()
    assert table[0].split()[:3] == ["layer", "kind", "precision"]
    row = next(line.split() for line in table if line.startswith("fc2 "))
    assert row[:3] == ["fc2", "Linear", "int4"] and float(row[5]) == pytest.approx(scale, rel=1e-3)
    error = np.abs(fc2.weight - source.nodes["fc2"].weight).max()
    assert float(row[7]) == pytest.approx(error, rel=1e-2)
    # fc1 passes spikes of the calibration input on unchanged: its range is the file's.
    fc1 = next(line for line in table if line.startswith("fc1 "))
    low, high = np.load(calibration).min(), np.load(calibration).max()
    assert fc1.rstrip().endswith(f"[{low:.4g}, {high:.4g}]") and "exact" in fc1
    assert table[-1] == (f"wrote {out}: 5 nodes, precision int4 (fc1=fp32), "
                         "calibrated on 3 batches")


def test_quantize_json_report_and_errors(dense_file, tmp_path, capsys):
    out = tmp_path / "dense_int8.vx2"
    assert main(["quantize", str(dense_file), "-o", str(out), "--json", "--asymmetric"]) == 0
    rows = json.loads(capsys.readouterr().out.split("\nwrote ")[0])
    assert [(r["name"], r["precision"], r["activation_min"]) for r in rows] == [
        ("fc1", "int8", None), ("fc2", "int8", None)]
    assert rows[0]["sqnr_db"] == "inf"  # an identity weight lies on the grid
    assert 0 <= rows[1]["zero_point"] <= 255

    for arguments, message in [
        (["--precision", "int7"], "Unknown precision: int7"),
        (["--per-node", "nope=int8"], "no node 'nope'"),
        (["--per-node", "lif1=int8"], "node 'lif1' (LIFModule) has no weights"),
        (["--per-node", "fc2"], "NAME=PRECISION"),
        (["--calibrate", "spikes", "--rate", "-1"], "--rate must lie in [0, 1]"),
    ]:
        assert main(["quantize", str(dense_file), "-o", str(out), *arguments]) == 1
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and message in err, (arguments, err)


def test_quantize_and_version_through_the_entry_point(broken_files, tmp_path):
    failing = cli("quantize", broken_files["no_output"], "-o", tmp_path / "x.vx2")
    assert_one_line_error(failing, "no Output")
    assert not (tmp_path / "x.vx2").exists()
    from importlib.metadata import version

    shown = cli("--version")
    assert shown.returncode == 0
    assert shown.stdout.strip() == f"vantle-bridge {version('vantle-bridge')}"
