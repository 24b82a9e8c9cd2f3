import math

import numpy as np
import pytest
import torch

from vantle.bridge import quantize as vq


def composed(tensor, scale, zero_point, qmin, qmax):
    """The documented expression, one torch operation at a time."""
    return (torch.clamp(torch.round(tensor / scale) + zero_point, qmin, qmax) - zero_point) * scale


def bits_of(tensor):
    return tensor.numpy().view(np.int32)


@pytest.mark.parametrize(
    "args, scale, zero_point",
    [
        ((-1.0, 0.5, 8, True), 1 / 127, 0),
        ((0.0, 2.55, 8, False), 2.55 / 255, 0),
        ((-1.0, 1.0, 8, False), 2 / 255, 128),  # -(-1.0) / scale is exactly 127.5: even 128
        ((5.0, 5.0, 8, True), 5 / 127, 0),
        ((0.0, 0.0, 8, True), 1e-8, 0),  # 1e-8 / 127 is raised to 1e-8
        ((-3.0, 1.0, 4, True), 3 / 7, 0),
        ((0.0, 0.0, 8, False), 1e-8, 0),
        ((-7.0, 3.0, 32, True), 1.0, 0),
        ((-7.0, 3.0, 40, False), 1.0, 0),
        ((-1.0, 3.0, 4.9, False), 4 / 15, 4),  # bits truncate to 4
    ],
)
def test_scale_and_zero_point(args, scale, zero_point):
    result = vq._compute_scale_zp(*args)
    assert result == (pytest.approx(scale, rel=1e-15), zero_point)
    assert type(result[1]) is int
    names = ("min_val", "max_val", "bits", "symmetric")
    assert vq._compute_scale_zp(**dict(zip(names, args))) == result


@pytest.mark.parametrize(
    "low, high, scale, zero_point",
    [
        (1.0, 2.0, 2 / 255, 0),  # widened to [0, 2]
        (-2.0, -1.0, 2 / 255, 255),  # widened to [-2, 0]
        (0.0, 2.0, 2 / 255, 0),
        (1.0, 1.0, 1 / 255, 0),
    ],
)
def test_asymmetric_range_always_holds_zero(low, high, scale, zero_point):
    expected = (pytest.approx(scale, rel=1e-15), zero_point)
    assert vq._compute_scale_zp(low, high, 8, False) == expected


@pytest.mark.parametrize("bits, symmetric", [(1, True), (0, True), (0, False), (-3, False)])
def test_empty_grid_divides_by_zero(bits, symmetric):
    with pytest.raises(ZeroDivisionError):
        vq._compute_scale_zp(-1.0, 1.0, bits, symmetric)


@pytest.mark.parametrize(
    "call, name, expected, given",
    [
        (lambda: vq._compute_scale_zp("0", 1.0, 8, True), "min_val", "float", "str"),
        (lambda: vq._compute_scale_zp(0.0, 1.0, "8", True), "bits", "int", "str"),
        (lambda: vq._quantize_tensor(torch.ones(2), None, 0, 8), "scale", "float", "NoneType"),
        (lambda: vq._quantize_tensor(torch.ones(2), 0.1, "0", 8), "zero_point", "int", "str"),
    ],
)
def test_argument_types(call, name, expected, given):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == (
        f"Argument '{name}' has incorrect type (expected {expected}, got {given})"
    )


def test_nan_range_cannot_give_a_zero_point():
    with pytest.raises(ValueError, match="NaN"):
        vq._compute_scale_zp(math.nan, 1.0, 8, False)


def test_values_stay_on_the_grid():
    tensor = torch.linspace(-10, 10, 1001)
    scale = 0.03
    out = vq._quantize_tensor(tensor, scale, 0, 8)
    assert out.min() == pytest.approx(-128 * scale) and out.max() == pytest.approx(127 * scale)
    out = vq._quantize_tensor(tensor, scale, 5, 8)
    assert out.min() == pytest.approx(-5 * scale) and out.max() == pytest.approx(250 * scale)
    levels = out / scale
    assert torch.allclose(levels, levels.round(), atol=1e-3)


def test_full_width_returns_the_same_tensor():
    tensor = torch.randn(3)
    assert vq._quantize_tensor(tensor, 0.1, 0, 32) is tensor
    assert vq._quantize_tensor(tensor, 0.1, 7, 64) is tensor


@pytest.mark.parametrize(
    "zero_point, symmetric, qmin, qmax",
    [(0, None, -128, 127), (3, None, 0, 255), (0, False, 0, 255), (3, True, -128, 127)],
)
def test_grid_choice(zero_point, symmetric, qmin, qmax):
    tensor = torch.linspace(-300, 300, 601)
    out = vq._quantize_tensor(tensor, 1.0, zero_point, 8, symmetric=symmetric)
    assert torch.equal(out, composed(tensor, 1.0, zero_point, qmin, qmax))


def awkward(scale):
    """Random values plus exact ties, huge, tiny and non-finite ones."""
    generator = torch.Generator().manual_seed(3)
    f32 = torch.tensor(scale, dtype=torch.float32).item()  # 1e300 becomes inf, as in torch
    ties = (torch.arange(-300, 300, dtype=torch.float32) + 0.5) * f32
    special = torch.tensor(
        [0.0, -0.0, math.inf, -math.inf, math.nan, 1e-45, -1e-45, 1e-39, -3e-39, 3.4e38, -3.4e38]
    )
    return torch.cat([torch.randn(100_003, generator=generator) * 100 * f32, ties, special])


@pytest.mark.parametrize("scale", [1 / 127, 2.55 / 255, 0.0123456789, 1e-8, 7.0, 3.3e-39, 1e300])
@pytest.mark.parametrize(
    "zero_point, bits, symmetric", [(0, 8, True), (37, 8, False), (0, 4, True), (0, 8, False)]
)
def test_fused_path_is_bitwise_the_composed_expression(scale, zero_point, bits, symmetric):
    tensor = awkward(scale)
    qmin, qmax = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if symmetric else (0, 2**bits - 1)
    expected = composed(tensor, scale, zero_point, qmin, qmax)
    fused = vq._quantize_tensor(tensor, scale, zero_point, bits, symmetric=symmetric)
    assert np.array_equal(bits_of(fused), bits_of(expected))
    # A strided view takes the composed path; it must agree too.
    strided = torch.stack([tensor, tensor], dim=1)[:, 0]
    assert not strided.is_contiguous()
    slow = vq._quantize_tensor(strided, scale, zero_point, bits, symmetric=symmetric)
    assert np.array_equal(bits_of(slow.contiguous()), bits_of(expected))


def test_a_negated_view_is_quantized_by_its_values():
    # Its memory holds the values before negation, so the kernel must not read it.
    values = torch.tensor([0.3, 1.7, -2.2, 20.0])
    negated = torch._neg_view(values)
    expected = composed(-values, 0.1, 0, -128, 127)
    assert torch.equal(vq._quantize_tensor(negated, 0.1, 0, 8), expected)


def test_fused_path_keeps_shape_and_input():
    tensor = torch.randn(2, 3, 5)
    before = tensor.clone()
    out = vq._quantize_tensor(tensor, 0.05, 0, 8)
    assert out.shape == tensor.shape and out.data_ptr() != tensor.data_ptr()
    assert torch.equal(tensor, before)
    assert vq._quantize_tensor(torch.empty(0), 0.1, 0, 8).shape == (0,)


@pytest.mark.parametrize("dtype", [torch.float64, torch.float16])
def test_other_dtypes_keep_their_dtype(dtype):
    tensor = torch.randn(50).to(dtype)
    out = vq._quantize_tensor(tensor, 0.1, 0, 8)
    assert out.dtype == dtype
    assert torch.equal(out, composed(tensor, 0.1, 0, -128, 127))


def test_gradient_passes_straight_through_inside_the_grid():
    values = torch.tensor([-20.0, -12.7, -3.3, 0.0, 4.44, 12.7, 12.8, 50.0], requires_grad=True)
    out = vq._quantize_tensor(values, 0.1, 0, 8)
    assert torch.equal(out.detach(), composed(values.detach(), 0.1, 0, -128, 127))
    out.backward(torch.arange(1.0, 9.0))
    # -20 and 50 are clamped; 12.7 and -12.7 round onto the grid's ends and count as inside.
    assert values.grad.tolist() == [0.0, 2.0, 3.0, 4.0, 5.0, 6.0, 0.0, 0.0]


def test_gradient_without_grad_mode_is_not_recorded():
    values = torch.randn(10, requires_grad=True)
    with torch.no_grad():
        out = vq._quantize_tensor(values, 0.1, 0, 8)
    assert not out.requires_grad
