import collections
import copy
import pickle

import pytest
import torch
from torch import nn

from vantle.bridge import quantize as vq

State = collections.namedtuple("State", "spikes membrane")


class Neuron(nn.Module):
    """Returns (spikes, membrane) like a spiking layer."""

    def __init__(self, as_named=False):
        super().__init__()
        self.as_named = as_named

    def forward(self, x):
        out = (x * 1.0, x * 3.0)
        return State(*out) if self.as_named else out


def hooks(module):
    return list(module._forward_hooks.values())


def test_full_width_gets_no_hooks():
    net = nn.Sequential(nn.Linear(3, 3), nn.Linear(3, 1))
    x = torch.randn(4, 3)
    expected = net(x)
    vq.quantize_aware_training(net, vq.QuantizationConfig("int32"))
    assert all(not hooks(module) for module in net.modules())
    assert torch.equal(net(x), expected)
    assert vq.get_precision_map(net) == {"": "int32", "0": "int32", "1": "int32"}


def test_every_narrow_module_and_the_model_get_one_hook():
    net = nn.Sequential(nn.Linear(3, 3), nn.Sequential(nn.ReLU()), nn.Linear(3, 1))
    config = vq.QuantizationConfig(per_node_precision={"2": "fp32", "1.0": "int4"})
    assert vq.quantize_aware_training(net, config) is net
    counts = {name: len(hooks(module)) for name, module in net.named_modules()}
    assert counts == {"": 1, "0": 1, "1": 1, "1.0": 1, "2": 0}
    assert [(h.bits, h.symmetric) for h in hooks(net[1][0])] == [(4, True)]


def test_output_takes_at_most_256_levels():
    net = nn.Linear(8, 64)
    vq.quantize_aware_training(net, vq.QuantizationConfig())
    x = torch.randn(32, 8)
    raw = nn.functional.linear(x, net.weight, net.bias)
    out = net(x)
    step = raw.abs().max().item() / 127
    assert out.unique().numel() <= 256
    levels = out.detach().double() / step
    assert torch.allclose(levels, levels.round(), atol=1e-3)
    assert (out - raw).abs().max() <= step / 2 + 1e-6


def test_zero_output_stays_zero():
    net = nn.Linear(4, 2)
    nn.init.zeros_(net.weight)
    nn.init.zeros_(net.bias)
    vq.quantize_aware_training(net, vq.QuantizationConfig())
    assert torch.equal(net(torch.randn(3, 4)), torch.zeros(3, 2))


@pytest.mark.parametrize("as_named", [False, True])
def test_tuple_output_quantizes_only_the_first_element(as_named):
    net = Neuron(as_named)
    vq.quantize_aware_training(net, vq.QuantizationConfig(default_precision="int4"))
    x = torch.linspace(-1, 1, 50)
    out = net(x)
    assert type(out) is tuple and len(out) == 2
    assert out[0].unique().numel() <= 16 and not torch.equal(out[0], x)
    assert torch.equal(out[1], x * 3.0)


@pytest.mark.parametrize(
    "output", [lambda x: [x], lambda x: {"y": x}, lambda x: (), lambda x: ("tag", x)]
)
def test_outputs_without_a_leading_tensor_pass_unchanged(output):
    class Returns(nn.Module):
        def forward(self, x):
            return output(x)

    net = vq.quantize_aware_training(Returns(), vq.QuantizationConfig())
    x = torch.randn(5)
    result = net(x)
    expected = output(x)
    assert type(result) is type(expected) and len(result) == len(expected)


def test_settings_are_captured_at_preparation():
    config = vq.QuantizationConfig(symmetric=True)
    net = vq.quantize_aware_training(nn.Identity(), config)
    config.symmetric = False
    config.default_precision = "int4"
    x = torch.linspace(0.0, 1.0, 1000)
    # Symmetric 8-bit on [0, 1]: steps of 1/127, so 128 levels.
    assert net(x).unique().numel() == 128


def test_preparing_twice_doubles_the_hooks():
    net = nn.Identity()
    config = vq.QuantizationConfig(default_precision="int4")
    vq.quantize_aware_training(net, config)
    once = net(torch.linspace(-1, 1, 101))
    vq.quantize_aware_training(net, config)
    assert len(hooks(net)) == 2
    assert torch.equal(net(torch.linspace(-1, 1, 101)), once)  # quantizing a grid again keeps it


def test_gradient_passes_straight_through():
    net = nn.Linear(4, 3)
    vq.quantize_aware_training(net, vq.QuantizationConfig())
    x = torch.randn(6, 4, requires_grad=True)
    net(x).sum().backward()
    # No value is clamped on a grid spanning the output's own range.
    assert torch.allclose(x.grad, net.weight.sum(0).expand(6, 4))
    assert torch.allclose(net.weight.grad, x.detach().sum(0).expand(3, 4))


def test_training_under_quantization_lowers_the_loss():
    torch.manual_seed(0)
    net = nn.Sequential(nn.Linear(4, 16), nn.ReLU(), nn.Linear(16, 1))
    vq.quantize_aware_training(net, vq.QuantizationConfig(symmetric=False))
    x = torch.randn(64, 4)
    y = x @ torch.tensor([[1.0], [-2.0], [0.5], [3.0]])
    optimizer = torch.optim.SGD(net.parameters(), lr=0.05)
    losses = []
    for _ in range(30):
        optimizer.zero_grad()
        loss = nn.functional.mse_loss(net(x), y)
        loss.backward()
        optimizer.step()
        losses.append(loss.item())
    assert losses[-1] < 0.5 * losses[0]


def test_prepared_model_copies_and_pickles():
    net = vq.quantize_aware_training(nn.Sequential(nn.Linear(3, 2)), vq.QuantizationConfig("int4"))
    x = torch.randn(2, 3)
    for clone in (copy.deepcopy(net), pickle.loads(pickle.dumps(net))):
        assert torch.equal(clone(x), net(x))
        assert len(hooks(clone[0])) == 1


def test_empty_output_fails_in_the_hook():
    net = vq.quantize_aware_training(nn.Identity(), vq.QuantizationConfig())
    with pytest.raises(RuntimeError):
        net(torch.empty(0))
