"""run: validates, feeds random, spike or file input, reports spike rates and the output."""

import re

import numpy as np
import pytest

from vantle import ir
from vantle.bridge.__main__ import main
from vantle.cli.run import LONG_RUN_STEPS, Progress

from cli_helpers import assert_one_line_error, cli


def printed_rates(out: str) -> dict:
    block = out.split("(fraction of neurons firing):\n")[1].split("output at the last step:")[0]
    return {name: float(rate) for name, rate in re.findall(r"^  (\S+) +([\d.]+)$", block, re.M)}


def printed_values(line: str) -> np.ndarray:
    """The numbers after the shape in a line like '  output: shape (2, 5) [[1.5, ...], [...]]'."""
    values = line.split(") ", 1)[1]
    return np.array([float(v) for v in re.findall(r"-?\d+(?:\.\d*)?(?:e[-+]?\d+)?", values)])


def test_spike_input_rates_and_output(branching_file):
    done = cli("run", branching_file, "--input", "spikes", "--rate", "0.5", "--steps", "3",
               "--batch", "2")
    assert done.returncode == 0, done.stderr
    steps = [line for line in done.stdout.splitlines() if line.startswith("step ")]
    assert len(steps) == 3 and all("(2, 5)" in line for line in steps)
    assert printed_rates(done.stdout) == {"lif_on": 1.0, "lif_off": 0.0}
    # Every input of fc is 1, so each output is the sum of a row of fc's weight.
    weight = ir.read(str(branching_file)).nodes["fc"].weight
    output_line = done.stdout.split("output at the last step:\n")[1].splitlines()[0]
    assert output_line.startswith("  output: shape (2, 5) ")
    np.testing.assert_allclose(printed_values(output_line), np.tile(weight.sum(axis=1), 2),
                               atol=1e-3)


def test_npy_sequence_drives_the_steps_and_the_rates(dense_file, tmp_path):
    rng = np.random.default_rng(3)
    sequence = rng.random((7, 4, 6)).astype(np.float32)  # [steps, batch, features]
    path = tmp_path / "sequence.npy"
    np.save(path, sequence)
    done = cli("run", dense_file, "--input", path)
    assert done.returncode == 0, done.stderr
    assert sum(line.startswith("step ") for line in done.stdout.splitlines()) == 7
    # fc1 is the identity and lif1 (tau = r = 1) fires where its input reaches 0.5.
    assert printed_rates(done.stdout)["lif1"] == pytest.approx((sequence >= 0.5).mean(), abs=1e-4)


def test_run_validates_first_and_names_the_failing_node(broken_files):
    path = broken_files["no_output"]
    validate, run = cli("validate", path), cli("run", path)
    assert run.returncode == validate.returncode == 1 and run.stderr == validate.stderr
    assert_one_line_error(run, "no Output")
    failing = cli("run", broken_files["mismatch"], "--steps", "2")
    assert_one_line_error(failing, "node 'fc' (Affine)", "step 0", "1x8 and 5x2")


@pytest.mark.parametrize("arguments, message", [
    (["no_bias"], "node 'fc' (Affine) lacks field(s) 'bias'"),
    (["not_a_graph"], "not_a_graph.vx2"),
    (["mismatch", "--input", "data.txt"], "random, spikes or a .npy file"),
    (["mismatch", "--input", "spikes", "--rate", "1.5"], "--rate must lie in [0, 1]"),
    (["mismatch", "--steps", "0"], "--steps must be at least 1"),
    (["mismatch", "--input", "wrong_shape.npy"], "takes samples of shape (8,)"),
    (["mismatch", "--input", "short.npy", "--steps", "5"], "more steps than the input file"),
])
def test_run_errors_are_one_line(broken_files, tmp_path, monkeypatch, capsys, arguments, message):
    monkeypatch.chdir(tmp_path)
    np.save("wrong_shape.npy", np.zeros((2, 5), np.float32))
    np.save("short.npy", np.zeros((2, 1, 8), np.float32))
    path = broken_files[arguments[0]]
    assert main(["run", str(path), *arguments[1:]]) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("vantle-bridge: error: ") and message in err


class Stream:
    def __init__(self, terminal: bool) -> None:
        self.text, self.terminal = "", terminal

    def write(self, text: str) -> None:
        self.text += text

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return self.terminal


@pytest.mark.parametrize("total, terminal, lines", [
    (LONG_RUN_STEPS - 1, True, 0),  # short runs show nothing
    (LONG_RUN_STEPS, False, 11),  # a line per tenth, 0% to 100%
    (250, True, 1),  # one bar redrawn in place, ended by a newline
])
def test_progress(total, terminal, lines):
    stream = Stream(terminal)
    progress = Progress(total, stream)
    for done in range(1, total + 1):
        progress.update(done)
    assert stream.text.count("\n") == lines
    if lines:
        assert f"{total}/{total}" in stream.text.splitlines()[-1]
    if terminal and lines:
        assert stream.text.count("\r") == total


def test_a_static_sample_repeated_over_the_steps_and_the_spikes_per_output(tmp_path):
    # A neuron with tau 2 and r 1 on a constant 0.9 reaches 0.45, then 0.675 >= 0.6 and fires
    # and resets: it fires every second step.
    shape = {"input": np.array([4])}
    lif = ir.LIF(tau=np.full(4, 2.0, np.float32), r=np.ones(4, np.float32),
                 v_leak=np.zeros(4, np.float32), v_threshold=np.full(4, 0.6, np.float32))
    graph = ir.Graph(nodes={"input": ir.Input(input_type=shape), "lif": lif,
                            "output": ir.Output(output_type={"output": np.array([4])})},
                     edges=[("input", "lif"), ("lif", "output")])
    ir.write(tmp_path / "g.vx2", graph)
    np.save(tmp_path / "x.npy", np.full(4, 0.9, np.float32))  # one sample
    done = cli("run", tmp_path / "g.vx2", "--input", tmp_path / "x.npy", "--repeat",
               "--steps", "6")
    assert done.returncode == 0, done.stderr
    block = done.stdout.split("spikes per output over 6 steps x batch 1:\n")[1]
    assert block.splitlines()[0].split() == ["output", "12", "of", "24", "(0.5000)"]
    without = cli("run", tmp_path / "g.vx2", "--input", tmp_path / "x.npy", "--steps", "6")
    assert_one_line_error(without, "more steps than the input file holds (1)")
