"""SpikingJelly networks as its users write them: stepped one call per time step (single-step
mode) or given a whole time-major sequence (multi-step mode). Each exports into a graph that,
stepped the same way from rest, gives the same spikes, or export names what it could not carry."""

from __future__ import annotations

from typing import Callable, Dict, List, NamedTuple, Optional, Sequence

import pytest
import torch
from torch import nn

from export_helpers import (STEPS, assert_check_fails, assert_export_warns, assert_same_outputs,
                            export_without_warnings, output_nodes,
                            run_graph, settle_batch_norms, tensor_leaves)
from vantle.bridge.export_ir import check_export

sj = pytest.importorskip("spikingjelly.activation_based")
from spikingjelly.activation_based import functional, layer, neuron  # noqa: E402


def with_gain(net: nn.Module, gain: float) -> nn.Module:
    """Scales the weights so that the deeper layers' neurons fire too: with the default
    initialisation the last layer of these small nets stays silent."""
    with torch.no_grad():
        for module in net.modules():
            if isinstance(module, (nn.Linear, nn.Conv2d)):
                module.weight.mul_(gain)
    return net


def dense_net(make_neuron: Callable[[], nn.Module], first: Optional[nn.Module] = None) -> nn.Module:
    return with_gain(nn.Sequential(layer.Linear(20, 30), first or make_neuron(),
                                   layer.Linear(30, 5), make_neuron()), 4.0)


def conv_net() -> nn.Module:
    return with_gain(nn.Sequential(
        layer.Conv2d(1, 4, 3), layer.BatchNorm2d(4), neuron.LIFNode(), layer.Flatten(),
        layer.Linear(4 * 6 * 6, 3), neuron.LIFNode(),
    ), 6.0)


def multi_step_net() -> nn.Module:
    net = with_gain(nn.Sequential(
        layer.SeqToANNContainer(nn.Conv2d(1, 4, 3), nn.BatchNorm2d(4)), neuron.LIFNode(),
        layer.Flatten(), layer.Linear(4 * 6 * 6, 3), neuron.LIFNode(),
    ), 6.0)
    functional.set_step_mode(net, "m")
    return net


def dense_steps() -> List[torch.Tensor]:
    return [torch.rand(3, 20) * 2 for _ in range(STEPS)]


def image_steps() -> List[torch.Tensor]:
    return [torch.rand(2, 1, 8, 8) * 2 for _ in range(STEPS)]


def time_major_sequence() -> List[torch.Tensor]:
    return [torch.rand(STEPS, 2, 1, 8, 8) * 2]  # one sample: the whole [T, B, ...] sequence


class Case(NamedTuple):
    build: Callable[[], nn.Module]
    samples: Callable[[], Sequence[torch.Tensor]]  # one per call: a time step, or a sequence
    warning: Optional[str] = None  # None: the graph gives the model's spikes exactly


CASES: Dict[str, Case] = {
    "lif": Case(lambda: dense_net(neuron.LIFNode, first=neuron.LIFNode(tau=2.0)), dense_steps),
    "lif_decay_input_false": Case(
        lambda: dense_net(lambda: neuron.LIFNode(tau=2.0, decay_input=False)), dense_steps),
    "if": Case(lambda: dense_net(neuron.IFNode), dense_steps),
    "parametric_lif": Case(lambda: dense_net(neuron.ParametricLIFNode), dense_steps),
    "conv_bn_lif": Case(conv_net, image_steps),
    "soft_reset": Case(lambda: dense_net(lambda: neuron.LIFNode(v_reset=None)), dense_steps,
                       warning=r"v_reset"),
    # Traced one time step at a time: the graph is one step of the sequence's network.
    "multi_step_seq_to_ann": Case(multi_step_net, time_major_sequence),
}


def is_multi_step(model: nn.Module) -> bool:
    return any(getattr(module, "step_mode", "s") == "m" for module in model.modules())


def assert_same_spikes(model: nn.Module, graph, samples: Sequence[torch.Tensor]) -> None:
    """From rest, the graph stepped one call per time step gives the model's spikes, and
    check_export agrees node by node."""
    assert len(output_nodes(graph)) == 1
    multi = is_multi_step(model)
    per_step = samples[0].shape[2:] if multi else samples[0].shape[1:]
    assert graph.nodes["input"].input_type["input"].tolist() == list(per_step)
    functional.reset_net(model)
    with torch.no_grad():
        if multi:
            expected = [tensor_leaves(out) for out in model(samples[0])]
            calls = [(x_t,) for x_t in samples[0]]
        else:
            expected = [tensor_leaves(model(x_t)) for x_t in samples]
            calls = [(x_t,) for x_t in samples]
    assert_same_outputs(expected, run_graph(graph, calls))
    functional.reset_net(model)
    report = check_export(model, graph, *samples)
    assert report.ok, str(report)


@pytest.mark.parametrize("name", list(CASES))
def test_spikingjelly_net_gives_the_same_spikes_or_says_why_not(name):
    torch.manual_seed(sum(map(ord, name)))
    case = CASES[name]
    model = settle_batch_norms(case.build()).eval()
    samples = case.samples()
    functional.reset_net(model)
    if case.warning is None:
        assert_same_spikes(model, export_without_warnings(model, samples[0]), samples)
    else:
        assert_check_fails(model, assert_export_warns(model, samples[0], case.warning), samples)


def test_export_and_check_start_from_rest_and_leave_the_membranes_as_they_were():
    torch.manual_seed(5)
    model = dense_net(neuron.LIFNode).eval()
    with torch.no_grad():
        for _ in range(3):
            model(torch.rand(16, 20) * 2)  # membranes of another batch size than the sample
    kept = [module.v.clone() for module in model.modules() if isinstance(module, neuron.LIFNode)]
    samples = dense_steps()
    graph = export_without_warnings(model, samples[0])
    assert check_export(model, graph, *samples).ok
    now = [module.v for module in model.modules() if isinstance(module, neuron.LIFNode)]
    assert all(torch.equal(a, b) for a, b in zip(kept, now))


class RateDecoded(nn.Module):
    """A multi-step network whose forward averages the spikes over time itself."""

    def __init__(self):
        super().__init__()
        self.net = multi_step_net()

    def forward(self, x_seq):
        return self.net(x_seq).mean(0)


def test_time_major_code_of_the_model_is_named_and_fails_the_check():
    torch.manual_seed(6)
    model = settle_batch_norms(RateDecoded()).eval()
    sequence = time_major_sequence()[0]
    graph = assert_export_warns(model, sequence, r"operation 'mean'")
    report = check_export(model, graph, sequence)
    assert not report.ok and "over a whole sequence" in report.model_error
    assert all(getattr(m, "step_mode", "m") == "m" for m in model.modules()
               if isinstance(m, neuron.LIFNode))  # switched back after both passes
