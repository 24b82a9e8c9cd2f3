"""Round trips: torch -> IR -> .vx2 -> torch, and imported graphs exported back whole."""

from __future__ import annotations

import importlib.util
from pathlib import Path

import numpy as np
import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge.executor import GraphExecutor
from vantle.bridge.export_ir import export_ir
from vantle.bridge.import_ir import import_ir


def through_file(graph: ir.Graph, folder: Path) -> ir.Graph:
    path = folder / "model.vx2"
    ir.write(str(path), graph)
    return ir.read(str(path))


class SmallNet(nn.Module):
    """Conv2d, BatchNorm2d, ReLU, MaxPool2d, Flatten, Linear and, optionally, a Leaky layer."""

    def __init__(self, spiking: bool):
        super().__init__()
        self.features = nn.Sequential(nn.Conv2d(3, 6, 3, padding=1), nn.BatchNorm2d(6), nn.ReLU(),
                                      nn.MaxPool2d(2), nn.Flatten())
        self.fc = nn.Linear(6 * 4 * 4, 10)
        if spiking:
            snn = pytest.importorskip("snntorch")
            self.lif = snn.Leaky(beta=0.8, threshold=0.5, reset_mechanism="zero")

    def forward(self, x):
        x = self.fc(self.features(x))
        return self.lif(x)[0] if hasattr(self, "lif") else x


@pytest.mark.parametrize("spiking", [False, True], ids=["plain", "leaky"])
def test_torch_model_survives_export_file_and_import(spiking, tmp_path):
    torch.manual_seed(0)
    model = SmallNet(spiking)
    batch_norm = model.features[1]
    batch_norm.running_mean.uniform_(-0.5, 0.5)
    batch_norm.running_var.uniform_(0.5, 2.0)
    model.eval()

    graph = through_file(export_ir(model, torch.randn(1, 3, 8, 8)), tmp_path)
    executor = GraphExecutor(import_ir(graph), graph.edges)
    x = torch.randn(16, 3, 8, 8)
    with torch.no_grad():
        expected, actual = model(x), executor(x)
    torch.testing.assert_close(actual, expected, rtol=1e-5, atol=1e-5)
    if spiking:
        assert 0 < int(expected.sum()) < expected.numel()  # some neurons fire, some do not


def multi_branch_graph() -> ir.Graph:
    rng = np.random.default_rng(5)

    def conv(c_out, c_in, k):
        return ir.Conv2d(weight=rng.normal(size=(c_out, c_in, k, k)).astype(np.float32),
                         bias=rng.normal(size=c_out).astype(np.float32), stride=(1, 1),
                         padding=(k // 2, k // 2), dilation=(1, 1), groups=1)

    nodes = {
        "input": ir.Input(),
        "split": ir.ChannelSplit(split_sections=(2, 2), dim=0),
        "a": conv(2, 2, 3),
        "relu": ir.ReLU(negative_slope=0.1),
        "b": conv(2, 2, 1),
        "cat": ir.Concat(num_inputs=2, dim=0),
        "mix": conv(4, 4, 3),
        "res": ir.Skip(skip_type="residual"),
        "output": ir.Output(),
    }
    edges = [("input", "split"), ("split", "a"), ("split", "b"), ("a", "relu"), ("relu", "cat"),
             ("b", "cat"), ("cat", "mix"), ("cat", "res"), ("mix", "res"), ("res", "output")]
    return ir.Graph(nodes=nodes, edges=edges)


def assert_same_fields(exported: ir.Node, original: ir.Node) -> None:
    assert type(exported) is type(original)
    for field in original.fields():
        expected, actual = getattr(original, field), getattr(exported, field)
        if isinstance(expected, np.ndarray):
            np.testing.assert_array_equal(actual, expected, err_msg=field)
        elif field != "features":  # the feature count is the exporter's own addition
            assert actual == expected, field


def test_multi_branch_graph_comes_back_whole(tmp_path):
    original = multi_branch_graph()
    executor = GraphExecutor(import_ir(original), original.edges)
    exported = export_ir(executor, torch.randn(1, 4, 6, 6))

    assert list(exported.nodes) == list(original.nodes)
    assert exported.edges == original.edges
    for name, node in original.nodes.items():
        assert_same_fields(exported.nodes[name], node)
    assert exported.nodes["relu"].features == 2 * 6 * 6

    again = through_file(exported, tmp_path)
    executor.reset_state()
    reimported = GraphExecutor(import_ir(again), again.edges)
    x = torch.randn(3, 4, 6, 6)
    torch.testing.assert_close(reimported(x), executor(x), rtol=0, atol=0)


def load_detector_graph_builder():
    """The detector graph of the import tests, by path (test folders are not packages)."""
    path = Path(__file__).parents[1] / "import_ir" / "test_detector_graph.py"
    spec = importlib.util.spec_from_file_location("detector_graph", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.build_graph


def test_spiking_detector_survives_export_file_and_import(tmp_path):
    graph = load_detector_graph_builder()(np.random.default_rng(11))
    executor = GraphExecutor(import_ir(graph), graph.edges)
    exported = export_ir(executor, torch.rand(1, 3, 16, 16))
    assert list(exported.nodes) == list(graph.nodes) and exported.edges == graph.edges

    again = through_file(exported, tmp_path)
    reimported = GraphExecutor(import_ir(again), again.edges)
    executor.reset_state()  # the export's trace ran one step
    frames = torch.rand(4, 2, 3, 16, 16) * 2
    with torch.no_grad():
        for frame in frames:
            for expected, actual in zip(executor(frame), reimported(frame)):
                torch.testing.assert_close(actual, expected, rtol=0, atol=0)


def lif_node(shape, uniform):
    rng = np.random.default_rng(len(shape))

    def values(base):
        spread = 0.0 if uniform else rng.random(shape, dtype=np.float32)
        return (np.full(shape, base, np.float32) + spread).astype(np.float32)

    return ir.LIF(tau=values(2.0), r=values(1.0), v_leak=values(0.0), v_threshold=values(1.0))


ARRAY_NODES = {  # name: (node, the traced per-sample shape, array fields)
    **{f"lif_{'uniform' if uniform else 'per_neuron'}_{len(shape)}d":
       (lif_node(shape, uniform), shape, ("tau", "r", "v_leak", "v_threshold"))
       for shape in [(8,), (4, 5), (2, 3, 3), (8, 8, 8)] for uniform in [True, False]},
    "affine": (ir.Affine(weight=np.random.rand(3, 6).astype(np.float32),
                         bias=np.random.rand(3).astype(np.float32)), (6,), ("weight", "bias")),
    "conv2d": (ir.Conv2d(weight=np.random.rand(4, 2, 3, 3).astype(np.float32),
                         bias=np.random.rand(4).astype(np.float32), stride=(1, 1), padding=(1, 1),
                         dilation=(1, 1), groups=1), (2, 5, 5), ("weight", "bias")),
    "batch_norm": (ir.BatchNorm2d(num_features=3, weight=np.random.rand(3).astype(np.float32),
                                  bias=np.random.rand(3).astype(np.float32),
                                  running_mean=np.random.rand(3).astype(np.float32),
                                  running_var=np.random.rand(3).astype(np.float32) + 0.5),
                   (3, 4, 4), ("weight", "bias", "running_mean", "running_var")),
}


@pytest.mark.parametrize("name", list(ARRAY_NODES))
def test_every_array_keeps_its_shape_and_values_through_import_export_and_file(name, tmp_path):
    node, shape, fields = ARRAY_NODES[name]
    node.input_type = {"input": np.array(shape)}
    graph = ir.Graph(nodes={"input": ir.Input(input_type={"input": np.array(shape)}), "n": node,
                            "output": ir.Output()}, edges=[("input", "n"), ("n", "output")])
    executor = GraphExecutor(import_ir(graph), graph.edges).eval()
    back = through_file(export_ir(executor, torch.rand(2, *shape)), tmp_path).nodes["n"]
    for field in fields:
        original, kept = getattr(node, field), getattr(back, field)
        assert kept.shape == original.shape, field  # a uniform LIF array once shrank to one slice
        np.testing.assert_array_equal(kept, original)
