"""Conversion rules for the import module's classes and snnTorch's Leaky neuron."""

from __future__ import annotations

import functools
import sys

import numpy as np
import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge import import_ir as bridge

from export_helpers import convert

snn = pytest.importorskip("snntorch")
zero_reset_leaky = functools.partial(snn.Leaky, reset_mechanism="zero")

RNG = np.random.default_rng(3)


def arrays(*shape):
    return RNG.normal(size=shape)  # float64: export must hand back float32


def ghost(prefix, c_in, primary):
    return {
        f"{prefix}primary_weight": arrays(primary, c_in, 3, 3),
        f"{prefix}primary_bias": arrays(primary),
        f"{prefix}cheap_weight": arrays(primary, 1, 3, 3),
        f"{prefix}cheap_bias": arrays(primary),
    }


def head(branch, c_in, out):
    fields = {}
    for stage, (a, b, k) in enumerate([(8, c_in, 3), (8, 8, 3), (out, 8, 1)]):
        fields[f"{branch}_w{stage}"] = arrays(a, b, k, k)
        fields[f"{branch}_b{stage}"] = arrays(a)
    return fields


# (IR node, traced output shape): each is imported, exported again and compared field by field.
NODES = [
    (ir.LIF(tau=np.full(6, 3.0), r=arrays(6), v_leak=np.zeros(6), v_threshold=np.ones(6)), (6,)),
    (ir.Skip(skip_type="concatenate"), (4, 5, 5)),
    (ir.Concat(num_inputs=3, dim=0), (6, 5, 5)),
    (ir.ChannelSplit(split_sections=(1, 3), dim=0), (1, 5, 5)),
    (ir.SepConv2d(depthwise_weight=arrays(4, 1, 3, 3), pointwise_weight=arrays(8, 4, 1, 1),
                  depthwise_bias=arrays(4), pointwise_bias=None, stride=(2, 1), padding=(1, 1),
                  dilation=(1, 1)), (8, 3, 5)),
    (ir.SGhostConv(**ghost("", 4, 2), primary_stride=(2, 2), primary_padding=(1, 1),
                   cheap_stride=(1, 1), cheap_padding=(1, 1)), (4, 3, 3)),
    (ir.SGhostEncoderLite(conv1_weight=arrays(8, 4, 3, 3), conv1_bias=arrays(8),
                          **ghost("ghost_", 8, 4), stride=2), (8, 3, 3)),
    (ir.GhostBasicBlock1(**ghost("cvres_", 4, 2), **ghost("cv0_", 4, 2), **ghost("cv2_", 2, 2),
                         stride=2), (8, 3, 3)),
    (ir.GhostBasicBlock2(**ghost("cv0_", 4, 2), **ghost("cv2_", 2, 2)), (4, 5, 5)),
    (ir.SDDetect(num_classes=3, reg_max=4, stride=8, **head("cv2", 4, 16), **head("cv3", 4, 3)),
     (19, 5, 5)),
    (ir.DFLDecode(reg_max=4, dfl_weights=np.arange(4.0)), (4, 5, 5)),
    (ir.Dist2BBox(stride=16), (4, 5, 5)),
]


@pytest.mark.parametrize("node, out_shape", NODES, ids=lambda v: getattr(v, "kind", None))
def test_imported_module_exports_the_same_node(node, out_shape):
    module = bridge.node_to_module(node)
    exported = convert(module, (4, 5, 5), out_shape)
    assert type(exported) is type(node)
    for field in node.fields():
        original, actual = getattr(node, field), getattr(exported, field)
        if isinstance(original, np.ndarray):
            assert actual.dtype == np.float32, field
            np.testing.assert_array_equal(actual, original.astype(np.float32), err_msg=field)
        else:
            assert actual == original and type(actual) is type(original), field
    assert exported.input_type["input"].tolist() == [4, 5, 5]
    if isinstance(node, ir.ChannelSplit):
        assert exported.output_type == {}  # its chunks have no single output shape
    else:
        assert exported.output_type["output"].tolist() == list(out_shape)


@pytest.mark.parametrize(
    "module, dim",
    [
        (bridge.ConcatModule(2, dim=1), 0),
        (bridge.ConcatModule(2, dim=0), 0),
        (bridge.ConcatModule(2, dim=-1), 2),  # the last axis of N x C x H x W
        (bridge.ChannelSplitModule((2, 2), dim=-3), 0),  # the channel axis
        (bridge.ChannelSplitModule((2, 2), dim=3), 2),
    ],
)
def test_dimension_indices_lose_the_batch_axis(module, dim):
    assert convert(module, (4, 5, 5), (4, 5, 5)).dim == dim


def test_optional_node_kinds_missing_from_the_library_are_not_converted(monkeypatch):
    monkeypatch.delattr(ir, "Concat")
    assert convert(bridge.ConcatModule(2), (4,), (4,)) is None
    assert type(convert(bridge.SkipModule("residual"), (4,), (4,))) is ir.Skip


def test_lif_single_values_cover_every_neuron_and_keep_a_feature_map_shape():
    lif = bridge.LIFModule(np.full(12, 2.0), np.ones(12), np.zeros(12), np.full(12, 0.5))
    flat = convert(lif, (12,), (12,))
    assert flat.tau.shape == (12,) and flat.tau.tolist() == [2.0] * 12
    feature_map = convert(lif, (3, 2, 2), (3, 2, 2))
    assert feature_map.v_threshold.shape == (3, 2, 2)
    assert feature_map.v_threshold.dtype == np.float32


@pytest.mark.parametrize(
    "beta, out_shape, tau_shape",
    [(0.9, (10,), (10,)), (torch.tensor(0.9), (10,), (10,)), (0.9, (2, 3, 3), (2, 3, 3))],
)
def test_leaky_becomes_lif(beta, out_shape, tau_shape):
    node = convert(zero_reset_leaky(beta=beta, threshold=1.0), out_shape, out_shape)
    assert type(node) is ir.LIF
    for name in ("tau", "r", "v_leak", "v_threshold"):
        assert getattr(node, name).dtype == np.float32 and getattr(node, name).shape == tau_shape
    np.testing.assert_allclose(node.tau, 1.0 / (0.1 + 1e-9), rtol=1e-5)
    np.testing.assert_array_equal(node.r, node.tau)
    assert not node.v_leak.any() and (node.v_threshold == 1.0).all()


def test_leaky_edge_values():
    assert convert(zero_reset_leaky(beta=1.0), (3,), (3,)).tau.tolist() == [1e9] * 3
    two_betas = zero_reset_leaky(beta=torch.tensor([0.5, 0.75]), threshold=2.0)
    per_neuron = convert(two_betas, (2,), (2,))
    np.testing.assert_allclose(per_neuron.tau, [2.0, 4.0], rtol=1e-6)
    assert per_neuron.v_threshold.tolist() == [2.0, 2.0]


class OnDevice(torch.Tensor):
    """Behaves like a tensor in accelerator memory: numpy() only after cpu()."""

    def numpy(self, *args, **kwargs):
        raise TypeError("can't convert cuda:0 device type tensor to numpy")

    def cpu(self, *args, **kwargs):
        return self.as_subclass(torch.Tensor)


def test_leaky_parameters_are_moved_to_the_cpu():
    leaky = zero_reset_leaky(beta=0.5, threshold=0.25)
    leaky.beta = torch.tensor(0.5).as_subclass(OnDevice)
    leaky.threshold = torch.tensor(0.25).as_subclass(OnDevice)
    node = convert(leaky, (2,), (2,))
    assert node.v_threshold.tolist() == [0.25, 0.25]
    np.testing.assert_allclose(node.tau, 2.0, rtol=1e-6)


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a GPU")
def test_leaky_on_a_gpu():
    node = convert(zero_reset_leaky(beta=0.5).cuda(), (2,), (2,))
    np.testing.assert_allclose(node.tau, 2.0, rtol=1e-6)


def test_without_snntorch_unsupported_modules_are_skipped(monkeypatch):
    monkeypatch.setitem(sys.modules, "snntorch", None)  # makes the import fail
    assert convert(nn.Sequential(), (2,), (2,)) is None
    assert type(convert(nn.ReLU(), (2,), (2,))) is ir.ReLU


def test_missing_ghost_bias_fails_with_attribute_error():
    module = bridge.node_to_module(NODES[5][0])
    module.primary_bias = None
    with pytest.raises(AttributeError):
        convert(module, (4, 5, 5), (4, 3, 3))
