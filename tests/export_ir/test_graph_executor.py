"""Exporting a GraphExecutor: its own edges and node names, and its I/O nodes."""

from __future__ import annotations

import numpy as np
import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge.executor import GraphExecutor
from vantle.bridge.export_ir import VANTLEExporter, export_ir
from vantle.bridge.import_ir import SkipModule, import_ir


def affine(n_in, n_out, seed=0):
    rng = np.random.default_rng(seed)
    return ir.Affine(weight=rng.normal(size=(n_out, n_in)).astype(np.float32),
                     bias=rng.normal(size=n_out).astype(np.float32))


def executor_of(nodes, edges):
    graph = ir.Graph(nodes=nodes, edges=edges)
    return GraphExecutor(import_ir(graph), graph.edges), graph


def test_input_affine_output_round_trip():
    executor, graph = executor_of(
        {"input": ir.Input(), "fc": affine(4, 3), "output": ir.Output()},
        [("input", "fc"), ("fc", "output")],
    )
    exported = export_ir(executor, torch.randn(1, 4))
    assert list(exported.nodes) == ["input", "fc", "output"]
    assert exported.edges == graph.edges and exported.edges is not executor.edges
    assert np.array_equal(exported.nodes["fc"].weight, graph.nodes["fc"].weight)
    assert exported.nodes["input"].input_type["input"].tolist() == [4]
    assert exported.nodes["output"].output_type["output"].tolist() == [3]


def test_input_and_output_rules():
    executor, graph = executor_of(
        {
            "image": ir.Input(),  # not "input": exported as a passthrough skip
            "fc": affine(4, 3),
            "output_proj": affine(3, 2, seed=1),  # a real layer whose name starts with output
            "output_2": ir.Output(),
            "result": ir.Output(),  # an output name that does not start with output
        },
        [("image", "fc"), ("fc", "output_proj"), ("output_proj", "output_2"), ("fc", "result")],
    )
    exported = export_ir(executor, torch.randn(1, 4))
    nodes = exported.nodes
    assert list(nodes) == ["image", "fc", "output_proj", "output_2", "result"]
    for name in ("image", "result"):
        assert type(nodes[name]) is ir.Skip and nodes[name].skip_type == "passthrough"
    assert type(nodes["output_proj"]) is ir.Affine
    np.testing.assert_array_equal(nodes["output_proj"].weight, graph.nodes["output_proj"].weight)
    assert type(nodes["output_2"]) is ir.Output
    assert nodes["output_2"].output_type["output"].tolist() == [2]
    assert exported.edges == graph.edges


def test_a_real_layer_named_input_is_exported_as_itself():
    executor, graph = executor_of({"input": affine(4, 3), "output": ir.Output()},
                                  [("input", "output")])
    nodes = export_ir(executor, torch.randn(1, 4)).nodes
    assert list(nodes) == ["input", "output"] and type(nodes["input"]) is ir.Affine


class Opaque(nn.Module):
    def forward(self, x):
        return x * 2


def test_unconvertible_children_are_dropped_and_their_edges_stay():
    modules = {"input": nn.Identity(), "odd": Opaque(), "fc": nn.Linear(4, 2),
               "output": nn.Identity()}
    edges = [("input", "odd"), ("odd", "fc"), ("fc", "output")]
    exported = export_ir(GraphExecutor(modules, edges), torch.randn(1, 4))
    assert list(exported.nodes) == ["input", "fc", "output"]
    assert exported.edges == edges


def test_sanitized_child_names_map_back_to_node_names():
    modules = {"input": nn.Identity(), "block.fc": nn.Linear(4, 2), "forward": nn.ReLU(),
               "output": nn.Identity()}
    edges = [("input", "block.fc"), ("block.fc", "forward"), ("forward", "output")]
    executor = GraphExecutor(modules, edges)
    assert "block_fc" in dict(executor.named_children())
    exported = export_ir(executor, torch.randn(1, 4))
    assert list(exported.nodes) == ["input", "block.fc", "forward", "output"]
    assert exported.nodes["forward"].input_type["input"].tolist() == [2]


def test_custom_map_overrides_the_skip_rule_and_is_type_checked():
    executor, _ = executor_of(
        {"input": ir.Input(), "skip": ir.Skip(skip_type="residual"), "output": ir.Output()},
        [("input", "skip"), ("skip", "output")],
    )
    marker = ir.HybridRegion(input_type=None, output_type=None)
    exported = export_ir(executor, torch.randn(1, 4), custom_map={SkipModule: lambda m: marker})
    assert exported.nodes["skip"] is marker
    assert marker.output_type["output"].tolist() == [4]
    with pytest.raises(TypeError, match=r"expected dict, got tuple"):
        VANTLEExporter()._export_graph_executor(executor, torch.randn(1, 4), ())


def test_malformed_edges_fail_with_the_unpacking_error():
    executor, _ = executor_of({"input": ir.Input(), "output": ir.Output()}, [("input", "output")])
    executor.edges = [("input", "output", "extra")]
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        VANTLEExporter()._export_graph_executor(executor, torch.randn(1, 4))
