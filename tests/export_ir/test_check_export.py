"""check_export: the report names where model and graph part, and leaves the model as it was."""

from __future__ import annotations

import warnings

import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge.export_ir import check_export, export_ir

snn = pytest.importorskip("snntorch")


def lenient_export(model, sample):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return export_ir(model, sample)


def test_the_first_node_that_disagrees_is_named_with_what_export_reported(tmp_path):
    torch.manual_seed(0)
    model = nn.Sequential(nn.Linear(4, 6), nn.Softplus(), nn.Linear(6, 2)).eval()
    x = torch.randn(3, 4)
    ir.write(tmp_path / "model.vx2", lenient_export(model, x))
    report = check_export(model, tmp_path / "model.vx2", x)  # a path works as well as a graph
    rows = {node.name: node for node in report.nodes}
    assert (rows["0"].mismatched, rows["0"].steps) == (0, 1)
    expected = (model[2](model[0](x)) - model(x)).abs().max().item()
    assert rows["2"].max_abs_diff == pytest.approx(expected, rel=1e-5)
    assert not report.ok and report.first_mismatch is rows["2"]
    assert any("'1' (Softplus)" in finding for finding in report.findings)
    assert "first mismatch: '2'" in str(report)


def test_spiking_layers_start_from_rest_and_keep_their_state_afterwards():
    torch.manual_seed(1)
    subtract = snn.Leaky(beta=0.9, init_hidden=True, reset_mechanism="subtract", threshold=0.5)
    model = nn.Sequential(nn.Linear(5, 8), subtract, nn.Linear(8, 2))
    steps = [torch.rand(2, 5) * 2 for _ in range(20)]
    for x in steps[:3]:
        model(x)  # a membrane left over from earlier use
    membrane, training = subtract.mem.clone(), model.training
    report = check_export(model, lenient_export(model, steps[0]), *steps)
    assert torch.equal(subtract.mem, membrane) and model.training == training
    lif = next(node for node in report.nodes if node.kind == "LIF")
    assert report.first_mismatch is lif and lif.steps == 20 and 0 < lif.mismatched < 20 * 2 * 8
    # With a zero reset the same network agrees at every step, from rest.
    model[1] = snn.Leaky(beta=0.9, init_hidden=True, reset_mechanism="zero", threshold=0.5)
    for x in steps[:3]:
        model(x)
    assert check_export(model, export_ir(model, steps[0]), *steps).ok


@pytest.mark.parametrize(
    "samples, kwargs, error, match",
    [((), {}, TypeError, "at least one sample"),
     ((torch.randn(2, 4),), {"atol": -1.0}, ValueError, "atol"),
     (("not a tensor",), {}, TypeError, "sample"),
     # time steps in a list: the model got them as arguments of one call
     (([torch.randn(2, 4)] * 3,), {}, TypeError, r"unpack them: check_export\(model, graph, \*steps\)")],
)
def test_bad_arguments_are_refused(samples, kwargs, error, match):
    model = nn.Linear(4, 2)
    with pytest.raises(error, match=match):
        check_export(model, export_ir(model, torch.randn(1, 4)), *samples, **kwargs)


class Last(nn.Module):
    """A linear layer, then something that decides the output."""

    def __init__(self, tail):
        super().__init__()
        self.fc, self.tail = nn.Linear(4, 4), tail

    def forward(self, x):
        return self.tail(self.fc(x))


class ConstantOut(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(4, 3)

    def forward(self, x):
        self.fc(x)
        return {"bias": self.fc.bias * 2}


@pytest.mark.parametrize("model", [
    Last(nn.Softplus()),                               # skipped last: the output resolves to fc
    Last(lambda y: {"out": [torch.exp(y)]}),           # skipped inside a nested output
    ConstantOut(),                                     # no node reaches an output: no Output node
], ids=["skipped_last", "nested_skip", "constant_output"])
def test_a_graph_that_computes_something_else_is_never_ok(model):
    torch.manual_seed(3)
    x = torch.randn(2, 4)
    with pytest.warns(UserWarning):
        graph = export_ir(model, x)
    report = check_export(model, graph, x)  # once read past the graph's names and crashed
    assert not report.ok and report.findings


class StaticLoop(nn.Module):
    """The snnTorch tutorial's shape: one static input, a loop over 15 steps in the forward."""

    def __init__(self, reset):
        super().__init__()
        self.fc1, self.fc2 = nn.Linear(20, 30), nn.Linear(30, 5)
        self.lif1 = snn.Leaky(beta=0.9, reset_mechanism=reset)
        self.lif2 = snn.Leaky(beta=0.9, reset_mechanism=reset)

    def forward(self, x):
        mem1, mem2 = self.lif1.init_leaky(), self.lif2.init_leaky()
        spikes = []
        for _ in range(15):
            spk1, mem1 = self.lif1(self.fc1(x), mem1)
            spk2, mem2 = self.lif2(self.fc2(spk1), mem2)
            spikes.append(spk2)
        return torch.stack(spikes)


@pytest.mark.parametrize("reset, ok", [("subtract", False), ("zero", True)])
def test_a_loop_over_a_static_input_is_compared_at_every_step(reset, ok):
    torch.manual_seed(2)
    model, x = StaticLoop(reset), torch.rand(32, 20) * 2
    report = check_export(model, lenient_export(model, x), x)
    assert report.ok is ok, str(report)
    assert {node.steps for node in report.nodes} == {15}  # once graph step counted only the first


def test_steps_the_graph_did_not_run_fail_the_check():
    from vantle.bridge.export_check import ExportCheck, _node_check

    node = _node_check("output", ir.Output(), [torch.ones(2)] * 3, [torch.ones(2)], 1e-5)
    assert (node.steps, node.mismatched, node.uncompared) == (1, 0, 2)
    assert "model ran it 3 times, graph 1" in node.note
    report = ExportCheck((node,), 1e-5, ())
    assert not report.ok and report.first_mismatch is node  # agreeing on one step of three


class TimeLoop(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc, self.lif = nn.Linear(20, 5), snn.Leaky(beta=0.9, reset_mechanism="zero")

    def forward(self, x):
        mem, spikes = self.lif.reset_mem(), []
        for t in range(x.shape[0]):
            spk, mem = self.lif(self.fc(x[t]), mem)
            spikes.append(spk)
        return torch.stack(spikes)


def test_samples_in_the_other_calling_convention_get_one_line_naming_the_right_one():
    sequence = torch.rand(10, 4, 20)
    looping = TimeLoop()
    graph = export_ir(looping, sequence)
    with pytest.raises(TypeError, match=r"steps through time itself.*check_export\(model, graph, "
                                        r"sequence\)"):
        check_export(looping, graph, *sequence)
    stepping = nn.Sequential(nn.Linear(20, 5),
                             snn.Leaky(beta=0.9, init_hidden=True, reset_mechanism="zero"))
    graph = export_ir(stepping, sequence[0])
    with pytest.raises(TypeError, match=r"a whole sequence.*check_export\(model, graph, "
                                        r"\*sequence\)"):
        check_export(stepping, graph, sequence)
    assert check_export(stepping, graph, *sequence).ok
