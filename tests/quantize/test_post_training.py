import pytest
import torch
from torch import nn

from vantle.bridge import quantize as vq


def net():
    torch.manual_seed(0)
    return nn.Sequential(
        nn.Conv2d(2, 4, 3, bias=False), nn.BatchNorm2d(4), nn.ReLU(), nn.Flatten(), nn.Linear(16, 3)
    )


def on_grid(values, scale, zero_point, qmin, qmax):
    levels = values.double() / scale + zero_point
    # float32 arithmetic blurs the levels of wide grids a little.
    tolerance = 1e-3 + 2e-7 * (qmax - qmin)
    assert torch.allclose(levels, levels.round(), atol=tolerance)
    assert levels.min() >= qmin - tolerance and levels.max() <= qmax + tolerance


@pytest.mark.parametrize(
    "symmetric, precision, grid",
    [
        (True, "int8", (-128, 127)),
        (False, "int8", (0, 255)),
        (True, "int4", (-8, 7)),
        (False, "fp16", (0, 65535)),
    ],
)
def test_parameters_rounded_in_place(symmetric, precision, grid):
    model = net()
    params = dict(model.named_parameters())
    originals = {name: p.detach().clone() for name, p in params.items()}
    running_mean = model[1].running_mean.clone()
    result = vq.quantize(model, vq.QuantizationConfig(precision, symmetric=symmetric))
    assert result is model
    assert dict(model.named_parameters()) == params  # the same Parameter objects
    for index, has_bias in ((0, False), (1, True), (4, True)):
        module = model[index]
        scale, zero_point = module._vantle_weight_scale, module._vantle_weight_zp
        on_grid(module.weight.detach(), scale, zero_point, *grid)
        weight = originals[f"{index}.weight"]
        bits = vq._get_bits(precision)
        expected = vq._compute_scale_zp(weight.min().item(), weight.max().item(), bits, symmetric)
        assert (module._vantle_weight_scale, module._vantle_weight_zp) == expected
        if has_bias:
            on_grid(module.bias.detach(), module._vantle_bias_scale, module._vantle_bias_zp, *grid)
        else:
            assert module.bias is None and not hasattr(module, "_vantle_bias_scale")
    assert torch.equal(model[1].running_mean, running_mean)  # buffers are left alone
    assert model.training  # no calibration data: the training flag is not touched


def test_weight_and_bias_keep_their_own_scales():
    layer = nn.Linear(3, 2)
    with torch.no_grad():
        layer.weight.copy_(torch.tensor([[-2.0, 1.0, 0.5], [0.25, 1.5, -1.0]]))
        layer.bias.copy_(torch.tensor([0.1, -0.05]))
    vq.quantize(layer, vq.QuantizationConfig())
    assert layer._vantle_weight_scale == pytest.approx(2.0 / 127)
    assert layer._vantle_bias_scale == pytest.approx(0.1 / 127)
    assert layer._vantle_weight_zp == layer._vantle_bias_zp == 0


@pytest.mark.parametrize("values", [[1.0, 1.0, 1.0], [0.0, 0.5, 1.3, 2.0], [-2.0, -0.7, -0.1]])
def test_asymmetric_keeps_ranges_away_from_zero(values):
    # A constant batch-norm weight, a non-negative and a non-positive tensor.
    norm = nn.BatchNorm1d(len(values))
    with torch.no_grad():
        norm.weight.copy_(torch.tensor(values))
    vq.quantize(norm, vq.QuantizationConfig(symmetric=False))
    scale = norm._vantle_weight_scale
    assert torch.allclose(norm.weight, torch.tensor(values), atol=scale / 2 + 1e-7)


def test_full_width_modules_untouched():
    model = net()
    before = [p.detach().clone() for p in model.parameters()]
    vq.quantize(model, vq.QuantizationConfig(default_precision="fp32"))
    assert all(torch.equal(a, b) for a, b in zip(before, model.parameters()))
    for module in model.modules():
        assert module._vantle_precision == "fp32" and module._vantle_accumulator_bits == 16
        assert not hasattr(module, "_vantle_weight_scale")


def test_per_node_full_width_override():
    model = net()
    before = model[4].weight.detach().clone()
    vq.quantize(model, vq.QuantizationConfig(per_node_precision={"4": "fp32"}))
    assert torch.equal(model[4].weight, before) and model[4]._vantle_precision == "fp32"
    assert not hasattr(model[4], "_vantle_weight_scale")
    assert hasattr(model[0], "_vantle_weight_scale")


def test_only_parameters_are_quantized():
    class Custom(nn.Module):
        def __init__(self):
            super().__init__()
            self.register_buffer("weight", torch.full((3,), 0.123))
            self.bias = nn.Parameter(torch.tensor([0.3, -0.7, 0.11]))

    module = Custom()
    vq.quantize(module, vq.QuantizationConfig(default_precision="int4"))
    assert torch.equal(module.weight, torch.full((3,), 0.123))
    assert not hasattr(module, "_vantle_weight_scale")
    assert module._vantle_bias_scale == pytest.approx(0.7 / 7)
    assert torch.allclose(module.bias, torch.tensor([0.3, -0.7, 0.1]))


@pytest.mark.parametrize(
    "data, training", [(None, True), ([], False), ([torch.randn(2, 2, 4, 4)], False)]
)
def test_evaluation_mode_only_with_calibration_data(data, training):
    model = net()
    vq.quantize(model, vq.QuantizationConfig(), data)
    assert model.training is training


def test_calibration_sees_unquantized_weights():
    seen = []
    model = net()
    model[4].register_forward_pre_hook(
        lambda module, inputs: seen.append(module.weight.detach().clone())
    )
    original = model[4].weight.detach().clone()
    vq.quantize(model, vq.QuantizationConfig(default_precision="int4"), [torch.randn(1, 2, 4, 4)])
    assert torch.equal(seen[0], original) and not torch.equal(model[4].weight, original)


def test_calibration_error_propagates_and_leaves_no_hooks():
    model = net()
    with pytest.raises(RuntimeError):
        vq.quantize(model, vq.QuantizationConfig(), [torch.randn(1, 5, 4, 4)])  # wrong channels
    assert all(not module._forward_hooks for module in model.modules())
    assert not hasattr(model[0], "_vantle_precision")
    assert not model.training


@pytest.mark.parametrize("data", [(torch.randn(1, 2, 4, 4),), torch.randn(1, 2, 4, 4)])
def test_calibration_data_must_be_a_list(data):
    with pytest.raises(TypeError) as error:
        vq.quantize(net(), vq.QuantizationConfig(), data)
    expected = type(data).__name__
    assert str(error.value) == (
        f"Argument 'calibration_data' has incorrect type (expected list, got {expected})"
    )


def test_invalid_precision_midway_keeps_earlier_modules_quantized():
    model = net()
    config = vq.QuantizationConfig(per_node_precision={"4": "int3"})
    with pytest.raises(ValueError, match="Unknown precision: int3"):
        vq.quantize(model, config)
    assert hasattr(model[0], "_vantle_weight_scale")
    assert not hasattr(model[4], "_vantle_precision")


def test_shared_parameter_quantized_by_each_owner():
    first = nn.Linear(4, 4, bias=False)
    second = nn.Linear(4, 4, bias=False)
    second.weight = first.weight
    model = nn.Sequential(first, second)
    vq.quantize(model, vq.QuantizationConfig(default_precision="int4"))
    assert second.weight is first.weight
    on_grid(first.weight.detach(), second._vantle_weight_scale, 0, -8, 7)


@pytest.mark.parametrize(
    ("param", "index", "value", "count"),
    [("weight", (3, 2), float("nan"), 1), ("weight", (0, 0), float("inf"), 1),
     ("bias", (5,), float("-inf"), 1), ("bias", slice(None), float("nan"), 16)],
)
def test_non_finite_parameters_are_refused_by_name(param, index, value, count):
    model = net()
    layer = nn.Linear(8, 16)
    model.append(layer)
    with torch.no_grad():
        getattr(layer, param)[index] = value
    before = {name: p.detach().clone() for name, p in layer.named_parameters()}
    total = getattr(layer, param).numel()
    with pytest.raises(ValueError, match=rf"'5\.{param}': {count} of {total} values are NaN or inf"):
        vq.quantize(model, vq.QuantizationConfig())
    # Nothing of the offending module changed; the modules before it were quantized.
    for name, p in layer.named_parameters():
        assert torch.allclose(p, before[name], rtol=0, atol=0, equal_nan=True)
    assert not hasattr(layer, "_vantle_weight_scale") and hasattr(model[4], "_vantle_weight_scale")
