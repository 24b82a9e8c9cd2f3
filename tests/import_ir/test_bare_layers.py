"""Large dense and convolution layers import without random initialisation, to the same result."""

import numpy as np
import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge import import_ir as imp


def normal(rng, *shape):
    return rng.standard_normal(shape).astype(np.float64)  # import casts to float32


def reference(node):
    """The plain conversion: torch's constructor, then the arrays copied into the parameters."""
    weight = node.weight
    if isinstance(node, ir.Affine):
        layer = nn.Linear(weight.shape[1], weight.shape[0])
    elif isinstance(node, ir.Conv1d):
        layer = nn.Conv1d(weight.shape[1] * node.groups, weight.shape[0], weight.shape[2],
                          stride=node.stride, padding=node.padding, groups=node.groups)
    else:
        layer = nn.Conv2d(weight.shape[1] * node.groups, weight.shape[0], weight.shape[2:],
                          stride=node.stride, padding=node.padding, groups=node.groups)
    layer.weight.data = torch.from_numpy(weight.astype(np.float32))
    layer.bias.data = torch.from_numpy(node.bias.astype(np.float32))
    return layer


def nodes(rng):
    # Sizes on both sides of the point where import switches to bare construction.
    return {
        "affine_small": ir.Affine(weight=normal(rng, 3, 5), bias=normal(rng, 3)),
        "affine_large": ir.Affine(weight=normal(rng, 300, 200), bias=normal(rng, 300)),
        "conv1d_large": ir.Conv1d(weight=normal(rng, 64, 32, 9), bias=normal(rng, 64), stride=2,
                                  padding=1, dilation=1, groups=2),
        "conv2d_small": ir.Conv2d(weight=normal(rng, 4, 2, 3, 3), bias=normal(rng, 4)),
        "conv2d_large": ir.Conv2d(weight=normal(rng, 64, 32, 3, 3), bias=normal(rng, 64),
                                  stride=(2, 1), padding=1, dilation=1, groups=2),
    }


def test_imported_layers_equal_the_plain_conversion_and_draw_no_random_numbers():
    graph_nodes = nodes(np.random.default_rng(0))
    torch.manual_seed(0)
    modules = imp.import_ir(ir.Graph(nodes=graph_nodes))
    rng_after_import = torch.get_rng_state()
    for name, node in graph_nodes.items():
        layer, expected = modules[name], reference(node)
        assert type(layer) is type(expected) and repr(layer) == repr(expected), name
        assert layer.training and expected.training
        for (key, got), (_, want) in zip(layer.named_parameters(), expected.named_parameters(),
                                         strict=True):
            assert type(got) is nn.Parameter and got.requires_grad, (name, key)
            assert got.device == want.device and got.dtype == want.dtype == torch.float32
            assert torch.equal(got, want), (name, key)
        assert layer.state_dict().keys() == expected.state_dict().keys()
    torch.manual_seed(0)
    small_only = {name: node for name, node in graph_nodes.items() if name.endswith("small")}
    imp.import_ir(ir.Graph(nodes=small_only))
    # Only the small layers draw their (discarded) initial values.
    assert torch.equal(torch.get_rng_state(), rng_after_import)


def test_large_layers_train_and_own_their_memory():
    node = nodes(np.random.default_rng(1))["conv2d_large"]
    layer = imp.node_to_module(node)
    before = node.weight.copy()
    optimiser = torch.optim.SGD(layer.parameters(), lr=0.1)
    layer(torch.ones(1, 64, 6, 6)).sum().backward()
    optimiser.step()
    assert layer.weight.grad is not None and not torch.equal(
        layer.weight.detach(), torch.from_numpy(before.astype(np.float32)))
    np.testing.assert_array_equal(node.weight, before)  # the node's array is untouched


@pytest.mark.parametrize("bad", ["no_bias", "bad_groups"])
def test_failures_leave_no_torch_function_mode_behind(bad):
    rng = np.random.default_rng(2)
    if bad == "no_bias":
        node, error = ir.Affine(weight=normal(rng, 300, 200), bias=None), AttributeError
    else:
        weight, bias = normal(rng, 64, 32, 3, 3), normal(rng, 64)
        node, error = ir.Conv2d(weight=weight, bias=bias, groups=3), ValueError
    with pytest.raises(error):
        imp.node_to_module(node)
    assert not torch.overrides._is_torch_function_mode_enabled()
    assert torch.nn.Linear(2, 2).weight.abs().sum() > 0  # initialisers work again


def test_layers_of_one_shape_share_nothing_mutable():
    """Layers of a shape already built are copies of one prototype: each must own its
    parameters, registries and flags, as separately constructed layers do."""
    node = nodes(np.random.default_rng(3))["conv2d_large"]
    graph = ir.Graph(nodes={"a": node, "b": node})
    first = imp.import_ir(graph)
    a, b = first["a"], first["b"]
    c = imp.node_to_module(node)
    assert a.__dict__.keys() == reference(node).__dict__.keys()
    a.register_forward_hook(lambda m, i, o: None)
    a.register_buffer("extra", torch.zeros(1), persistent=False)
    a.add_module("child", nn.ReLU())
    a.train(False)
    with torch.no_grad():
        a.weight.zero_()
    x = torch.ones(1, 64, 6, 6)
    for other in (b, c, imp.node_to_module(node)):
        assert not other._forward_hooks and "extra" not in other._buffers
        assert not other._non_persistent_buffers_set and not other._modules
        assert other.training and other.weight.abs().sum() > 0
        assert other.weight.data_ptr() != a.weight.data_ptr()
        assert torch.equal(other(x), reference(node)(x))
