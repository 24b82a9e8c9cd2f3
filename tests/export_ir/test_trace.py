"""Shape capture: recorded shapes, failures, hook removal, and a model left as it was."""

from __future__ import annotations

import copy
import threading

import pytest
import torch
from torch import nn

from vantle.bridge.export_ir import VANTLEExporter, export_ir


def hooks_left(model: nn.Module) -> int:
    return sum(len(m._forward_hooks) for m in model.modules())


class TwiceAndTuple(nn.Module):
    """Runs `shared` twice on different shapes and returns a (tensor, state) pair."""

    def __init__(self):
        super().__init__()
        self.shared = nn.ReLU()
        self.unused = nn.Tanh()

    def forward(self, x):
        self.shared(x)
        return self.shared(x[:, :2]), x.sum()


def test_shapes_without_batch_last_call_wins_and_tuple_first_element():
    model = TwiceAndTuple()
    exporter = VANTLEExporter()
    exporter._capture_shapes(model, torch.randn(3, 5))
    assert exporter._input_shapes == {model: (5,), model.shared: (2,)}
    assert exporter._output_shapes == {model: (2,), model.shared: (2,)}
    assert all(type(s) is tuple and all(type(d) is int for d in s)
               for s in exporter._input_shapes.values())


class DictAndList(nn.Module):
    """Submodules that return a dict and take/return lists: no single shape to record."""

    class ToDict(nn.Module):
        def forward(self, x):
            return {"features": x, "rectified": torch.relu(x)}

    class Pair(nn.Module):
        def forward(self, xs):
            return [xs[0], torch.sigmoid(xs[1])]

    def __init__(self):
        super().__init__()
        self.to_dict = self.ToDict()
        self.pair = self.Pair()
        self.fc = nn.Linear(4, 3)

    def forward(self, x):
        out = self.to_dict(x)
        a, b = self.pair([out["features"], out["rectified"]])
        return {"logits": self.fc(a + b)}


def test_dict_and_list_values_record_no_shape_and_export_succeeds(sample4):
    model = DictAndList()
    exporter = VANTLEExporter()
    exporter._capture_shapes(model, sample4)
    assert model.to_dict not in exporter._output_shapes and model not in exporter._output_shapes
    assert model.pair not in exporter._input_shapes and model.pair not in exporter._output_shapes
    assert exporter._input_shapes[model.fc] == (4,) and exporter._output_shapes[model.fc] == (3,)

    # The data flows through the dict and the lists all the same.
    graph = export_ir(model, sample4)
    # The returned dict's key names the Output node.
    assert list(graph.nodes) == ["input", "relu", "sigmoid", "add", "fc", "output_logits"]
    assert sorted(graph.edges) == sorted([("input", "relu"), ("relu", "sigmoid"), ("input", "add"),
                                          ("sigmoid", "add"), ("add", "fc"),
                                          ("fc", "output_logits")])
    assert graph.nodes["output_logits"].output_type["output"].tolist() == [3]


def test_empty_sample_is_refused_before_any_hook(sample4):
    model = nn.Sequential(nn.Linear(3, 2))
    with pytest.raises(ValueError, match="^Sample tensor cannot be empty$"):
        VANTLEExporter()._capture_shapes(model, torch.randn(0, 3))
    assert hooks_left(model) == 0


class Failing(nn.Module):
    def __init__(self, error):
        super().__init__()
        self.inner = nn.Linear(4, 4)
        self.error = error

    def forward(self, x):
        self.inner(x)
        raise self.error


@pytest.mark.parametrize(
    "error, expected",
    [
        (RuntimeError("shape mismatch"), "Failed to capture shapes during forward pass: shape mismatch. "
                                         "Ensure the model can process the sample tensor."),
        (NotImplementedError("no kernel"), "Failed to capture shapes during forward pass: no kernel. "
                                           "Ensure the model can process the sample tensor."),
        (KeyError("k"), "Unexpected error during shape capture: 'k'"),
        (ValueError("bad"), "Unexpected error during shape capture: bad"),
    ],
)
def test_forward_failures_are_wrapped_chained_and_clean_up(error, expected, sample4):
    model = Failing(error)
    model.train()
    with pytest.raises(RuntimeError) as caught:
        export_ir(model, sample4)
    assert str(caught.value) == expected and type(caught.value) is RuntimeError
    assert caught.value.__cause__ is error and caught.value.__suppress_context__
    assert hooks_left(model) == 0
    assert model.training and model.inner.training


def test_base_exceptions_pass_unchanged_and_hooks_are_removed(sample4):
    model = Failing(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        VANTLEExporter()._capture_shapes(model, sample4)
    assert hooks_left(model) == 0


def test_hooks_are_removed_after_success_and_user_hooks_stay(sample4):
    model = nn.Sequential(nn.Linear(4, 4), nn.ReLU())
    seen = []
    model[1].register_forward_hook(lambda m, i, o: seen.append(o.shape))
    export_ir(model, sample4)
    assert [len(m._forward_hooks) for m in model.modules()] == [0, 0, 1]
    assert seen == [torch.Size([2, 4])]


class Probe(nn.Module):
    """Records the training flag it sees when it runs."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def forward(self, x):
        self.seen.append(self.training)
        return x


def test_trace_runs_in_eval_mode_and_every_flag_and_statistic_is_restored():
    model = nn.Sequential(nn.Linear(4, 4), nn.BatchNorm1d(4), Probe(), nn.Dropout(0.5))
    model.train()
    model[3].eval()  # a module with its own flag keeps it
    state = copy.deepcopy(model.state_dict())
    graph = export_ir(model, torch.randn(8, 4) * 5 + 3)

    assert model[2].seen == [False]
    assert [m.training for m in model.modules()] == [True, True, True, True, False]
    for key, value in model.state_dict().items():
        assert torch.equal(value, state[key]), key
    exported = graph.nodes["1"]
    assert exported.running_mean.tolist() == [0.0] * 4 and exported.running_var.tolist() == [1.0] * 4


class Stateful(nn.Module):
    """Replaces its buffer on every call, as spiking layers do with their membrane."""

    def __init__(self):
        super().__init__()
        self.register_buffer("mem", torch.zeros(0))

    def forward(self, x):
        self.mem = self.mem + x if self.mem.shape == x.shape else x.clone()
        return self.mem


def test_buffers_replaced_during_the_trace_are_put_back(sample4):
    model = nn.Sequential(nn.Linear(4, 4), Stateful())
    before = model[1].mem
    export_ir(model, sample4)
    assert model[1].mem is before


def test_exporter_reuse_does_not_leak_shapes(sample4):
    exporter = VANTLEExporter()
    first = nn.Sequential(nn.Linear(4, 3))
    exporter.export(first, sample4)
    second = nn.Sequential(nn.Linear(5, 2))
    graph = exporter.export(second, torch.randn(1, 5))
    assert first not in exporter._input_shapes and first[0] not in exporter._output_shapes
    assert graph.nodes["0"].input_type["input"].tolist() == [5]


class Logged(nn.Linear):
    """A module with its own __setattr__: flag writes must go through it."""

    def __init__(self):
        super().__init__(4, 4)
        self.writes = []

    def __setattr__(self, name, value):
        if name == "training" and "writes" in self.__dict__:
            self.writes.append(value)
        super().__setattr__(name, value)


def test_a_custom_setattr_sees_the_flag_changes(sample4):
    model = Logged()
    model.train()
    model.writes.clear()
    export_ir(model, sample4)
    assert model.writes == [False, True] and model.training


class CountsHooks(nn.Module):
    """Records how many forward hooks it carries while it runs."""

    def __init__(self):
        super().__init__()
        self.seen = []

    def forward(self, x):
        self.seen.append(len(self._forward_hooks))
        return x


class RegistersElsewhere(nn.Module):
    """Its own register_forward_hook, which the trace must go through."""

    def __init__(self):
        super().__init__()
        self.inner = nn.ReLU()
        self.calls = 0

    def register_forward_hook(self, hook, **kwargs):
        self.calls += 1
        return self.inner.register_forward_hook(hook, **kwargs)

    def forward(self, x):
        return self.inner(x)


def test_every_module_carries_the_hook_while_the_trace_runs(sample4):
    probe = CountsHooks()
    model = nn.Sequential(probe, nn.ReLU())
    probe.register_forward_hook(lambda m, i, o: None)
    export_ir(model, sample4)
    assert probe.seen == [2]  # the caller's hook and the exporter's
    assert [len(m._forward_hooks) for m in model.modules()] == [0, 1, 0]


def test_the_trace_hook_runs_after_the_modules_own_hooks(sample4):
    model = nn.Sequential(nn.Linear(4, 4), nn.ReLU())
    model[0].register_forward_hook(lambda m, i, o: o[:, :3])  # replaces the output
    exporter = VANTLEExporter()
    exporter._capture_shapes(model, sample4)
    assert exporter._output_shapes[model[0]] == (3,)
    assert exporter._input_shapes[model[1]] == (3,)


def test_an_overridden_register_forward_hook_is_called_and_its_handle_removed(sample4):
    module = RegistersElsewhere()
    model = nn.Sequential(module)
    exporter = VANTLEExporter()
    exporter._capture_shapes(model, sample4)
    assert module.calls == 1
    # The override put a second hook on the inner layer; every hook is gone afterwards.
    assert exporter._output_shapes[module.inner] == (4,)
    assert hooks_left(model) == 0


class TwoLayers(nn.Module):
    def __init__(self) -> None:
        super().__init__()
        self.fc = nn.Linear(4, 4)
        self.act = nn.ReLU()

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.act(self.fc(x))


def test_hook_ids_come_from_torchs_shared_counter(sample4):
    from torch.utils.hooks import RemovableHandle

    model = TwoLayers()
    before = model.act.register_forward_hook(lambda m, i, o: None)
    start = RemovableHandle.next_id
    export_ir(model, sample4)
    assert RemovableHandle.next_id == start + 6  # a pre-hook and a hook per module
    after = model.act.register_forward_hook(lambda m, i, o: None)
    assert list(model.act._forward_hooks) == [before.id, after.id]
    before.remove()
    assert list(model.act._forward_hooks) == [after.id]


def test_a_replaced_registration_or_removal_sees_every_hook(monkeypatch, sample4):
    from torch.utils.hooks import RemovableHandle

    registered, removed = [], []
    register, remove = nn.Module.register_forward_hook, RemovableHandle.remove

    def spy_register(self, hook, **kwargs):
        registered.append(self)
        return register(self, hook, **kwargs)

    def spy_remove(self):
        removed.append(self.id)
        remove(self)

    monkeypatch.setattr(nn.Module, "register_forward_hook", spy_register)
    monkeypatch.setattr(RemovableHandle, "remove", spy_remove)
    model = TwoLayers()
    export_ir(model, sample4)
    assert registered == list(model.modules())
    assert len(removed) == 6 and hooks_left(model) == 0


def test_a_plain_sequential_is_traced_without_hooks_into_the_same_graph(monkeypatch, sample4):
    """The layers of a plain Sequential are called in turn by the trace itself; whatever
    makes its call do more (hooks on it, a pre-hook of a layer, a global hook) takes the
    hooked path, and both give the same graph."""
    from torch.utils.hooks import RemovableHandle

    def build() -> nn.Sequential:
        torch.manual_seed(0)
        shared = nn.ReLU()
        return nn.Sequential(nn.Linear(4, 6), shared, nn.Dropout(), nn.Linear(6, 3), shared)

    start = RemovableHandle.next_id
    plain = export_ir(build(), sample4)
    assert RemovableHandle.next_id == start
    assert list(plain.nodes) == ["input", "0", "1", "2", "3", "1_1", "output"]

    hooked = build()
    hooked.register_forward_hook(lambda m, i, o: None)
    assert export_ir(hooked, sample4) == plain
    prehooked = build()
    prehooked[0].register_forward_pre_hook(lambda m, i: None)
    assert export_ir(prehooked, sample4) == plain
    handle = nn.modules.module.register_module_forward_hook(lambda m, i, o: None)
    try:
        assert export_ir(build(), sample4) == plain
    finally:
        handle.remove()
    assert RemovableHandle.next_id > start


def test_threads_exporting_one_model_take_turns_and_leave_it_as_it_was():
    torch.manual_seed(0)
    model = nn.Sequential(nn.Conv2d(3, 8, 3), nn.BatchNorm2d(8), nn.ReLU(), nn.Flatten(),
                          nn.Linear(8 * 6 * 6, 4)).train()
    x = torch.randn(2, 3, 8, 8)
    expected = export_ir(model, x)
    statistics = model[1].running_mean.clone()
    graphs, errors = [], []

    def export_many():
        try:
            graphs.extend(export_ir(model, x) for _ in range(25))
        except Exception as error:  # reported below, with the thread's message
            errors.append(error)

    threads = [threading.Thread(target=export_many) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == [] and len(graphs) == 100
    assert all(graph == expected for graph in graphs)
    assert model.training and torch.equal(model[1].running_mean, statistics)
