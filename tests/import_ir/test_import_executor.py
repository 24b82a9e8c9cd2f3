"""Imported branching graphs run in the GraphExecutor: fan-out, concatenation, residual sums."""

from __future__ import annotations

import numpy as np
import pytest
import torch
import torch.nn.functional as F

import vantle.ir as ir
from vantle.bridge.executor import GraphExecutor
from vantle.bridge.import_ir import import_ir

RNG = np.random.default_rng(1)


def conv_node(out_ch, in_ch):
    return ir.Conv2d(weight=RNG.standard_normal((out_ch, in_ch, 3, 3)).astype(np.float32),
                     bias=RNG.standard_normal(out_ch).astype(np.float32), stride=1, padding=1,
                     dilation=1, groups=1)


def conv(x, node):
    return F.conv2d(x, torch.from_numpy(node.weight), torch.from_numpy(node.bias), padding=1)


def branching_graph(merge):
    """stem -> split(2, 6) -> [relu | conv] -> concat -> skip(merge) with the stem -> out."""
    stem, side = conv_node(8, 3), conv_node(6, 6)
    nodes = {
        "in": ir.Input(),
        "stem": stem,
        "split": ir.ChannelSplit(split_sections=(2, 6), dim=0),
        "relu": ir.ReLU(),
        "side": side,
        "cat": ir.Concat(num_inputs=2, dim=0),
        "merge": ir.Skip(skip_type=merge),
        "out": ir.Output(),
    }
    edges = [("in", "stem"), ("stem", "split"), ("split", "relu"), ("split", "side"),
             ("relu", "cat"), ("side", "cat"), ("cat", "merge"), ("stem", "merge"),
             ("merge", "out")]
    return ir.Graph(nodes=nodes, edges=edges)


def expected(graph, x, merge):
    stem = conv(x, graph.nodes["stem"])
    low, high = stem[:, :2], stem[:, 2:]
    joined = torch.cat((F.relu(low), conv(high, graph.nodes["side"])), dim=1)
    return {"residual": joined + stem, "concatenate": torch.cat((joined, stem), dim=1),
            "passthrough": joined}[merge]


@pytest.mark.parametrize("merge", ["residual", "concatenate", "passthrough"])
def test_imported_branching_graph_runs(merge):
    graph = branching_graph(merge)
    executor = GraphExecutor(import_ir(graph), graph.edges)
    x = torch.randn(2, 3, 6, 6)
    torch.testing.assert_close(executor(x), expected(graph, x, merge))


def test_split_chunks_follow_edge_order():
    # The first edge out of the split gets the first chunk: swap the edges, swap the branches.
    graph = branching_graph("residual")
    graph.nodes["split"] = ir.ChannelSplit(split_sections=(6, 2), dim=0)
    graph.edges[2], graph.edges[3] = ("split", "side"), ("split", "relu")
    graph.edges[4], graph.edges[5] = ("side", "cat"), ("relu", "cat")
    executor = GraphExecutor(import_ir(graph), graph.edges)
    x = torch.randn(1, 3, 5, 5)
    stem = conv(x, graph.nodes["stem"])
    joined = torch.cat((conv(stem[:, :6], graph.nodes["side"]), F.relu(stem[:, 6:])), dim=1)
    torch.testing.assert_close(executor(x), joined + stem)


def test_graph_read_from_file_runs_the_same(tmp_path):
    graph = branching_graph("residual")
    path = tmp_path / "branching.vx2"
    ir.write(str(path), graph)
    x = torch.randn(1, 3, 4, 4)
    from_file = GraphExecutor(import_ir(path), ir.read(path).edges)
    in_memory = GraphExecutor(import_ir(graph), graph.edges)
    torch.testing.assert_close(from_file(x), in_memory(x))
