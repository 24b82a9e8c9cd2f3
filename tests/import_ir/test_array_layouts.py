"""Node arrays of any layout, byte order and numeric dtype import as the same float32 tensors.

Each node kind that carries arrays is built twice: once from views (flipped, strided,
Fortran-ordered, unaligned, byte-swapped, other dtypes) and once from contiguous float32 copies of
those views. Both imports must give every parameter and buffer bit for bit, in C order.
"""

from __future__ import annotations

import numpy as np
import pytest
import torch

import vantle.ir as ir
from vantle.bridge import import_ir as imp


def unit_axes_flipped(a):
    """Negative strides on size-one axes only: NumPy still calls the view C-contiguous."""
    return a[tuple(slice(None, None, -1) if n == 1 else slice(None) for n in a.shape)]


def every_other(a):
    wide = np.zeros((*a.shape[:-1], 2 * a.shape[-1]), dtype=a.dtype)
    wide[..., ::2] = a
    return wide[..., ::2]


def unaligned(a):
    raw = np.zeros(a.size * 4 + 1, dtype=np.uint8)
    view = raw[1:].view(np.float32).reshape(a.shape)
    view[...] = a
    return view


def read_only(a):
    a.setflags(write=False)
    return a


class Tagged(np.ndarray):
    """An ndarray subclass, as a user's array type may be."""


def f32(a):
    return a.astype(np.float32)


def counts(a):
    return np.rint(a * 4)


# Each turns float64 values into the array a graph may hold.
LAYOUTS = {
    "float32": f32,
    "flipped": lambda a: np.flip(f32(a)),
    "flipped-read-only": lambda a: read_only(np.flip(f32(a))),
    "flipped-unit-axes": lambda a: unit_axes_flipped(f32(a)),
    "every-other": lambda a: every_other(f32(a)),
    "fortran": lambda a: np.asfortranarray(f32(a)),
    "unaligned": lambda a: unaligned(f32(a)),
    "big-endian-f4": lambda a: a.astype(">f4"),
    "big-endian-f8-flipped": lambda a: np.flip(a.astype(">f8")),
    "float64": lambda a: a,
    "float16-fortran": lambda a: np.asfortranarray(a.astype(np.float16)),
    "int32-flipped": lambda a: np.flip(counts(a).astype(np.int32)),
    "big-endian-int64": lambda a: counts(a).astype(">i8"),
    "uint8-every-other": lambda a: every_other(np.abs(counts(a)).astype(np.uint8)),
    "bool": lambda a: a > 0,
    "subclass-flipped": lambda a: np.flip(a.view(Tagged)),
}


def ghost(arr, prefix, c_in, primary):
    return {f"{prefix}primary_weight": arr(primary, c_in, 3, 3),
            f"{prefix}primary_bias": arr(primary),
            f"{prefix}cheap_weight": arr(primary, 1, 3, 3),
            f"{prefix}cheap_bias": arr(primary)}


def head(arr, branch, c_in, out):
    fields = {}
    for stage, (a, b, k) in enumerate([(6, c_in, 3), (6, 6, 3), (out, 6, 1)]):
        fields[f"{branch}_w{stage}"] = arr(a, b, k, k)
        fields[f"{branch}_b{stage}"] = arr(a)
    return fields


# Every node kind with array fields, built with `arr(*shape)` for each array.
NODES = {
    "Affine": lambda arr: ir.Affine(weight=arr(3, 5), bias=arr(3)),
    "SpikingAffine": lambda arr: ir.SpikingAffine(weight=arr(2, 4), bias=arr(2)),
    "Conv1d": lambda arr: ir.Conv1d(weight=arr(6, 2, 3), bias=arr(6), groups=2),
    "Conv2d": lambda arr: ir.Conv2d(weight=arr(4, 3, 3, 1), bias=arr(4)),
    "Conv2d-1x1": lambda arr: ir.Conv2d(weight=arr(4, 3, 1, 1), bias=arr(4)),
    "SepConv2d": lambda arr: ir.SepConv2d(
        depthwise_weight=arr(3, 1, 3, 3), depthwise_bias=arr(3), pointwise_weight=arr(5, 3, 1, 1),
        pointwise_bias=arr(5)),
    "PReLU": lambda arr: ir.PReLU(weight=arr(3)),
    "BatchNorm1d": lambda arr: ir.BatchNorm1d(num_features=3, weight=arr(3), bias=arr(3),
                                              running_mean=arr(3), running_var=arr(3)),
    "BatchNorm2d": lambda arr: ir.BatchNorm2d(num_features=2, weight=arr(2), bias=arr(2),
                                              running_mean=arr(2), running_var=arr(2)),
    "LayerNorm": lambda arr: ir.LayerNorm(normalized_shape=(2, 4), weight=arr(2, 4),
                                          bias=arr(2, 4)),
    "LIF": lambda arr: ir.LIF(tau=arr(2, 3), r=arr(2, 3), v_leak=arr(2, 3),
                              v_threshold=arr(2, 3)),
    "SGhostConv": lambda arr: ir.SGhostConv(**ghost(arr, "", 4, 2), primary_padding=(1, 1),
                                            cheap_padding=(1, 1)),
    "SGhostEncoderLite": lambda arr: ir.SGhostEncoderLite(
        conv1_weight=arr(8, 3, 3, 3), conv1_bias=arr(8), **ghost(arr, "ghost_", 8, 4)),
    "GhostBasicBlock1": lambda arr: ir.GhostBasicBlock1(
        **ghost(arr, "cvres_", 4, 2), **ghost(arr, "cv0_", 4, 2), **ghost(arr, "cv2_", 2, 2)),
    "GhostBasicBlock2": lambda arr: ir.GhostBasicBlock2(
        **ghost(arr, "cv0_", 4, 2), **ghost(arr, "cv2_", 2, 2)),
    "SDDetect": lambda arr: ir.SDDetect(num_classes=3, reg_max=4, stride=8,
                                        **head(arr, "cv2", 4, 16), **head(arr, "cv3", 4, 3)),
    "DFLDecode": lambda arr: ir.DFLDecode(reg_max=4, dfl_weights=arr(4)),
}


def tensors(module):
    found = dict(module.named_parameters())
    found.update(module.named_buffers())
    return found


def imported(node):
    return imp.import_ir(ir.Graph(nodes={"node": node}))["node"]


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize("make", NODES.values(), ids=NODES.keys())
def test_views_import_as_contiguous_float32_copies(make, layout):
    rng = np.random.default_rng(7)
    node = make(lambda *shape: layout(rng.standard_normal(shape)))
    copies = {name: np.ascontiguousarray(value).astype(np.float32)
              for name, value in vars(node).items() if isinstance(value, np.ndarray)}
    reference = type(node)(**{name: copies.get(name, getattr(node, name))
                              for name in node.fields()})

    got, expected = tensors(imported(node)), tensors(imported(reference))
    assert got and got.keys() == expected.keys()
    for name, tensor in got.items():
        want = expected[name]
        assert tensor.dtype == want.dtype, name
        assert tensor.shape == want.shape and tensor.stride() == want.stride(), name
        if want.dtype == torch.float32:  # bit for bit: NaN, -0.0 and all
            tensor, want = tensor.detach().view(torch.int32), want.detach().view(torch.int32)
        assert torch.equal(tensor, want), name
    assert {t.dtype for name, t in expected.items() if name != "num_batches_tracked"} == {
        torch.float32}
