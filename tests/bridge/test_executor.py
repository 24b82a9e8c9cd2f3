import copy
import io
import pickle

import pytest
import torch
from torch import nn

from vantle.bridge import GraphExecutor
from vantle.bridge.plan import make_plan, releases


class Affine(nn.Module):
    """y = x * scale + shift; records its name in a shared log when it runs."""

    def __init__(self, scale=1.0, shift=0.0, log=None, name=""):
        super().__init__()
        self.scale, self.shift, self.log, self.name = scale, shift, log, name

    def forward(self, x):
        if self.log is not None:
            self.log.append(self.name)
        return x * self.scale + self.shift


class Split(nn.Module):
    _is_multi_output = True

    def __init__(self, size=1, dim=1):
        super().__init__()
        self.size, self.dim = size, dim

    def forward(self, x):
        return torch.split(x, self.size, dim=self.dim)


class Merge(nn.Module):
    def __init__(self, skip_type, dim=None):
        super().__init__()
        self.skip_type = skip_type
        if dim is not None:
            self.dim = dim

    def forward(self, x):
        return x


class Accumulate(nn.Module):
    """LIF-like: returns (potential, potential) where the potential sums every input so far."""

    def forward(self, x, mem=None):
        mem = x if mem is None else mem + x
        return mem * 1.0, mem


class Triple(nn.Module):
    def forward(self, x):
        return x, x, x


def chain(*names):
    return list(zip(names, names[1:]))


def test_runs_in_topological_order_not_module_order():
    log = []
    modules = {
        "c": Affine(shift=3.0, log=log, name="c"),
        "b": Affine(scale=2.0, log=log, name="b"),
        "a": Affine(shift=1.0, log=log, name="a"),
    }
    ex = GraphExecutor(modules, chain("a", "b", "c"))
    assert ex(torch.tensor([1.0])).item() == (1 + 1) * 2 + 3
    assert log == ["a", "b", "c"]


def test_ready_nodes_run_in_order_of_first_appearance():
    log = []
    modules = {name: Affine(log=log, name=name) for name in ["in", "x", "y"]}
    ex = GraphExecutor(modules, [("in", "y"), ("in", "x"), ("y", "z"), ("x", "w")])
    ex(torch.zeros(1))
    assert log == ["in", "x", "y"]


@pytest.mark.parametrize(
    "merge, expected",
    [
        (Merge("passthrough"), lambda a, b: b),
        (Merge("residual"), lambda a, b: b + a),
        (Merge("concatenate"), lambda a, b: torch.cat([b, a], dim=1)),
        (Merge("concatenate", dim=0), lambda a, b: torch.cat([b, a], dim=0)),
    ],
)
def test_several_inputs_merge_in_edge_order(merge, expected):
    modules = {"in": nn.Identity(), "a": Affine(scale=2.0), "b": Affine(shift=5.0), "m": merge}
    # "b" reaches the merge first in the edge list, although "a" comes first as a module.
    edges = [("in", "a"), ("in", "b"), ("b", "m"), ("a", "m")]
    x = torch.arange(6.0).reshape(2, 3)
    out = GraphExecutor(modules, edges)(x)
    torch.testing.assert_close(out, expected(x * 2.0, x + 5.0))


@pytest.mark.parametrize(
    "modules, error_node",
    [
        ({"in": nn.Identity(), "m": nn.Identity()}, "m"),
        ({"in": nn.Identity(), "m": Merge("average")}, "m"),
        ({"in": nn.Identity()}, "m"),  # edge-only node cannot merge either
    ],
)
def test_several_inputs_without_a_known_skip_type_are_rejected(modules, error_node):
    edges = [("in", "a"), ("in", "b"), ("a", "m"), ("b", "m")]
    with pytest.raises(ValueError, match=f"'{error_node}'.*2 incoming"):
        GraphExecutor(modules, edges)


def test_multi_output_chunks_follow_outgoing_edge_order():
    modules = {"split": Split(size=2), "first": Affine(scale=10.0), "second": Affine(scale=-1.0)}
    edges = [("split", "second"), ("split", "first")]
    x = torch.arange(8.0).reshape(1, 4, 2)
    first, second = GraphExecutor(modules, edges)(x)  # sinks come in module order
    torch.testing.assert_close(first, x[:, 2:] * 10.0)
    torch.testing.assert_close(second, -x[:, :2])


def test_multi_output_with_too_few_chunks_names_the_node():
    modules = {"split": Split(size=2)}
    edges = [("split", "a"), ("split", "b"), ("split", "c")]
    with pytest.raises(ValueError, match="'split'.*3 outgoing.*2 chunks"):
        GraphExecutor(modules, edges)(torch.zeros(1, 4))


def test_other_tuple_lengths_are_rejected():
    with pytest.raises(ValueError, match="'t'.*3 items"):
        GraphExecutor({"t": Triple()}, [])(torch.zeros(1))


def test_state_is_carried_across_calls_until_reset():
    ex = GraphExecutor({"in": nn.Identity(), "lif": Accumulate()}, chain("in", "lif"))
    x = torch.ones(2)
    assert [ex(x)[0].item() for _ in range(3)] == [1.0, 2.0, 3.0]
    assert "lif" in ex._states and not any("lif" in key for key in ex.state_dict())
    ex.reset_state()
    assert ex(x)[0].item() == 1.0


def test_state_keeps_autograd_history_until_detached():
    ex = GraphExecutor({"lif": Accumulate()}, [])
    x1 = torch.ones(1, requires_grad=True)
    ex(x1)
    ex(torch.ones(1)).sum().backward()
    assert x1.grad is not None and x1.grad.item() == 1.0

    x1.grad = None
    ex.reset_state()
    ex(x1)
    ex.detach_state()
    out = ex(torch.ones(1))
    assert out.item() == 2.0 and not out.requires_grad


@pytest.mark.parametrize("copier", ["deepcopy", "pickle", "torch.save", "earlier layout"])
def test_copies_run_like_the_original_and_keep_state_values(copier):
    modules = {"in": Affine(scale=2.0), "split": Split(size=1), "lif": Accumulate(),
               "m": Merge("residual")}
    edges = [("in", "split"), ("split", "lif"), ("split", "m"), ("lif", "m")]
    ex = GraphExecutor(modules, edges)
    x = torch.randn(1, 2, requires_grad=True)
    ex(x)  # the kept state now carries autograd history
    if copier == "deepcopy":
        clone = copy.deepcopy(ex)
    elif copier == "pickle":
        clone = pickle.loads(pickle.dumps(ex))
    elif copier == "earlier layout":  # saved when the plan's parts were three attributes
        state = ex.__getstate__()
        plan = state.pop("_plan")
        state.update(_steps=plan.steps, _num_sources=plan.num_sources,
                     _sink_steps=plan.sink_steps)
        clone = GraphExecutor.__new__(GraphExecutor)
        clone.__setstate__(state)
    else:
        buffer = io.BytesIO()
        torch.save(ex, buffer)
        buffer.seek(0)
        clone = torch.load(buffer, weights_only=False)
    assert clone.edges == edges and clone._sanitized_names == ex._sanitized_names
    y = torch.randn(1, 2)
    torch.testing.assert_close(clone(y), ex(y))


def test_one_sink_gives_a_tensor_several_give_a_tuple_in_order_of_appearance():
    one = GraphExecutor({"a": Affine(scale=2.0)}, [])
    assert isinstance(one(torch.ones(1)), torch.Tensor)

    # "late" appears first but runs after "early", behind "x".
    modules = {"in": nn.Identity(), "late": Affine(scale=3.0), "early": Affine(scale=2.0),
               "x": Affine(shift=1.0)}
    edges = [("in", "x"), ("x", "late"), ("in", "early"), ("in", "edge_only")]
    late, early, edge_only = GraphExecutor(modules, edges)(torch.ones(1))
    assert (late.item(), early.item(), edge_only.item()) == (6.0, 2.0, 1.0)


def test_edge_only_nodes_pass_their_input_on():
    ex = GraphExecutor({"in": Affine(scale=2.0), "out": Affine(scale=3.0)},
                       chain("in", "mid", "out"))
    assert ex(torch.ones(1)).item() == 6.0
    assert "mid" not in ex._sanitized_names and len(list(ex.children())) == 2


@pytest.mark.parametrize(
    "names",
    [
        ["a.b", "a_b", "a_b_1"],
        ["", "_1"],
        ["forward", "training", "edges", "to"],
        ["reset_state", "_states", "_sanitized_names", "_modules"],
    ],
)
def test_child_names_are_unique_valid_and_recorded(names):
    modules = {name: Affine(scale=float(i + 2)) for i, name in enumerate(names)}
    ex = GraphExecutor(modules, chain(*names))
    children = dict(ex.named_children())
    assert list(ex._sanitized_names) == names
    assert list(children) == list(ex._sanitized_names.values())
    for name, child in ex._sanitized_names.items():
        assert child and child.replace("_", "a").isalnum()
        assert not hasattr(nn.Module, child) and not hasattr(GraphExecutor, child)
        assert children[child] is modules[name]
    # The executor itself still works: its own attributes were not shadowed.
    expected = torch.ones(1)
    for i in range(len(names)):
        expected = expected * (i + 2)
    assert ex.training is True
    torch.testing.assert_close(ex(torch.ones(1)), expected)


def test_children_are_hookable_modules_and_edges_are_kept_as_given():
    edges = chain("in", "fc")
    ex = GraphExecutor({"in": nn.Identity(), "fc": nn.Linear(3, 2)}, edges)
    seen = []
    for name, child in ex.named_children():
        child.register_forward_hook(lambda m, i, o, name=name: seen.append((name, tuple(o.shape))))
    ex(torch.zeros(4, 3))
    assert ex.edges is edges
    assert seen == [("in", (4, 3)), ("fc", (4, 2))]


class CountsCalls(nn.Linear):
    calls = 0

    def __call__(self, *args):
        CountsCalls.calls += 1
        return super().__call__(*args)


def test_whatever_a_module_call_adds_to_forward_still_happens(monkeypatch):
    """Nodes run their forward directly only when the module call would add nothing."""
    torch.manual_seed(0)

    def double_output(module, args, output):
        return output * 2

    def add_one_to_input(module, args):
        return (args[0] + 1,)

    def global_double(module, args, output):
        # The executor is a module too: only the layer's output is changed.
        return output * 2 if isinstance(module, nn.Linear) else None

    set_ups = {
        "forward hook": lambda fc: fc.register_forward_hook(double_output),
        "pre-hook": lambda fc: fc.register_forward_pre_hook(add_one_to_input),
        "global hook": lambda fc: nn.modules.module.register_module_forward_hook(global_double),
    }
    x = torch.randn(4, 3)
    for name, set_up in set_ups.items():
        fc = nn.Linear(3, 2)
        plain = fc(x)
        handle = set_up(fc)
        try:
            expected = fc(x)
            got = GraphExecutor({"fc": fc}, [])(x)
        finally:
            handle.remove()
        assert not torch.equal(expected, plain), name
        assert torch.equal(got, expected), name
    counted = CountsCalls(3, 2)
    GraphExecutor({"fc": counted}, [])(x)
    assert CountsCalls.calls == 1
    # A layer without bias, and a replaced Linear.forward, run as the layer itself would.
    no_bias = nn.Linear(3, 2, bias=False)
    assert torch.equal(GraphExecutor({"fc": no_bias}, [])(x), no_bias(x))
    original = nn.Linear.forward
    monkeypatch.setattr(nn.Linear, "forward", lambda self, x: original(self, x) * 2)
    assert torch.equal(GraphExecutor({"fc": no_bias}, [])(x), original(no_bias, x) * 2)


@pytest.mark.parametrize(
    "edges, error, match",
    [
        (["ab"], TypeError, "edge 0"),
        ([("a", "b"), ("a",)], ValueError, "edge 1 must have 2 items"),
        ([("a", "b", "c")], ValueError, "edge 0 must have 2 items"),
        ([("a", 1)], TypeError, "edge 0"),
        ({("a", "b")}, TypeError, "'edges'"),
        ("ab", TypeError, "'edges'"),
    ],
)
def test_malformed_edges_are_rejected(edges, error, match):
    with pytest.raises(error, match=match):
        GraphExecutor({"a": nn.Identity()}, edges)


@pytest.mark.parametrize(
    "modules, match",
    [
        ([nn.Identity()], "'modules'"),
        ({"a": lambda x: x}, "'a'"),
        ({1: nn.Identity()}, "node names"),
        ({}, "no nodes"),
    ],
)
def test_malformed_modules_are_rejected(modules, match):
    with pytest.raises((TypeError, ValueError), match=match):
        GraphExecutor(modules, [])


@pytest.mark.parametrize(
    "edges, on_cycle, downstream",
    [
        ([("in", "a"), ("a", "b"), ("b", "c"), ("c", "a"), ("c", "after")], "abc", "after"),
        ([("in", "x"), ("x", "x"), ("x", "y")], "x", "y"),
    ],
)
def test_cycles_are_rejected_naming_the_nodes_on_them(edges, on_cycle, downstream):
    with pytest.raises(ValueError, match="cycle") as caught:
        GraphExecutor({"in": nn.Identity()}, edges)
    message = str(caught.value)
    assert all(f"'{node}'" in message for node in on_cycle)
    assert f"'{downstream}'" not in message and "'in'" not in message


@pytest.mark.parametrize("count", [1, 3])
def test_wrong_number_of_inputs_states_expected_and_given(count):
    modules = {"y": Affine(scale=10.0), "x": nn.Identity(), "m": Merge("concatenate", dim=0)}
    ex = GraphExecutor(modules, [("x", "m"), ("y", "m")])
    # Sources take the inputs in order of appearance: "y", then "x".
    assert ex(torch.ones(1), torch.full((1,), 2.0)).tolist() == [2.0, 10.0]
    with pytest.raises(TypeError, match=f"expects 2 input.*got {count}"):
        ex(*[torch.ones(1)] * count)


def test_a_sequence_run_frees_each_value_after_its_last_reader_and_keeps_the_outputs():
    # a -> b -> c -> d with a skip a -> d, then d -> out, and a dangling branch a -> e
    nodes = ["a", "b", "c", "d", "e", "out"]
    edges = [("a", "b"), ("b", "c"), ("a", "d"), ("c", "d"), ("d", "out"), ("a", "e")]
    modules = {name: nn.Identity() for name in nodes}
    modules["d"].skip_type = "residual"
    plan = make_plan(nodes, modules, edges, {name: name for name in nodes})
    assert [step.node for step in plan.steps] == nodes  # ready nodes run in order of appearance
    freed_after = {plan.steps[i].node: sorted(plan.steps[p].node for p in done)
                   for i, done in enumerate(releases(plan))}
    # a is read last by e; the outputs (e, out) are never freed
    assert freed_after == {"a": [], "b": [], "c": ["b"], "d": ["c"], "e": ["a"], "out": ["d"]}
