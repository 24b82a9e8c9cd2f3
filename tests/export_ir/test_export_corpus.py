"""Models as users write them: each exports into a graph that computes what the model computes,
or export says which module it could not carry (a warning; an error with strict=True)."""

from __future__ import annotations

import re
import warnings
from typing import Callable, List, NamedTuple, Optional, Sequence

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from export_helpers import STEPS, assert_check_fails, assert_export_warns, one
from vantle.bridge import GraphExecutor
from vantle.bridge.export_ir import check_export, export_ir
from vantle.bridge.import_ir import import_ir

snn = pytest.importorskip("snntorch")


class Residual(nn.Module):
    def __init__(self):
        super().__init__()
        self.a, self.b, self.head = nn.Linear(8, 8), nn.Linear(8, 8), nn.Linear(8, 3)

    def forward(self, x):
        return self.head(x + self.b(F.relu(self.a(x))))


class Branches(nn.Module):
    def __init__(self):
        super().__init__()
        self.left, self.right = nn.Linear(8, 5), nn.Linear(8, 3)
        self.head = nn.Linear(8, 2)

    def forward(self, x):
        return self.head(torch.cat([self.left(x), torch.tanh(self.right(x))], dim=1))


class SplitChannels(nn.Module):
    def __init__(self):
        super().__init__()
        self.stem = nn.Conv2d(3, 8, 3, padding=1)
        self.low, self.high = nn.Conv2d(4, 4, 1), nn.Conv2d(4, 2, 3, padding=1)

    def forward(self, x):
        low, high = self.stem(x).chunk(2, dim=1)
        return torch.cat([self.low(low), self.high(high)], dim=1)


class CalledOutOfOrder(nn.Module):
    def __init__(self):
        super().__init__()
        self.last = nn.Linear(6, 2)  # registered first, called last
        self.first = nn.Linear(4, 6)

    def forward(self, x):
        return self.last(torch.sigmoid(self.first(x)))


class Functional(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(1, 4, 3, padding=1)
        self.fc = nn.Linear(4 * 2 * 2, 5)

    def forward(self, x):
        x = F.avg_pool2d(F.max_pool2d(F.relu(self.conv(x)), 2), 2)
        return F.softmax(self.fc(x.view(x.size(0), -1)), dim=1)


class Twice(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(6, 6)

    def forward(self, x):
        return self.fc(F.gelu(self.fc(x)))


class AlsoCalledDirectly(nn.Module):
    """A layer of a Sequential that the forward also calls itself."""

    def __init__(self):
        super().__init__()
        self.body = nn.Sequential(nn.Linear(4, 4), nn.LeakyReLU(0.1))

    def forward(self, x):
        return self.body[1](self.body(x))


class TwoArguments(nn.Module):
    def __init__(self):
        super().__init__()
        self.a, self.b = nn.Linear(4, 3), nn.Linear(2, 3)

    def forward(self, x, y):
        return self.a(x) + self.b(y)


class TutorialLoop(nn.Module):
    """The snnTorch tutorial's network: the forward steps through time itself."""

    def __init__(self, **leaky):
        super().__init__()
        self.fc1, self.fc2 = nn.Linear(20, 30), nn.Linear(30, 5)
        self.lif1 = snn.Leaky(**{"beta": 0.9, "reset_mechanism": "zero", **leaky})
        self.lif2 = snn.Leaky(beta=0.8, reset_mechanism="zero")

    def forward(self, x):
        mem1, mem2 = self.lif1.reset_mem(), self.lif2.reset_mem()
        recorded = []
        for step in range(x.shape[0]):
            spk1, mem1 = self.lif1(self.fc1(x[step]), mem1)
            spk2, mem2 = self.lif2(self.fc2(spk1), mem2)
            recorded.append(spk2)
        return torch.stack(recorded)


def hidden_conv_net(**leaky):
    """An init_hidden Sequential convolutional net: one call per time step."""
    settings = {"beta": 0.9, "init_hidden": True, "reset_mechanism": "zero", **leaky}
    return nn.Sequential(
        nn.Conv2d(1, 4, 3), snn.Leaky(**settings), nn.Flatten(), nn.Linear(4 * 6 * 6, 3),
        snn.Leaky(beta=0.7, init_hidden=True, reset_mechanism="zero", output=True),
    )


def learned_neurons():
    per_neuron = snn.Leaky(beta=torch.rand(30) * 0.5 + 0.5, threshold=torch.rand(30) * 0.5 + 0.25,
                           learn_beta=True, learn_threshold=True, reset_mechanism="zero")
    model = TutorialLoop()
    model.lif1 = per_neuron
    return model


class OtherNeuron(nn.Module):
    def __init__(self, neuron):
        super().__init__()
        self.fc, self.neuron = nn.Linear(20, 10), neuron

    def forward(self, x):
        out = self.neuron(self.fc(x))
        return out[0] if isinstance(out, tuple) else out


class Multiply(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(4, 4)

    def forward(self, x):
        return self.fc(x) * torch.sigmoid(x)


def sequence(batch=3, features=20):
    return torch.rand(STEPS, batch, features) * 2


def hidden_steps():
    return [torch.rand(2, 1, 8, 8) * 3 for _ in range(STEPS)]


class Case(NamedTuple):
    build: Callable[[], nn.Module]
    samples: Callable[[], Sequence]
    warning: Optional[str] = None  # None: the graph must compute what the model computes
    nodes: Optional[List[str]] = None  # the graph's nodes, where the names matter
    left_out: Optional[str] = None  # an output the graph leaves out, and says so


CASES = {
    "residual": Case(Residual, one(4, 8),
                     nodes=["input", "a", "relu", "b", "add", "head", "output"]),
    "concat": Case(Branches, one(4, 8)),
    "split": Case(SplitChannels, one(2, 3, 6, 6)),
    "call_order": Case(CalledOutOfOrder, one(4, 4),
                       nodes=["input", "first", "sigmoid", "last", "output"]),
    "functional": Case(Functional, one(2, 1, 8, 8)),
    "applied_twice": Case(Twice, one(3, 6), nodes=["input", "fc", "gelu", "fc_1", "output"]),
    "sequential_layer_called_again": Case(AlsoCalledDirectly, one(3, 4)),
    "tuple_sample": Case(TwoArguments, lambda: [(torch.randn(2, 4), torch.randn(2, 2))],
                         nodes=["input", "input_1", "a", "b", "add", "output"]),
    "bn_chain": Case(lambda: nn.Sequential(nn.Conv2d(3, 4, 3), nn.BatchNorm2d(4), nn.ReLU(),
                                           nn.Flatten(), nn.Linear(64, 2)), one(2, 3, 6, 6),
                     nodes=["input", "0", "1", "2", "3", "4", "output"]),
    "snntorch_loop": Case(TutorialLoop, lambda: [sequence()],
                          nodes=["input", "fc1", "lif1", "fc2", "lif2", "output"]),
    "init_hidden_conv": Case(hidden_conv_net, hidden_steps,
                             left_out=r"output \[1\] is the kept state of module '4' \(Leaky\)"),
    "learned_beta_threshold": Case(learned_neurons, lambda: [sequence()]),
    "beta_one": Case(lambda: TutorialLoop(beta=1.0, threshold=4.0), lambda: [sequence()]),
    "reset_subtract": Case(lambda: TutorialLoop(reset_mechanism="subtract"), lambda: [sequence()],
                           warning=r"'lif1': reset_mechanism='subtract'"),
    "reset_none": Case(lambda: hidden_conv_net(reset_mechanism="none"), hidden_steps,
                       warning=r"'1': reset_mechanism='none'"),
    "graded_spikes": Case(lambda: TutorialLoop(graded_spikes_factor=2.0), lambda: [sequence()],
                          warning=r"'lif1': graded_spikes_factor"),
    "inhibition": Case(lambda: TutorialLoop(inhibition=True), lambda: [sequence()],
                       warning=r"'lif1': inhibition"),
    "delta_leaky": Case(lambda: OtherNeuron(snn.DeltaLeaky(beta=0.9, init_hidden=True,
                                                           reset_mechanism="zero")),
                        # Steps: from rest, one step of DeltaLeaky equals Leaky's.
                        lambda: [torch.rand(2, 20) * 2 for _ in range(STEPS)],
                        warning=r"'neuron' is a subclass of Leaky"),
    "synaptic": Case(lambda: OtherNeuron(snn.Synaptic(alpha=0.8, beta=0.9, init_hidden=True)),
                     lambda: [torch.rand(2, 20)], warning=r"module 'neuron' \(Synaptic\)"),
    "rleaky": Case(lambda: OtherNeuron(snn.RLeaky(beta=0.9, linear_features=10, init_hidden=True)),
                   lambda: [torch.rand(2, 20)], warning=r"module 'neuron' \(RLeaky\)"),
    "softplus": Case(lambda: nn.Sequential(nn.Linear(4, 4), nn.Softplus(), nn.Linear(4, 2)),
                     one(2, 4), warning=r"module '1' \(Softplus\) has no IR form"),
    "functional_without_form": Case(Multiply, one(2, 4), warning=r"operation 'mul'"),
}


def graph_outputs(model: nn.Module, graph, samples: Sequence) -> tuple:
    """The model's outputs and the imported graph's, over every sample (and time step)."""
    executor = GraphExecutor(import_ir(graph), graph.edges).eval()
    expected, actual = [], []
    with torch.no_grad():
        for module in model.modules():
            if hasattr(module, "reset_mem"):
                module.reset_mem()
        for sample in samples:
            args = sample if isinstance(sample, tuple) else (sample,)
            out = model(*args)
            expected.append(out[0] if isinstance(out, tuple) else out)
            if isinstance(model, TutorialLoop):  # one graph step per time step
                actual.append(torch.stack([executor(x_t) for x_t in args[0]]))
            else:
                actual.append(executor(*args))
    return torch.stack(expected), torch.stack(actual)


@pytest.mark.filterwarnings("ignore:Inhibition is an unstable feature")
@pytest.mark.parametrize("name", list(CASES))
def test_export_computes_what_the_model_computes_or_says_why_not(name):
    torch.manual_seed(sum(map(ord, name)))
    case = CASES[name]
    model = case.build().eval()
    samples = case.samples()
    if case.warning is not None:
        graph = assert_export_warns(model, samples[0], case.warning)
        assert not any("recurrent" in node for node in graph.nodes)  # never a feed-forward layer
        assert_check_fails(model, graph, samples)
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        graph = export_ir(model, samples[0])
    assert [str(w.message) for w in caught if not (
        case.left_out and re.search(case.left_out, str(w.message)))] == []
    if case.left_out:
        assert caught, "the left-out output is reported"
    if case.nodes is not None:
        assert list(graph.nodes) == case.nodes
    first = samples[0][0] if isinstance(samples[0], tuple) else samples[0]
    per_step = first.shape[2:] if isinstance(model, TutorialLoop) else first.shape[1:]
    assert graph.nodes["input"].input_type["input"].tolist() == list(per_step)
    expected, actual = graph_outputs(model, graph, samples)
    if expected.dtype == torch.float32 and ((expected == 0) | (expected == 1)).all():
        assert 0 < int(expected.sum()) < expected.numel()  # spikes: some neurons fire, not all
        assert torch.equal(actual, expected)
    else:
        torch.testing.assert_close(actual, expected, rtol=0, atol=1e-5)
    report = check_export(model, graph, *samples)
    assert report.ok, str(report)
