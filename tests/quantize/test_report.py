"""quantization_report: a dry run of quantize that measures each layer's grid and rounding error."""

import copy
import json
import math

import numpy as np
import pytest
import torch
from torch import nn

from vantle.bridge import quantize as vq
from vantle.bridge.quant_report import LayerReport, quantization_report


def net():
    torch.manual_seed(0)
    return nn.Sequential(nn.Conv2d(2, 4, 3, bias=False), nn.BatchNorm2d(4), nn.ReLU(),
                         nn.Flatten(), nn.Linear(16, 3))


def symmetric_reference(weight: np.ndarray, bits: int):
    """Scale, largest error and SQNR of symmetric rounding, computed plainly in NumPy."""
    scale = max(np.abs(weight).max(), 1e-8) / (2 ** (bits - 1) - 1)
    rounded = np.clip(np.round(weight / scale), -(2 ** (bits - 1)), 2 ** (bits - 1) - 1) * scale
    noise = np.sum((weight - rounded) ** 2)
    return scale, np.abs(weight - rounded).max(), 10 * np.log10(np.sum(weight ** 2) / noise)


def test_symmetric_rows_match_a_plain_computation_and_overrides_stay_unrounded():
    model = net()
    config = vq.QuantizationConfig("int8", per_node_precision={"4": "int4", "1": "fp32"})
    report = quantization_report(model, config)
    assert [(row.name, row.kind, row.precision, row.bits, row.parameter) for row in report] == [
        ("0", "Conv2d", "int8", 8, "weight"),
        ("1", "BatchNorm2d", "fp32", 32, "weight"),
        ("4", "Linear", "int4", 4, "weight"),
    ]
    for row, bits in ((report[0], 8), (report[2], 4)):
        weight = dict(model.named_parameters())[f"{row.name}.weight"].detach().double().numpy()
        scale, max_error, sqnr = symmetric_reference(weight, bits)
        assert (row.weight_min, row.weight_max) == pytest.approx((weight.min(), weight.max()))
        assert row.zero_point == 0 and row.scale == pytest.approx(scale, rel=1e-6)
        assert row.max_abs_error == pytest.approx(max_error, rel=1e-4)
        assert row.sqnr_db == pytest.approx(sqnr, rel=1e-4)
    assert report[0].bias_scale is None and report[2].bias_scale is not None
    unrounded = report[1]
    assert unrounded.scale is None and unrounded.max_abs_error == 0
    assert unrounded.sqnr_db == math.inf


@pytest.mark.parametrize("symmetric, precision", [(True, "int8"), (False, "int8"), (False, "int4")])
def test_report_predicts_what_quantize_then_does(symmetric, precision):
    model = net()
    config = vq.QuantizationConfig(precision, symmetric=symmetric)
    report = {row.name: row for row in quantization_report(model, config)}
    originals = {name: p.detach().clone() for name, p in model.named_parameters()}
    vq.quantize(model, config)
    for name, layer in (("0", model[0]), ("1", model[1]), ("4", model[4])):
        row = report[name]
        assert (row.scale, row.zero_point) == (layer._vantle_weight_scale, layer._vantle_weight_zp)
        error = (layer.weight.detach() - originals[f"{name}.weight"]).abs().max().item()
        assert row.max_abs_error == pytest.approx(error, rel=1e-5, abs=1e-12)
        if layer.bias is not None:
            bias_error = (layer.bias.detach() - originals[f"{name}.bias"]).abs().max().item()
            assert row.bias_scale == layer._vantle_bias_scale
            assert row.bias_max_abs_error == pytest.approx(bias_error, rel=1e-5, abs=1e-12)


def test_calibrated_report_gives_output_ranges_and_changes_nothing():
    model = net()
    model[1].train()
    before = copy.deepcopy(model.state_dict())
    samples = [torch.randn(2, 2, 4, 4, generator=torch.Generator().manual_seed(seed))
               for seed in range(3)]
    report = quantization_report(model, vq.QuantizationConfig(), calibration_data=samples)
    # The model is as it was: weights, statistics, flags and attributes.
    assert all(torch.equal(before[key], value) for key, value in model.state_dict().items())
    assert all(module.training for module in model.modules())
    assert not any(hasattr(m, "_vantle_precision") for m in model.modules())
    with torch.no_grad():
        model.eval()
        conv_outputs = torch.cat([model[0](x).flatten() for x in samples])
        linear_outputs = torch.cat([model(x).flatten() for x in samples])
    ranges = {row.name: (row.activation_min, row.activation_max) for row in report}
    assert ranges["0"] == pytest.approx((conv_outputs.min().item(), conv_outputs.max().item()))
    assert ranges["4"] == pytest.approx((linear_outputs.min().item(), linear_outputs.max().item()))


def test_report_is_data_and_a_table():
    layer = nn.Linear(3, 2)
    with torch.no_grad():
        # Multiples of 1/64 with the largest 127/64: the grid's step is exactly 1/64.
        layer.weight.copy_(torch.tensor([[0.5, -1.984375, 0.25], [1.0, 0.0, -0.5]]))
        layer.bias.zero_()
    report = quantization_report(nn.Sequential(layer), vq.QuantizationConfig("int8"))
    rows = report.to_dicts()
    assert json.loads(json.dumps(rows, default=str))[0]["name"] == "0"
    assert set(rows[0]) == set(LayerReport.__dataclass_fields__)
    assert rows[0]["max_abs_error"] == 0 and rows[0]["sqnr_db"] == math.inf
    lines = str(report).splitlines()
    assert lines[0].split()[:3] == ["layer", "kind", "precision"]
    assert "exact" in lines[2] and "[-1.984, 1]" in lines[2]
    assert report.table({"0": "fc"}).splitlines()[2].startswith("fc ")


def test_unknown_precision_raises_like_quantize():
    with pytest.raises(ValueError, match="Unknown precision: int7"):
        quantization_report(net(), vq.QuantizationConfig("int7"))
