import numpy as np
import pytest
import torch
from torch import nn

from vantle.bridge import quantize as vq


class Pair(nn.Module):
    """Returns (x * 2, x * 100): only the first element is measured."""

    def forward(self, x):
        return x * 2, x * 100


class First(nn.Module):
    def forward(self, pair):
        return pair[0]


def model():
    return nn.Sequential(nn.Identity(), Pair(), First(), nn.ReLU())


def test_minmax_accumulates_over_inputs():
    net = model()
    data = [torch.tensor([[-1.0, 2.0]]), torch.tensor([[0.5, 3.0]]), torch.tensor([[-4.0, 1.0]])]
    stats = vq._collect_statistics(net, data, vq.QuantizationConfig())
    assert stats == {
        "0": {"min": -4.0, "max": 3.0},
        "1": {"min": -8.0, "max": 6.0},
        "2": {"min": -8.0, "max": 6.0},
        "3": {"min": 0.0, "max": 6.0},
    }
    assert list(stats) == ["0", "1", "2", "3"]
    assert all(type(value) is float for entry in stats.values() for value in entry.values())


@pytest.mark.parametrize("method", ["minmax", "entropy", "anything"])
def test_methods_other_than_percentile_use_min_and_max(method):
    config = vq.QuantizationConfig(calibration_method=method)
    stats = vq._collect_statistics(nn.Sequential(nn.Identity()), [torch.arange(10.0)], config)
    assert stats == {"0": {"min": 0.0, "max": 9.0}}


@pytest.mark.parametrize("percentile", [99.99, 90, 75.0])
def test_percentile_uses_quantiles_of_all_elements(percentile):
    data = [torch.randn(4, 1000), torch.randn(2, 1000) * 3]
    config = vq.QuantizationConfig(calibration_method="percentile", percentile=percentile)
    entry = vq._collect_statistics(nn.Sequential(nn.Identity()), data, config)["0"]
    lows = [torch.quantile(x.flatten(), (100 - percentile) / 100).item() for x in data]
    highs = [torch.quantile(x.flatten(), percentile / 100).item() for x in data]
    assert entry == {"min": min(lows), "max": max(highs)}
    assert entry["max"] < max(x.max().item() for x in data)


def test_percentile_of_outputs_beyond_torch_quantile_limit():
    # torch.quantile refuses more than 2**24 elements; a 64 x 640 x 640 map has 26M.
    generator = torch.Generator().manual_seed(3)
    data = torch.randn(1, 2**24 + 3, generator=generator)
    config = vq.QuantizationConfig(calibration_method="percentile")
    entry = vq._collect_statistics(nn.Sequential(nn.Identity()), [data], config)["0"]
    # At these tails neighbouring order statistics lie ~1e-4 apart: one rank off would show.
    low, high = np.quantile(data.double().numpy(), [(100 - 99.99) / 100, 99.99 / 100])
    assert entry["min"] == pytest.approx(low, rel=1e-6)
    assert entry["max"] == pytest.approx(high, rel=1e-6)


def test_percentile_of_one_element():
    config = vq.QuantizationConfig(calibration_method="percentile")
    stats = vq._collect_statistics(nn.Sequential(nn.Identity()), [torch.tensor([2.5])], config)
    assert stats == {"0": {"min": 2.5, "max": 2.5}}


@pytest.mark.parametrize("output", [
    lambda x: None, lambda x: [x], lambda x: {"y": x}, lambda x: (), lambda x: (None, x),
])
def test_outputs_without_a_tensor_record_nothing(output):
    class Returns(nn.Module):
        def forward(self, x):
            return output(x)

    net = nn.Sequential(Returns())
    assert vq._collect_statistics(net, [torch.ones(2)], vq.QuantizationConfig()) == {}


def test_hooks_live_only_during_collection_and_model_goes_to_eval():
    net = model()
    stats = vq._collect_statistics(net, [], vq.QuantizationConfig())
    assert stats == {} and not net.training
    assert all(not module._forward_hooks for module in net.modules())
    net.train()
    assert vq._collect_statistics(net, None, vq.QuantizationConfig()) == {}
    assert net.training


def test_hooks_removed_when_a_pass_raises():
    net = model()
    with pytest.raises(TypeError):
        vq._collect_statistics(net, [torch.ones(2), "not a tensor"], vq.QuantizationConfig())
    assert all(not module._forward_hooks for module in net.modules())


def test_calibration_runs_without_autograd():
    grad_modes = []
    net = nn.Sequential(nn.Linear(2, 2))
    net.register_forward_pre_hook(lambda module, inputs: grad_modes.append(torch.is_grad_enabled()))
    vq._collect_statistics(net, [torch.ones(1, 2), torch.ones(1, 2)], vq.QuantizationConfig())
    assert grad_modes == [False, False] and torch.is_grad_enabled()


def test_calibration_data_type_is_checked():
    expected = r"'calibration_data' has incorrect type \(expected list, got tuple\)"
    with pytest.raises(TypeError, match=expected):
        vq._collect_statistics(model(), (torch.ones(1, 2),), vq.QuantizationConfig())
