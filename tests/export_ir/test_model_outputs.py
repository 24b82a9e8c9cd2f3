"""What a model returns: one Output node per tensor, named after its place, and a warning
for every returned value the graph leaves out."""

from __future__ import annotations

import collections
import re
import warnings

import pytest
import torch
from torch import nn

from vantle.bridge.export_ir import export_ir

Pair = collections.namedtuple("Pair", "spikes rates")


class Box:
    def __init__(self, value):
        self.value = value


def nested(value, depth):
    for _ in range(depth):
        value = [value]
    return value


class Returns(nn.Module):
    def __init__(self, shape):
        super().__init__()
        self.fc, self.shape = nn.Linear(4, 4), shape

    def forward(self, x):
        return self.shape(self.fc(x))


# name: (what the model returns from y = fc(x), Output node names, warning pattern or None)
CASES = {
    "tensor": (lambda y: y, ["output"], None),
    "tuple": (lambda y: (y, torch.relu(y)), ["output", "output_1"], None),
    "named_tuple": (lambda y: Pair(y, torch.sigmoid(y)), ["output_spikes", "output_rates"], None),
    "odd_keys": (lambda y: {1: y, (2, 3): torch.tanh(y), "a.b": torch.relu(y)},
                 ["output_1", "output_2_3", "output_a_b"], None),
    "nested_in_tuple": (lambda y: (y, [torch.relu(y)]), ["output", "output_1_0"], None),
    "constant": (lambda y: (y, torch.ones(3)), ["output"],
                 r"the model's output \[1\] does not depend on the model's input"),
    "object": (lambda y: {"main": y, "extra": Box(y)}, ["output_main"],
               r"returns an object of type Box at \['extra'\], which export cannot look into"),
    "too_deep": (lambda y: (y, nested(torch.relu(y), 40)), ["output"],
                 r"containers nested deeper than 16 levels at \[1\]\[0\]"),
    "nothing": (lambda y: None, [], r"returns no value the exported graph can compute"),
}


@pytest.mark.parametrize("name", list(CASES))
def test_returned_values_become_outputs_or_are_reported(name):
    shape, outputs, warning = CASES[name]
    model = Returns(shape)
    x = torch.randn(2, 4)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        graph = export_ir(model, x)
    assert [node for node in graph.nodes if node.startswith("output")] == outputs
    messages = [str(w.message) for w in caught]
    if warning is None:
        assert messages == []
        return
    assert any(re.search(warning, m) for m in messages), messages
    with pytest.raises(ValueError, match=warning):
        export_ir(model, x, strict=True)


def test_warnings_point_at_the_line_that_exported():
    with pytest.warns(UserWarning) as caught:
        export_ir(Returns(lambda y: None), torch.randn(2, 4))
    assert caught[0].filename == __file__  # not the wrapper that carries the signature
