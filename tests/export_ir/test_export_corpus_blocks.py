"""Classifier blocks and model shapes as real-world code writes them: each exports into a graph
that computes what the model computes, or export says which module or operation it could not
carry (a warning naming it; an error with strict=True). Where both are acceptable, the case
accepts exactly those two outcomes: a graph exported without a warning must be exact."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Dict, List, NamedTuple, Optional, Sequence

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from export_helpers import (assert_check_fails, assert_export_warns, assert_same_outputs,
                            export_without_warnings, one, output_nodes, run_graph,
                            settle_batch_norms, tensor_leaves)
from vantle.bridge.export_ir import check_export

# --- Structural cases --------------------------------------------------------------------------


class LinearWithAct(nn.Linear):
    """A layer subclass whose forward calls a child of its own after the base's."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.act = nn.Tanh()

    def forward(self, x):
        return self.act(super().forward(x))


class SubclassedLayer(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc, self.head = LinearWithAct(6, 5), nn.Linear(5, 2)

    def forward(self, x):
        return self.head(self.fc(x))


class DictOutput(nn.Module):
    def __init__(self):
        super().__init__()
        self.proj, self.act = nn.Linear(6, 4), nn.Sigmoid()

    def forward(self, x):
        return {"out": self.act(self.proj(x))}


class NestedOutput(nn.Module):
    """A dict whose values are a tensor and a list holding a tensor and a tuple of one."""

    def __init__(self):
        super().__init__()
        self.stem, self.head, self.side = nn.Linear(6, 8), nn.Linear(8, 3), nn.Linear(8, 2)

    def forward(self, x):
        h = F.relu(self.stem(x))
        return {"logits": self.head(h), "aux": [torch.tanh(h), (torch.sigmoid(self.side(h)),)]}


@dataclass
class Heads:
    logits: torch.Tensor
    embedding: torch.Tensor


class DataclassOutput(nn.Module):
    def __init__(self):
        super().__init__()
        self.embed, self.classify = nn.Linear(6, 4), nn.Linear(4, 3)

    def forward(self, x):
        embedding = torch.tanh(self.embed(x))
        return Heads(logits=self.classify(embedding), embedding=embedding)


class InPlace(nn.Module):
    def __init__(self):
        super().__init__()
        self.a, self.b, self.c = nn.Linear(6, 6), nn.Linear(6, 6), nn.Linear(6, 3)
        self.act = nn.ReLU(inplace=True)

    def forward(self, x):
        h = self.a(x)
        h += self.b(x)
        h = self.act(h)
        return self.c(h).relu_()


class Sums(nn.Module):
    def __init__(self, alpha: Optional[float] = None):
        super().__init__()
        self.alpha = alpha
        self.a, self.b, self.c, self.head = (nn.Linear(6, 4), nn.Linear(6, 4), nn.Linear(6, 4),
                                             nn.Linear(4, 2))

    def forward(self, x):
        a, b = self.a(x), self.b(x)
        s = torch.add(a, b) if self.alpha is None else torch.add(a, b, alpha=self.alpha)
        return self.head(s + self.c(x))


# --- Classifier blocks -------------------------------------------------------------------------


def conv_bn(c_in: int, c_out: int, kernel: int, stride: int = 1, groups: int = 1) -> nn.Sequential:
    return nn.Sequential(nn.Conv2d(c_in, c_out, kernel, stride, kernel // 2, groups=groups,
                                   bias=False), nn.BatchNorm2d(c_out))


class BasicBlock(nn.Module):
    """The residual block of the small ResNets: two 3x3 convolutions and an identity shortcut."""

    def __init__(self, channels: int = 8):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.relu = nn.ReLU(inplace=True)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x):
        identity = x
        out = self.relu(self.bn1(self.conv1(x)))
        out = self.bn2(self.conv2(out))
        out += identity
        return self.relu(out)


class Bottleneck(nn.Module):
    """1x1 reduce, strided 3x3, 1x1 expand; the shortcut a strided 1x1 convolution and BN."""

    def __init__(self, c_in: int = 8, mid: int = 4, c_out: int = 16, stride: int = 2):
        super().__init__()
        self.conv1, self.bn1 = nn.Conv2d(c_in, mid, 1, bias=False), nn.BatchNorm2d(mid)
        self.conv2 = nn.Conv2d(mid, mid, 3, stride, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(mid)
        self.conv3, self.bn3 = nn.Conv2d(mid, c_out, 1, bias=False), nn.BatchNorm2d(c_out)
        self.relu = nn.ReLU(inplace=True)
        self.downsample = nn.Sequential(nn.Conv2d(c_in, c_out, 1, stride, bias=False),
                                        nn.BatchNorm2d(c_out))

    def forward(self, x):
        identity = self.downsample(x)
        out = self.relu(self.bn1(self.conv1(x)))
        out = self.relu(self.bn2(self.conv2(out)))
        out = self.bn3(self.conv3(out))
        out += identity
        return self.relu(out)


class InvertedResidual(nn.Module):
    """Expand 1x1, depthwise 3x3 (groups = channels), project 1x1, with a residual add."""

    def __init__(self, channels: int = 8, expand: int = 3, act: Callable[[], nn.Module] = nn.ReLU6):
        super().__init__()
        hidden = channels * expand
        self.conv = nn.Sequential(
            nn.Conv2d(channels, hidden, 1, bias=False), nn.BatchNorm2d(hidden), act(),
            nn.Conv2d(hidden, hidden, 3, 1, 1, groups=hidden, bias=False), nn.BatchNorm2d(hidden),
            act(),
            nn.Conv2d(hidden, channels, 1, bias=False), nn.BatchNorm2d(channels),
        )

    def forward(self, x):
        return x + self.conv(x)


class SqueezeExcite(nn.Module):
    """Channel weights from the global average, multiplied into the feature map."""

    def __init__(self, channels: int = 8, reduced: int = 2):
        super().__init__()
        self.pool = nn.AdaptiveAvgPool2d(1)
        self.fc1, self.fc2 = nn.Conv2d(channels, reduced, 1), nn.Conv2d(reduced, channels, 1)

    def forward(self, x):
        scale = torch.sigmoid(self.fc2(F.relu(self.fc1(self.pool(x)))))
        return x * scale


class Fire(nn.Module):
    def __init__(self, c_in: int = 8, squeeze: int = 3, expand: int = 4):
        super().__init__()
        self.squeeze = nn.Conv2d(c_in, squeeze, 1)
        self.expand1x1 = nn.Conv2d(squeeze, expand, 1)
        self.expand3x3 = nn.Conv2d(squeeze, expand, 3, padding=1)
        self.act = nn.ReLU(inplace=True)

    def forward(self, x):
        x = self.act(self.squeeze(x))
        return torch.cat([self.act(self.expand1x1(x)), self.act(self.expand3x3(x))], 1)


class ChannelShuffle(nn.Module):
    """A grouped convolution whose groups' channels are interleaved before the next one."""

    def __init__(self, channels: int = 8, groups: int = 2):
        super().__init__()
        self.groups = groups
        self.conv1 = nn.Conv2d(channels, channels, 1, groups=groups)
        self.conv2 = nn.Conv2d(channels, channels, 1, groups=groups)

    def forward(self, x):
        x = self.conv1(x)
        b, c, h, w = x.size()
        x = x.view(b, self.groups, c // self.groups, h, w)
        x = torch.transpose(x, 1, 2).contiguous()
        x = x.view(b, -1, h, w)
        return self.conv2(x)


class DenseBlock(nn.Module):
    """Each layer (BN, ReLU, 3x3 conv) sees the concatenation of all features before it."""

    def __init__(self, c_in: int = 6, growth: int = 4, layers: int = 3):
        super().__init__()
        self.layers = nn.ModuleList(
            nn.Sequential(nn.BatchNorm2d(c_in + i * growth), nn.ReLU(inplace=True),
                          nn.Conv2d(c_in + i * growth, growth, 3, padding=1, bias=False))
            for i in range(layers))

    def forward(self, x):
        features = [x]
        for layer in self.layers:
            features.append(layer(torch.cat(features, 1)))
        return torch.cat(features, 1)


class Inception(nn.Module):
    def __init__(self, c_in: int = 6):
        super().__init__()
        self.branch1 = nn.Sequential(nn.Conv2d(c_in, 4, 1), nn.ReLU())
        self.branch3 = nn.Sequential(nn.Conv2d(c_in, 3, 1), nn.ReLU(),
                                     nn.Conv2d(3, 4, 3, padding=1), nn.ReLU())
        self.branch5 = nn.Sequential(nn.Conv2d(c_in, 2, 1), nn.ReLU(),
                                     nn.Conv2d(2, 3, 5, padding=2), nn.ReLU())
        self.pool = nn.Sequential(nn.MaxPool2d(3, 1, 1), nn.Conv2d(c_in, 3, 1), nn.ReLU())

    def forward(self, x):
        return torch.cat([self.branch1(x), self.branch3(x), self.branch5(x), self.pool(x)], 1)


class Stem(nn.Module):
    """A stem convolution in front of a block, so the block's input is a computed value."""

    def __init__(self, block: nn.Module, c_out: int = 8, c_in: int = 3):
        super().__init__()
        self.stem, self.block = nn.Conv2d(c_in, c_out, 3, padding=1), block

    def forward(self, x):
        return self.block(self.stem(x))


# --- Global pooling heads ----------------------------------------------------------------------


class PoolHead(nn.Module):
    """Convolution, a global (or adaptive) pooling written one of the usual ways, classifier."""

    def __init__(self, how: str, cells: int = 1):
        super().__init__()
        self.how = how
        self.conv = nn.Conv2d(3, 6, 3, padding=1)
        self.pool = {"module": nn.AdaptiveAvgPool2d(cells), "max": nn.AdaptiveMaxPool2d(cells)}.get(
            how, nn.Identity())
        self.fc = nn.Linear(6 * cells * cells, 3)

    def forward(self, x):
        x = F.relu(self.conv(x))
        if self.how in ("module", "max"):
            x = torch.flatten(self.pool(x), 1)
        elif self.how == "functional":
            x = F.adaptive_avg_pool2d(x, 1).flatten(1)
        elif self.how == "mean":
            x = x.mean((2, 3))
        elif self.how == "mean_negative":
            x = x.mean(dim=(-2, -1))
        return self.fc(x)


def vgg() -> nn.Module:
    features = nn.Sequential(
        nn.Conv2d(3, 6, 3, padding=1), nn.ReLU(inplace=True), nn.Conv2d(6, 6, 3, padding=1),
        nn.ReLU(inplace=True), nn.MaxPool2d(2),
        nn.Conv2d(6, 8, 3, padding=1), nn.ReLU(inplace=True), nn.MaxPool2d(2),
    )
    classifier = nn.Sequential(nn.Dropout(), nn.Linear(8 * 2 * 2, 16), nn.ReLU(True), nn.Dropout(),
                               nn.Linear(16, 4))
    return nn.Sequential(features, nn.AdaptiveAvgPool2d((2, 2)), nn.Flatten(), classifier)


# --- Layers without an IR form -----------------------------------------------------------------


class Attention(nn.Module):
    def __init__(self):
        super().__init__()
        self.attn, self.fc = nn.MultiheadAttention(8, 2, batch_first=True), nn.Linear(8, 2)

    def forward(self, x):
        return self.fc(self.attn(x, x, x, need_weights=False)[0])


class Recurrent(nn.Module):
    def __init__(self, kind: Callable[..., nn.Module]):
        super().__init__()
        self.rnn, self.fc = kind(6, 8, batch_first=True), nn.Linear(8, 2)

    def forward(self, x):
        out, _ = self.rnn(x)
        return self.fc(out)


def activation_between(act: nn.Module) -> nn.Module:
    return nn.Sequential(nn.Linear(6, 6), act, nn.Linear(6, 2))


# --- The table ---------------------------------------------------------------------------------


class Case(NamedTuple):
    build: Callable[[], nn.Module]
    samples: Callable[[], Sequence]
    # None: export is silent and the graph computes what the model computes.
    warning: Optional[str] = None
    outputs: int = 1  # Output nodes: one per tensor the model returns
    output_names: Optional[List[str]] = None  # where they are named after keys and positions


IMAGE = one(2, 3, 16, 16)

CASES: Dict[str, Case] = {
    # Structural
    # Traced through: the base's linear operation, then the child.
    "layer_subclass_calls_child": Case(SubclassedLayer, one(3, 6)),
    "dict_output": Case(DictOutput, one(3, 6), output_names=["output_out"]),
    "nested_output": Case(NestedOutput, one(3, 6), outputs=3,
                          output_names=["output_logits", "output_aux_0", "output_aux_1_0"]),
    "dataclass_output": Case(DataclassOutput, one(3, 6), outputs=2,
                             output_names=["output_logits", "output_embedding"]),
    "in_place_ops": Case(InPlace, one(3, 6)),
    "add_alpha_one_and_plus": Case(lambda: Sums(alpha=1), one(3, 6)),
    "add_without_alpha": Case(Sums, one(3, 6)),
    "add_alpha_two": Case(lambda: Sums(alpha=2), one(3, 6), warning=r"'add'.*\(alpha\)"),
    "identity_in_chain": Case(lambda: nn.Sequential(nn.Linear(6, 5), nn.Identity(), nn.ReLU(),
                                                    nn.Identity(), nn.Linear(5, 2)), one(3, 6)),
    # Classifier blocks
    "resnet_basic_block": Case(lambda: Stem(BasicBlock()), IMAGE),
    "resnet_bottleneck_downsample": Case(lambda: Stem(Bottleneck()), IMAGE),
    "mobilenet_v2_relu6": Case(lambda: Stem(InvertedResidual()), IMAGE,
                               warning=r"'block\.conv\.[25]' \(ReLU6\)"),
    "mobilenet_v2_relu": Case(lambda: Stem(InvertedResidual(act=nn.ReLU)), IMAGE),
    # Scaling the data by data (the excitation) has no IR form.
    "squeeze_excitation": Case(lambda: Stem(SqueezeExcite()), IMAGE, warning=r"'mul'"),
    "squeezenet_fire": Case(lambda: Stem(Fire()), IMAGE),
    "shufflenet_channel_shuffle": Case(lambda: Stem(ChannelShuffle()), IMAGE,
                                       warning=r"'(view|transpose|contiguous)'"),
    "densenet_dense_block": Case(lambda: Stem(DenseBlock(), c_out=6), IMAGE),
    "inception_branches": Case(lambda: Stem(Inception(), c_out=6), IMAGE),
    # Global pooling heads
    "adaptive_avg_pool_1_flatten": Case(lambda: PoolHead("module"), IMAGE),
    "functional_adaptive_avg_pool": Case(lambda: PoolHead("functional"), IMAGE),
    "mean_over_h_w": Case(lambda: PoolHead("mean"), IMAGE),
    "mean_over_negative_dims": Case(lambda: PoolHead("mean_negative"), IMAGE),
    "adaptive_avg_pool_2_on_4x4": Case(lambda: PoolHead("module", cells=2), one(2, 3, 4, 4)),
    "adaptive_avg_pool_3_on_4x4": Case(lambda: PoolHead("module", cells=3), one(2, 3, 4, 4),
                                       warning=r"'pool' \(AdaptiveAvgPool2d\)"),
    "adaptive_max_pool_1": Case(lambda: PoolHead("max"), IMAGE),
    "vgg_with_dropout": Case(vgg, IMAGE),
    # Layers without an IR form
    "relu6": Case(lambda: activation_between(nn.ReLU6()), one(3, 6), warning=r"'1' \(ReLU6\)"),
    "hardtanh": Case(lambda: activation_between(nn.Hardtanh()), one(3, 6),
                     warning=r"'1' \(Hardtanh\)"),
    "hardswish": Case(lambda: activation_between(nn.Hardswish()), one(3, 6),
                      warning=r"'1' \(Hardswish\)"),
    "silu": Case(lambda: activation_between(nn.SiLU()), one(3, 6), warning=r"'1' \(SiLU\)"),
    "multihead_attention": Case(Attention, one(2, 5, 8),
                                warning=r"'attn' \(MultiheadAttention\)"),
    "lstm": Case(lambda: Recurrent(nn.LSTM), one(2, 5, 6), warning=r"'rnn' \(LSTM\)"),
    "gru": Case(lambda: Recurrent(nn.GRU), one(2, 5, 6), warning=r"'rnn' \(GRU\)"),
}


def assert_exact(model: nn.Module, graph, samples: Sequence, case: Case) -> None:
    """The graph has one Output node per returned tensor and computes the model's values."""
    names = output_nodes(graph)
    assert len(names) == case.outputs, (
        f"Output nodes {names}, the model returns {case.outputs} tensors")
    assert all(name.startswith("output") for name in names), names
    if case.output_names is not None:
        assert names == case.output_names
    first = samples[0][0] if isinstance(samples[0], tuple) else samples[0]
    assert graph.nodes["input"].input_type["input"].tolist() == list(first.shape[1:])
    calls = [sample if isinstance(sample, tuple) else (sample,) for sample in samples]
    with torch.no_grad():
        expected = [tensor_leaves(model(*args)) for args in calls]
    assert_same_outputs(expected, run_graph(graph, calls))
    report = check_export(model, graph, *samples)
    assert report.ok, str(report)


@pytest.mark.parametrize("name", list(CASES))
def test_block_exports_exactly_or_names_what_it_could_not_carry(name):
    torch.manual_seed(sum(map(ord, name)))
    case = CASES[name]
    model = settle_batch_norms(case.build()).eval()
    samples = case.samples()
    if case.warning is None:
        assert_exact(model, export_without_warnings(model, samples[0]), samples, case)
    else:
        assert_check_fails(model, assert_export_warns(model, samples[0], case.warning), samples)


@pytest.mark.parametrize("package", ["norse.torch.module.lif", "sinabs.layers.iaf"])
def test_neurons_of_other_spiking_libraries_are_named(package):
    # Stand-ins: a neuron class as those libraries define it, whose forward is plain arithmetic
    # that would otherwise be traced through (and exported as what it is not).
    neuron = type("LIFCell", (nn.Module,), {"__module__": package,
                                            "forward": lambda self, x: torch.sigmoid(x * 2.0)})
    model = nn.Sequential(nn.Linear(4, 4), neuron())
    assert_export_warns(model, torch.randn(2, 4), r"module '1' \(LIFCell\) has no IR form")
