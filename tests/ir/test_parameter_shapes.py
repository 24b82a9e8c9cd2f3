"""Arrays whose shape does not fit their node are refused where graphs enter: the reader and
validate_graph both name the node and the field."""

import re
from collections import OrderedDict

import numpy as np
import pytest

import vantle.ir as ir
from vantle.bridge import dag_tools
from vantle.bridge.import_ir import import_ir


def lif(shape=(4,), tau=None, ports=True, **arrays):
    values = {name: np.ones(shape, np.float32) for name in ("r", "v_leak", "v_threshold")}
    values.update(arrays)
    types = {"input_type": {"input": np.array(shape)}, "output_type": {"output": np.array(shape)}}
    tau = np.full(shape, 2.0, np.float32) if tau is None else tau
    return ir.LIF(tau=tau, **values, **(types if ports else {}))


def dense(kind, weight_shape, bias_shape):
    return kind(weight=np.ones(weight_shape, np.float32), bias=np.zeros(bias_shape, np.float32))


def sepconv(depthwise, pointwise):
    return ir.SepConv2d(depthwise_weight=np.ones(depthwise), pointwise_weight=np.ones(pointwise))


def batch_norm(var_shape):
    arrays = {f: np.ones(4) for f in ("weight", "bias", "running_mean")}
    return ir.BatchNorm2d(num_features=4, running_var=np.ones(var_shape), **arrays)


BAD = [
    ("tau (4, 1) of four neurons", lif(tau=np.ones((4, 1))), "tau"),
    ("tau (4, 1) without port types", lif(tau=np.ones((4, 1)), ports=False), "tau"),
    ("threshold wider than the neurons", lif(v_threshold=np.ones(8)), "v_threshold"),
    ("Affine bias (1,)", dense(ir.Affine, (3, 5), (1,)), "bias"),
    ("SpikingAffine 1-D weight", dense(ir.SpikingAffine, (5,), (5,)), "weight"),
    ("Conv1d 4-D weight", dense(ir.Conv1d, (4, 2, 3, 3), (4,)), "weight"),
    ("Conv2d bias (2,)", dense(ir.Conv2d, (4, 2, 3, 3), (2,)), "bias"),
    ("SepConv2d channels", sepconv((4, 1, 3, 3), (8, 3, 1, 1)), "pointwise_weight"),
    ("SepConv2d depthwise", sepconv((4, 2, 3, 3), (8, 4, 1, 1)), "depthwise_weight"),
    ("BatchNorm2d running_var", batch_norm((3,)), "running_var"),
    ("LayerNorm weight", ir.LayerNorm(normalized_shape=(2, 3), weight=np.ones(6)), "weight"),
]

GOOD = [
    lif(),
    lif(shape=(3, 2, 2)),  # laid out like a convolution's output
    lif(tau=np.array([2.0]), r=np.array(1.0)),  # one value for all
    lif(ports=False),
    dense(ir.Affine, (3, 5), (3,)),
    sepconv((4, 1, 3, 3), (8, 4, 1, 1)),
    batch_norm((4,)),
    ir.LayerNorm(normalized_shape=6, weight=np.ones(6), bias=np.zeros(6)),
]


def graph_of(node):
    return ir.Graph(
        nodes={"in": ir.Input(), "layer": node, "out": ir.Output()},
        edges=[("in", "layer"), ("layer", "out")],
    )


@pytest.mark.parametrize(("node", "field"), [case[1:] for case in BAD], ids=[c[0] for c in BAD])
def test_arrays_that_do_not_fit_their_node_are_refused(tmp_path, node, field):
    where = re.escape(f"node 'layer' ({type(node).__name__}) field '{field}' has shape")
    graph = graph_of(node)
    path = tmp_path / "g.vx2"
    with pytest.raises(ValueError, match=rf"^{where}"):
        ir.write(path, graph)
    ir.write(path, graph, check=False)  # stored as it is on request, and refused on reading
    with pytest.raises(ValueError, match=rf"^{re.escape(str(path))}: {where}"):
        ir.read(path)
    with pytest.raises(ValueError, match=rf"^{where}"):
        dag_tools.validate_graph(graph)
    # Any ordered mapping of nodes is checked alike.
    graph.nodes = OrderedDict(graph.nodes)
    with pytest.raises(ValueError, match=rf"^{where}"):
        dag_tools.validate_graph(graph)


@pytest.mark.parametrize("node", GOOD)
def test_arrays_that_fit_pass_and_import(tmp_path, node):
    ir.write(tmp_path / "g.vx2", graph_of(node))
    graph = ir.read(tmp_path / "g.vx2")
    dag_tools.validate_graph(graph)
    assert set(import_ir(graph)) == {"in", "layer", "out"}


def test_structural_rules_are_reported_first():
    graph = graph_of(lif(tau=np.ones((4, 1))))
    graph.edges.append(("out", "in"))
    with pytest.raises(ValueError, match="^Graph contains cycles"):
        dag_tools.validate_graph(graph)
