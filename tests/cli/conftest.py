"""Graph files for the command-line tests.

The commands run through the installed ``vantle-bridge`` script, as a user runs them; each call
starts an interpreter and imports torch, so tests group their cases into few calls.
"""

from __future__ import annotations

from pathlib import Path
from typing import Dict

import numpy as np
import pytest

from vantle import ir



def lif(neurons: int, threshold: float, tau: float = 1.0) -> ir.LIF:
    return ir.LIF(tau=np.full(neurons, tau, np.float32), r=np.ones(neurons, np.float32),
                  v_leak=np.zeros(neurons, np.float32),
                  v_threshold=np.full(neurons, threshold, np.float32))


@pytest.fixture(scope="session")
def branching_file(tmp_path_factory) -> Path:
    """input(3x8x8) -> conv -> bn -> split -> {lif_on, lif_off} -> residual merge -> flat -> fc.

    With tau = r = 1 a LIF neuron fires exactly where its input is at least its threshold:
    lif_on always fires, lif_off never, so the merge gives ones and the output is the sum of
    each row of fc's weight.
    """
    rng = np.random.default_rng(0)
    nodes = {
        "input": ir.Input(input_type={"input": np.array([3, 8, 8])}),
        "conv": ir.Conv2d(weight=rng.normal(size=(4, 3, 3, 3)).astype(np.float32),
                          bias=np.zeros(4, np.float32), stride=2, padding=1),
        "bn": ir.BatchNorm2d(num_features=4, weight=np.ones(4), bias=np.zeros(4),
                             running_mean=np.zeros(4), running_var=np.ones(4)),
        "split": ir.ChannelSplit(split_sections=(2, 2), dim=0),
        "lif_on": lif(2 * 4 * 4, threshold=-1e9),
        "lif_off": lif(2 * 4 * 4, threshold=1e9, tau=2.0),
        "merge": ir.Skip(skip_type="residual"),
        "flat": ir.Flatten(start_dim=0, end_dim=-1),
        "fc": ir.Affine(weight=rng.normal(size=(5, 32)).astype(np.float32),
                        bias=np.zeros(5, np.float32), weight_t="int8", accum_t="int16"),
        "output": ir.Output(output_type={"output": np.array([5])}),
    }
    edges = [("input", "conv"), ("conv", "bn"), ("bn", "split"), ("split", "lif_on"),
             ("split", "lif_off"), ("lif_on", "merge"), ("lif_off", "merge"), ("merge", "flat"),
             ("flat", "fc"), ("fc", "output")]
    path = tmp_path_factory.mktemp("graphs") / "branching.vx2"
    ir.write(path, ir.Graph(nodes=nodes, edges=edges))
    return path


@pytest.fixture(scope="session")
def dense_file(tmp_path_factory) -> Path:
    """input(6) -> fc1 -> lif1 -> fc2 -> output, with an identity fc1 (spikes pass unchanged)."""
    rng = np.random.default_rng(1)
    nodes = {
        "input": ir.Input(input_type={"input": np.array([6])}),
        "fc1": ir.Affine(weight=np.eye(6, dtype=np.float32), bias=np.zeros(6, np.float32)),
        "lif1": lif(6, threshold=0.5),
        "fc2": ir.Affine(weight=rng.normal(size=(3, 6)).astype(np.float32),
                         bias=rng.normal(size=3).astype(np.float32)),
        "output": ir.Output(output_type={"output": np.array([3])}),
    }
    names = list(nodes)
    path = tmp_path_factory.mktemp("graphs") / "dense.vx2"
    ir.write(path, ir.Graph(nodes=nodes, edges=list(zip(names, names[1:]))))
    return path


@pytest.fixture(scope="session")
def broken_files(tmp_path_factory) -> Dict[str, Path]:
    """Files that fail in different places: validation, import, the forward pass, reading."""
    folder = tmp_path_factory.mktemp("broken")
    shape = {"input": np.array([8])}
    graphs = {
        "no_output": ir.Graph(nodes={"input": ir.Input(input_type=shape)}),
        "no_bias": ir.Graph(
            nodes={"input": ir.Input(input_type=shape),
                   "fc": ir.Affine(weight=np.ones((2, 8), np.float32), bias=None),
                   "output": ir.Output()},
            edges=[("input", "fc"), ("fc", "output")]),
        "mismatch": ir.Graph(
            nodes={"input": ir.Input(input_type=shape),
                   "fc": ir.Affine(weight=np.ones((2, 5), np.float32),
                                   bias=np.zeros(2, np.float32)),
                   "output": ir.Output()},
            edges=[("input", "fc"), ("fc", "output")]),
    }
    paths = {}
    for name, graph in graphs.items():
        paths[name] = folder / f"{name}.vx2"
        ir.write(paths[name], graph, check=False)  # broken on purpose
    paths["not_a_graph"] = folder / "not_a_graph.vx2"
    paths["not_a_graph"].write_bytes(b"not a graph")
    return paths
