"""Conversion rules for the torch.nn layers: node kinds, fields, value types."""

from __future__ import annotations

import numpy as np
import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge.export_ir import VANTLEExporter, export_ir

from export_helpers import convert, shape_of

S = (4, 6, 6)


def assert_fields(node, expected):
    for name, value in expected.items():
        actual = getattr(node, name)
        assert actual == value and type(actual) is type(value), (name, actual, value)


@pytest.mark.parametrize(
    "module, in_shape, out_shape, kind, fields",
    [
        (nn.Flatten(), S, (144,), ir.Flatten, {"start_dim": 0, "end_dim": -1}),
        (nn.Flatten(2, 3), S, (4, 36), ir.Flatten, {"start_dim": 1, "end_dim": 3}),
        # end_dim keeps torch's numbering: -2 stays -2 (writing -1 would flatten more).
        (nn.Flatten(1, -2), S, (24, 6), ir.Flatten, {"start_dim": 0, "end_dim": -2}),
        # A negative start is resolved against the traced rank (batch included) first.
        (nn.Flatten(-2, -1), S, (4, 36), ir.Flatten, {"start_dim": 1, "end_dim": -1}),
        (nn.MaxPool2d(2), S, (4, 3, 3), ir.MaxPool2d,
         {"kernel_size": (2, 2), "stride": (2, 2), "padding": (0, 0), "dilation": (1, 1),
          "ceil_mode": False}),
        (nn.MaxPool2d((3, 2), stride=(1, 2), padding=1, dilation=2, ceil_mode=True), S, S,
         ir.MaxPool2d, {"kernel_size": (3, 2), "stride": (1, 2), "padding": (1, 1),
                        "dilation": (2, 2), "ceil_mode": True}),
        (nn.AvgPool2d(2, stride=1, padding=1, ceil_mode=True, count_include_pad=False), S, S,
         ir.AvgPool2d, {"kernel_size": (2, 2), "stride": (1, 1), "padding": (1, 1),
                        "ceil_mode": True, "count_include_pad": False}),
        (nn.Identity(), S, S, ir.Skip, {"skip_type": "passthrough"}),
        (nn.ReLU(), S, S, ir.ReLU, {"features": 144, "negative_slope": 0.0}),
        (nn.LeakyReLU(0.1), (5,), (5,), ir.ReLU, {"features": 5, "negative_slope": 0.1}),
        (nn.Sigmoid(), (5,), (5,), ir.Sigmoid, {"features": 5}),
        (nn.Tanh(), (), (), ir.Tanh, {"features": 1}),  # an empty shape counts as one feature
        (nn.Softmax(), (5,), (5,), ir.Softmax, {"features": 5, "dim": -1}),
        (nn.Softmax(dim=0), (5,), (5,), ir.Softmax, {"features": 5, "dim": 0}),
        (nn.GELU(), (5,), (5,), ir.GELU, {"features": 5, "approximate": False}),
        (nn.GELU(approximate="tanh"), (5,), (5,), ir.GELU, {"features": 5, "approximate": True}),
        (nn.ELU(alpha=0.3), (5,), (5,), ir.ELU, {"features": 5, "alpha": 0.3}),
        (nn.Dropout(0.25), (2, 3), (2, 3), ir.Dropout, {"features": 6, "p": 0.25}),
        (nn.Upsample(scale_factor=2), (3, 8, 8), (3, 16, 16), ir.Upsample,
         {"size": (16, 16), "scale_factor": None, "mode": "nearest", "align_corners": False}),
        (nn.Upsample(scale_factor=2.5), (4,), (10,), ir.Upsample,
         {"size": None, "scale_factor": 2, "mode": "nearest", "align_corners": False}),
        (nn.Upsample(size=7, mode="bilinear", align_corners=True), S, (4, 7, 7), ir.Upsample,
         {"size": (7, 7), "scale_factor": None, "mode": "bilinear", "align_corners": True}),
        (nn.Upsample(size=[5, 3], mode="nearest", align_corners=None), S, (4, 5, 3), ir.Upsample,
         {"size": (5, 3), "scale_factor": None, "mode": "nearest", "align_corners": False}),
    ],
    ids=lambda value: type(value).__name__ if isinstance(value, nn.Module) else None,
)
def test_layer_rows(module, in_shape, out_shape, kind, fields):
    node = convert(module, in_shape, out_shape)
    assert type(node) is kind
    assert_fields(node, fields)
    assert shape_of(node.input_type, "input") == list(in_shape)
    assert shape_of(node.output_type, "output") == list(out_shape)


def test_linear_and_its_spiking_form():
    layer = nn.Linear(4, 3, bias=False)
    node = convert(layer, (4,), (3,))
    assert type(node) is ir.Affine
    assert node.weight.shape == (3, 4) and node.weight.dtype == np.float32
    assert np.array_equal(node.weight, layer.weight.detach().numpy())
    assert node.bias.dtype == np.float32 and node.bias.tolist() == [0.0, 0.0, 0.0]

    spiking = convert(nn.Linear(4, 3), (4,), (3,), spiking=1, spike_mode="rate", weight_bits=4.9,
                      accumulator_bits=12)
    assert type(spiking) is ir.SpikingAffine
    assert_fields(spiking, {"spike_mode": "rate", "weight_bits": 4, "accumulator_bits": 12})
    assert type(convert(nn.ReLU(), (3,), (3,), spiking=True)) is ir.ReLU


def test_convolutions():
    conv1 = nn.Conv1d(2, 4, 3, stride=2)
    node = convert(conv1, (2, 9), (4, 4))
    assert type(node) is ir.Conv1d and node.weight.shape == (4, 2, 3)
    assert_fields(node, {"stride": 2, "padding": 0, "dilation": 1, "groups": 1})
    assert np.array_equal(node.bias, conv1.bias.detach().numpy())

    for padding in ("same", "valid"):
        node = convert(nn.Conv1d(2, 2, 3, padding=padding), (2, 9), (2, 9))
        assert node.padding == padding

    conv2 = nn.Conv2d(4, 8, 3, stride=(2, 1), padding="valid", groups=2, bias=False)
    node = convert(conv2, S, (8, 2, 4))
    assert type(node) is ir.Conv2d and node.weight.shape == (8, 2, 3, 3)
    assert_fields(node, {"stride": (2, 1), "padding": "valid", "dilation": (1, 1), "groups": 2})
    assert node.bias.tolist() == [0.0] * 8


def test_normalisation_layers():
    bn = nn.BatchNorm1d(8, affine=False, track_running_stats=False)
    with pytest.warns(UserWarning, match="batch's own statistics"):  # mean 0, variance 1 instead
        node = convert(bn, (8,), (8,))
    assert type(node) is ir.BatchNorm1d
    assert_fields(node, {"num_features": 8, "eps": 1e-5, "momentum": 0.1})
    for name, value in [("weight", 1.0), ("bias", 0.0), ("running_mean", 0.0), ("running_var", 1.0)]:
        array = getattr(node, name)
        assert array.dtype == np.float32 and array.tolist() == [value] * 8

    bn2 = nn.BatchNorm2d(3, momentum=None)
    bn2.running_mean.fill_(0.5)
    node = convert(bn2, (3, 2, 2), (3, 2, 2))
    assert type(node) is ir.BatchNorm2d and node.momentum == 0.1
    assert node.running_mean.tolist() == [0.5] * 3

    ln = nn.LayerNorm([2, 3], elementwise_affine=False, eps=1e-3)
    node = convert(ln, (2, 3), (2, 3))
    assert type(node) is ir.LayerNorm
    assert_fields(node, {"normalized_shape": (2, 3), "eps": 1e-3})
    assert node.weight.tolist() == [1.0] * 6 and node.bias.tolist() == [0.0] * 6

    prelu = nn.PReLU(3, init=0.2)
    node = convert(prelu, (3, 4), (3, 4))
    assert type(node) is ir.PReLU and node.features == 12
    assert node.weight.tolist() == pytest.approx([0.2] * 3)


@pytest.mark.parametrize(
    "module, shape, with_metadata",
    [
        (nn.Linear(2, 2), (2,), True),
        (nn.Conv1d(2, 2, 1), (2, 3), True),
        (nn.Conv2d(2, 2, 1), (2, 3, 3), True),
        (nn.ReLU(), (2,), False),
        (nn.BatchNorm1d(2), (2,), False),
    ],
)
def test_metadata_keywords_only_on_dense_and_convolution_rows(module, shape, with_metadata):
    module._vantle_precision = "int8"
    module._vantle_reuse_factor = 2
    node = convert(module, shape, shape)
    expected = ("int8", "int8", 2) if with_metadata else (None, None, None)
    assert (getattr(node, "weight_t", None), getattr(node, "bias_t", None),
            getattr(node, "reuse_factor", None)) == expected


def test_subclasses_take_their_base_rule_and_containers_have_none():
    class Narrow(nn.Linear):
        pass

    assert type(convert(Narrow(2, 1), (2,), (1,))) is ir.Affine
    assert type(convert(nn.UpsamplingNearest2d(scale_factor=2), (1, 2, 2), (1, 4, 4))) is ir.Upsample
    assert convert(nn.Sequential(nn.ReLU()), (2,), (2,)) is None
    assert convert(nn.Module(), (2,), (2,)) is None


@pytest.mark.parametrize("in_shape, out_shape, bad", [([2], (2,), "in_shape"), ((2,), None, "out_shape")])
def test_shapes_must_be_exact_tuples(in_shape, out_shape, bad):
    with pytest.raises(TypeError, match=rf"^Argument '{bad}' has incorrect type \(expected tuple, got "):
        VANTLEExporter()._convert_module(nn.ReLU(), in_shape, out_shape)


class SometimesReLU(nn.Module):
    """Reports nn.ReLU as its class only when told to, instance by instance."""

    inplace = False
    forward = nn.ReLU.forward

    def __init__(self, is_relu: bool) -> None:
        super().__init__()
        self.is_relu = is_relu

    @property
    def __class__(self):
        return nn.ReLU if self.is_relu else SometimesReLU


def test_rules_follow_isinstance_for_each_module_of_an_export():
    # Plain layers first, so answers kept per type exist before the stand-ins come.
    model = nn.Sequential(nn.Tanh(), nn.ReLU(), SometimesReLU(True), SometimesReLU(False))
    graph = export_ir(model, torch.ones(1, 4))
    # The stand-in that is no ReLU is the model's own module: its relu call is traced.
    assert [(name, type(node).__name__) for name, node in graph.nodes.items()] == [
        ("input", "Input"), ("0", "Tanh"), ("1", "ReLU"), ("2", "ReLU"), ("relu", "ReLU"),
        ("output", "Output"),
    ]  # fmt: skip
