"""The commands refuse runs whose values exceed the memory budget, before allocating them, and
read .npy inputs without unpickling."""

import os

import numpy as np
import pytest

from vantle import ir
from vantle.bridge.__main__ import main


def passthrough(shape) -> ir.Graph:
    dims = np.array(shape)
    return ir.Graph(nodes={"input": ir.Input(input_type={"input": dims}),
                           "output": ir.Output(output_type={"output": dims})},
                    edges=[("input", "output")])


@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    ir.write("huge.vx2", passthrough([100_000, 100_000]))
    ir.write("small.vx2", passthrough([100]))
    # A header claiming 10**10 values over a file of 64 bytes: read whole, it would allocate them.
    with open("claims_more.npy", "wb") as file:
        np.lib.format.write_array_header_1_0(
            file, {"descr": "<f4", "fortran_order": False, "shape": (100_000, 100_000)})
        file.write(bytes(64))
    np.save("long.npy", np.zeros((300_000, 1, 100), np.float32))
    np.save("no_steps.npy", np.zeros((0, 1, 100), np.float32))
    np.save("wide_batch.npy", np.zeros((1, 300, 100), np.float32))


@pytest.mark.parametrize("arguments, message", [
    (["run", "huge.vx2"], "node 'input' declares input values of shape (100000, 100000); one "
     "sample of the graph's values takes 74.5 GiB, over the memory budget of 4 GiB "
     "(--memory-budget)"),
    (["run", "small.vx2", "--batch", str(10**7)], "--batch 10000000: 10,000,000 samples of the "
     "graph's values (the largest: node 'input' declares input values of shape (100,)) take "
     "7.5 GiB, over the memory budget of 4 GiB"),
    (["run", "small.vx2", "--steps", str(10**9)], "--steps 1000000000 is more than one run "
     "simulates (at most 1,000,000)"),
    (["run", "small.vx2", "--batch", "1000", "--memory-budget", "0.0001"], "--batch 1000"),
    (["run", "small.vx2", "--memory-budget", "nan"], "--memory-budget must be a positive"),
    (["run", "small.vx2", "--input", "claims_more.npy"], "cannot read claims_more.npy"),
    (["run", "small.vx2", "--input", "long.npy", "--memory-budget", "0.1"],
     "the 30,000,000 values of long.npy take 114.4 MiB, over the memory budget of 0.1 GiB"),
    (["run", "small.vx2", "--input", "no_steps.npy"], "holds no steps of samples"),
    # 120 KiB of input fits 0.0002 GiB, the graph's two values per sample (240 KiB) do not.
    (["run", "small.vx2", "--input", "wide_batch.npy", "--memory-budget", "0.0002"],
     "the batch of 300 in wide_batch.npy: 300 samples of the graph's values"),
    (["quantize", "small.vx2", "-o", "q.vx2", "--calibrate", "random", "--batch", "10000",
      "--calibration-steps", "100000"], "--calibration-steps 100000: 100,000 batches of 10000 "
     "take 372.5 GiB"),
    (["quantize", "huge.vx2", "-o", "q.vx2"], "one sample of the graph's values takes 74.5 GiB"),
])
def test_runs_over_the_budget_are_refused_in_one_line(files, capsys, arguments, message):
    assert main(arguments) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("vantle-bridge: error: "), err
    assert message in err, err


def test_a_run_within_the_budget_goes_ahead(files, capsys):
    assert main(["run", "small.vx2", "--batch", "1000", "--steps", "2"]) == 0
    assert "output: shape (1000, 100)" in capsys.readouterr().out


def test_info_shows_the_file_and_says_why_it_inferred_no_shapes(files, capsys):
    assert main(["info", "huge.vx2"]) == 0
    out = capsys.readouterr().out
    assert "input -> output" in out
    assert "(shapes not inferred: node 'input' declares input values of shape (100000, 100000)" \
        in out


class Payload:
    """Unpickling this creates a file: loading a .npy must never run it."""

    def __reduce__(self):
        return (open, ("unpickled.txt", "w"))


def test_a_pickled_npy_is_refused_without_unpickling(files, capsys):
    np.save("pickled.npy", np.array([Payload()], dtype=object), allow_pickle=True)
    assert main(["run", "small.vx2", "--input", "pickled.npy"]) == 1
    assert "cannot read pickled.npy" in capsys.readouterr().err
    assert not os.path.exists("unpickled.txt")
