"""Incomplete graphs are refused where they are written and validated, naming the node and
field; complete ones (every graph export makes) pass."""

from __future__ import annotations

import numpy as np
import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge import dag_tools
from vantle.bridge.export_ir import export_ir


def shape(*sizes):
    return np.array(sizes)


def chain(node, size=4):
    return ir.Graph(nodes={"input": ir.Input(input_type={"input": shape(size)}), "n": node,
                           "output": ir.Output()},
                    edges=[("input", "n"), ("n", "output")])


def concat(ports, output=(11, 4, 4)):
    return ir.Concat(num_inputs=3, dim=0, input_type={k: shape(*v) for k, v in ports.items()},
                     output_type={"output": shape(*output)})


ones = np.ones(4, np.float32)
CASES = {  # name: (graph, the message)
    "lif_without_r": (chain(ir.LIF(tau=ones, v_leak=ones, v_threshold=ones)),
                      r"node 'n' \(LIF\) lacks field\(s\) 'r', which its kind needs"),
    "affine_without_weight": (chain(ir.Affine(bias=ones)), r"lacks field\(s\) 'weight'"),
    "upsample_without_size": (chain(ir.Upsample()), r"neither 'size' nor 'scale_factor'"),
    "weight_against_port": (chain(ir.Affine(weight=np.ones((4, 6), np.float32), bias=ones,
                                            input_type={"input": shape(4)})),
                            r"'weight' takes 6 input features, the input port records \(4,\)"),
    "conv_channels_against_port": (
        chain(ir.Conv2d(weight=np.ones((4, 3, 1, 1), np.float32), bias=ones, stride=1,
                        padding=0, dilation=1, groups=1, input_type={"input": shape(2, 5, 5)})),
        r"takes 3 input channels \(with groups=1\), the input port records \(2, 5, 5\)"),
    "concat_shapes_missing": (chain(concat({"input": (4, 4, 4), "input_1": (2, 4, 4)})),
                              r"records 2 input shapes for num_inputs=3"),
    "concat_shapes_disagree": (
        chain(concat({"input": (4, 4, 4), "input_1": (2, 4, 4), "input_2": (5, 3, 4)})),
        r"differ beyond dimension 0"),
    "concat_output_disagrees": (
        chain(concat({"input": (4, 4, 4), "input_1": (2, 4, 4), "input_2": (5, 4, 4)}, (9, 4, 4))),
        r"the inputs join to 11 along dimension 0"),
}


@pytest.mark.parametrize("name", list(CASES))
def test_incomplete_graphs_are_refused_naming_node_and_field(name, tmp_path):
    graph, message = CASES[name]
    path = tmp_path / "g.vx2"
    with pytest.raises(ValueError, match=message):
        ir.write(path, graph)
    assert not path.exists()  # nothing half-checked is stored
    with pytest.raises(ValueError, match=message):
        dag_tools.validate_graph(graph)
    ir.write(path, graph, check=False)  # on request, stored as it is
    assert ir.read(path) == graph


def test_an_edge_to_a_missing_node_is_refused_on_writing(tmp_path):
    graph = chain(ir.ReLU())
    graph.edges.append(("n", "ghost"))
    with pytest.raises(ValueError, match=r"edge 2 \('n' -> 'ghost'\) names a destination"):
        ir.write(tmp_path / "g.vx2", graph)


def test_exported_graphs_are_complete_with_one_shape_per_joined_input(tmp_path):
    class Branches(nn.Module):
        def __init__(self):
            super().__init__()
            self.a, self.b = nn.Conv2d(3, 4, 1), nn.Conv2d(3, 2, 1)

        def forward(self, x):
            return torch.cat([self.a(x), self.b(x), x], 1)

    graph = export_ir(Branches(), torch.randn(1, 3, 4, 4), strict=True)
    ports = graph.nodes["cat"].input_type
    assert {k: p.tolist() for k, p in ports.items()} == {
        "input": [4, 4, 4], "input_1": [2, 4, 4], "input_2": [3, 4, 4]}
    dag_tools.validate_graph(graph)
    ir.write(tmp_path / "g.vx2", graph)
