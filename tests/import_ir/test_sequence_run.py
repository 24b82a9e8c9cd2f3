"""GraphExecutor.run over whole sequences against stepping the same executor once per step."""

from __future__ import annotations

import copy

import numpy as np
import pytest
import torch
from test_detector_graph import build_graph as detector_graph
from torch import nn

import vantle.ir as ir
from vantle.bridge import GraphExecutor
from vantle.bridge.import_ir import import_ir

STEPS = 5


def lif(rng, shape):
    return ir.LIF(tau=rng.uniform(1.5, 4.0, shape), r=rng.uniform(1.0, 2.0, shape),
                  v_leak=np.zeros(shape), v_threshold=rng.uniform(0.3, 1.0, shape))


def conv(rng, c_out, c_in):
    return ir.Conv2d(weight=(rng.standard_normal((c_out, c_in, 3, 3)) * 0.3).astype(np.float32),
                     bias=rng.uniform(0, 0.2, c_out).astype(np.float32), stride=1, padding=1,
                     dilation=1, groups=1)


def branching_graph(rng):
    """stem -> lif -> split -> [relu | conv -> lif] -> concat -> residual with the first lif ->
    lif -> out; the side branch also feeds a second output."""
    nodes = {
        "in": ir.Input(), "stem": conv(rng, 8, 3), "lif_stem": lif(rng, (8, 6, 6)),
        "split": ir.ChannelSplit(split_sections=(2, 6), dim=0), "relu": ir.ReLU(),
        "side": conv(rng, 6, 6), "lif_side": lif(rng, (1,)),
        "cat": ir.Concat(num_inputs=2, dim=0), "merge": ir.Skip(skip_type="residual"),
        "lif_out": lif(rng, (6,)), "out": ir.Output(), "side_out": ir.Output(),
    }
    edges = [("in", "stem"), ("stem", "lif_stem"), ("lif_stem", "split"), ("split", "relu"),
             ("split", "side"), ("side", "lif_side"), ("relu", "cat"), ("lif_side", "cat"),
             ("cat", "merge"), ("lif_stem", "merge"), ("merge", "lif_out"), ("lif_out", "out"),
             ("lif_side", "side_out")]
    return ir.Graph(nodes=nodes, edges=edges), (3, 6, 6), 1.5


def mlp_graph(rng):
    nodes, edges, prev = {"in": ir.Input()}, [], "in"
    for i, width in enumerate((12, 16, 10)):
        fan_in = 9 if i == 0 else (12, 16)[i - 1]
        nodes[f"fc{i}"] = ir.Affine(
            weight=(rng.standard_normal((width, fan_in)) * 0.6).astype(np.float32),
            bias=rng.uniform(0, 0.3, width).astype(np.float32))
        nodes[f"lif{i}"] = lif(rng, (width,) if i % 2 else (1,))
        edges += [(prev, f"fc{i}"), (f"fc{i}", f"lif{i}")]
        prev = f"lif{i}"
    nodes["out"] = ir.Output()
    return ir.Graph(nodes=nodes, edges=edges + [(prev, "out")]), (9,), 2.0


def detector(rng):
    return detector_graph(rng), (3, 16, 16), 2.0


GRAPHS = {"branching": branching_graph, "mlp": mlp_graph, "detector": detector}


@pytest.fixture(params=list(GRAPHS))
def case(request):
    rng = np.random.default_rng(21)
    graph, in_shape, scale = GRAPHS[request.param](rng)
    executor = GraphExecutor(import_ir(graph), graph.edges)
    x_seq = torch.rand(STEPS, 3, *in_shape, generator=torch.Generator().manual_seed(2)) * scale
    return executor, x_seq


def as_tuple(out):
    return out if isinstance(out, tuple) else (out,)


def stepped(executor, x_seq):
    outs = [as_tuple(executor(x)) for x in x_seq]
    return tuple(torch.stack(items) for items in zip(*outs))


def lif_states(executor):
    return {node: state for node, state in executor._states.items()}


def test_imported_graphs_run_layer_by_layer(case):
    executor, _ = case
    roles = executor._layer_major_roles()
    assert roles is not None and "lif" in roles


def test_run_continues_and_leaves_states_as_stepping(case):
    executor, x_seq = case
    reference = copy.deepcopy(executor)
    with torch.no_grad():
        want = stepped(reference, x_seq)
        stepped(executor, x_seq[:2])  # run picks up from states kept by stepping
        got = as_tuple(executor.run(x_seq[2:]))
    for a, b in zip(got, want):
        assert torch.equal(a, b[2:])
    states, want_states = lif_states(executor), lif_states(reference)
    assert states.keys() == want_states.keys()
    for node in states:
        torch.testing.assert_close(states[node], want_states[node])
    spikes = torch.cat([s.flatten() for s in states.values()])
    assert 0 < (spikes == 0).float().mean() < 1  # some neurons fired and were reset


def test_gradients_equal_those_of_stepping(case):
    executor, x_seq = case
    reference = copy.deepcopy(executor)
    weights = [torch.randn_like(out) for out in stepped(copy.deepcopy(executor), x_seq)]

    def grads(run, module):
        x = x_seq.clone().requires_grad_()
        outs = as_tuple(run(module, x))
        sum((out * w).sum() for out, w in zip(outs, weights)).backward()
        return [x.grad] + [p.grad for p in module.parameters()]

    got = grads(lambda m, x: m.run(x), executor)
    want = grads(stepped, reference)
    for a, b in zip(got, want):
        # Relative to the gradient's scale: a sum that cancels to near zero may differ more.
        torch.testing.assert_close(a, b, rtol=1e-5, atol=1e-5 * b.abs().max().item())
    assert got[0].abs().sum() > 0


# --- graphs that must run step by step ----------------------------------------------------


class Counter(nn.Module):
    """A module of unknown kind that keeps a running sum as its state."""

    def __init__(self):
        super().__init__()
        self.shapes = []

    def forward(self, x, total=None):
        self.shapes.append(tuple(x.shape))
        total = x if total is None else total + x
        return total * 0.5, total


def linear_into(module):
    return {"fc": nn.Linear(4, 4), "odd": module}, [("fc", "odd")]


@pytest.mark.parametrize("module, hook", [
    (Counter(), False),
    (nn.BatchNorm1d(4), False),  # training mode: batch statistics per step
    (nn.ReLU(), True),  # a hook expects one call per step
])
def test_other_graphs_fall_back_to_stepping(module, hook):
    modules, edges = linear_into(module)
    executor = GraphExecutor(modules, edges)
    reference = copy.deepcopy(executor)
    calls = []
    if hook:
        module.register_forward_hook(lambda mod, args, out: calls.append(args[0].shape))
    x_seq = torch.randn(STEPS, 3, 4)
    assert executor._layer_major_roles() is None
    with torch.no_grad():
        got = executor.run(x_seq)
        want = torch.stack([reference(x) for x in x_seq])
    assert torch.equal(got, want)
    if isinstance(module, Counter):
        assert module.shapes == [(3, 4)] * STEPS
        assert torch.equal(executor._states["odd"], reference._states["odd"])
    if hook:
        assert calls == [(3, 4)] * STEPS


@pytest.mark.parametrize("run", [False, True], ids=["stepping", "run"])
@pytest.mark.parametrize("new_batch", [2, 1])
def test_changed_batch_size_names_the_node(run, new_batch):
    graph, in_shape, _ = mlp_graph(np.random.default_rng(3))
    executor = GraphExecutor(import_ir(graph), graph.edges)
    with torch.no_grad():
        executor(torch.rand(4, *in_shape))
        x = torch.rand(2, new_batch, *in_shape)
        with pytest.raises(ValueError, match=r"node 'lif0' keeps a state of shape \(4, 12\)"):
            executor.run(x) if run else executor(x[0])
        executor.reset_state()
        assert executor.run(x).shape == (2, new_batch, 10)


@pytest.mark.parametrize("args, error, match", [
    ((), TypeError, r"expects 1 sequence\(s\), one per source node \['in'\], but got 0"),
    ((torch.rand(3),), ValueError, r"source 'in' must be a time-major tensor .*got \(3,\)"),
    ((torch.rand(0, 2, 9),), ValueError, "at least one"),
])
def test_run_rejects_malformed_sequences(args, error, match):
    graph, _, _ = mlp_graph(np.random.default_rng(4))
    with pytest.raises(error, match=match):
        GraphExecutor(import_ir(graph), graph.edges).run(*args)
