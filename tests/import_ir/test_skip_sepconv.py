"""SkipModule and SepConv2dModule: construction checks, stored values and forward results."""

from __future__ import annotations

import re
import warnings

import numpy as np
import pytest
import torch
import torch.nn.functional as F

from vantle.bridge.import_ir import SepConv2dModule, SkipModule


class StrSubclass(str):
    pass


def test_skip_keeps_its_type_and_passes_input_through():
    assert SkipModule().skip_type == "residual"
    module = SkipModule("concatenate")
    x = torch.ones(2)
    assert module.skip_type == "concatenate" and module(x) is x
    assert SkipModule("anything").skip_type == "anything"  # not compared against the names


@pytest.mark.parametrize("value", [None, 1, b"residual", StrSubclass("residual")])
def test_skip_rejects_non_strings(value):
    message = f"Argument 'skip_type' has incorrect type (expected str, got {type(value).__name__})"
    with pytest.raises(TypeError, match=re.escape(message) + "$"):
        SkipModule(value)


def sepconv_arrays(in_ch=8, out_ch=16, kernel=(3, 3), seed=0):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((in_ch, 1, *kernel)), rng.standard_normal((out_ch, in_ch, 1, 1)),
            rng.standard_normal(in_ch), rng.standard_normal(out_ch))


def test_sepconv_without_biases():
    depthwise, pointwise, _, _ = sepconv_arrays()
    module = SepConv2dModule(depthwise, pointwise, None, None, (1, 1), (1, 1), (1, 1))
    assert module.depthwise.bias is None and module.pointwise.bias is None
    assert module.depthwise.groups == 8 and module.depthwise.kernel_size == (3, 3)
    assert module(torch.randn(2, 8, 10, 10)).shape == (2, 16, 10, 10)
    assert list(module.state_dict()) == ["depthwise.weight", "pointwise.weight"]


@pytest.mark.parametrize(
    ("stride", "padding", "dilation", "size", "expected"),
    [((2, 2), (1, 1), (1, 1), 32, 16), ((1, 1), (0, 0), (1, 1), 32, 30),
     ((1, 2), (2, 2), (2, 2), 12, None)],
)
def test_sepconv_matches_the_two_convolutions(stride, padding, dilation, size, expected):
    depthwise, pointwise, db, pb = sepconv_arrays(kernel=(3, 3))
    module = SepConv2dModule(depthwise, pointwise, db, pb, stride, padding, dilation)
    assert (module.stride, module.padding, module.dilation) == (stride, padding, dilation)
    assert list(module.state_dict()) == ["depthwise.weight", "depthwise.bias", "pointwise.weight",
                                         "pointwise.bias"]
    x = torch.randn(1, 8, size, size)
    f32 = [torch.from_numpy(a.astype(np.float32)) for a in (depthwise, pointwise, db, pb)]
    reference = F.conv2d(F.conv2d(x, f32[0], f32[2], stride, padding, dilation, groups=8), f32[1],
                         f32[3])
    out = module(x)
    assert torch.equal(out, reference)
    if expected is not None:
        assert out.shape[-2:] == (expected, expected)


@pytest.mark.parametrize(
    ("position", "value", "name"),
    [(4, [1, 1], "stride"), (5, 1, "padding"), (6, None, "dilation"), (4, np.array([1, 1]),
                                                                        "stride")],
)
def test_sepconv_geometry_must_be_tuples(position, value, name):
    args = [None, None, None, None, (1, 1), (1, 1), (1, 1)]  # weights unusable: checks come first
    args[position] = value
    message = f"Argument '{name}' has incorrect type (expected tuple, got {type(value).__name__})"
    with pytest.raises(TypeError, match=re.escape(message) + "$"):
        SepConv2dModule(*args)


def test_sepconv_shape_mismatch_fails_only_when_run():
    depthwise, _, _, _ = sepconv_arrays(in_ch=8)
    module = SepConv2dModule(depthwise, np.ones((4, 5, 1, 1)), None, np.ones(3), (1, 1), (1, 1),
                             (1, 1))
    with pytest.raises(RuntimeError):
        module(torch.randn(1, 8, 6, 6))


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int16])
def test_sepconv_owns_its_weights(dtype):
    arrays = [a.astype(dtype) for a in sepconv_arrays()]
    originals = [a.copy() for a in arrays]
    for array in arrays:
        array.setflags(write=False)  # as a file reader may hand them over
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        module = SepConv2dModule(*arrays, (1, 1), (1, 1), (1, 1))
    state = module.state_dict()
    assert all(tensor.dtype == torch.float32 for tensor in state.values())
    for array, tensor in zip(arrays, state.values()):
        assert not np.shares_memory(array, tensor.numpy())
    module.load_state_dict({key: torch.zeros_like(value) for key, value in state.items()})
    with torch.no_grad():
        module.depthwise.weight.add_(1)
    for array, original in zip(arrays, originals):
        assert np.array_equal(array, original)
