"""Global and adaptive pooling heads: exact pooling nodes where the traced sizes divide,
a warning naming the layer or operation where they do not."""

from __future__ import annotations

import warnings

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from vantle.bridge import GraphExecutor
from vantle.bridge.export_ir import check_export, export_ir
from vantle.bridge.import_ir import import_ir


class Head(nn.Module):
    def __init__(self, pool):
        super().__init__()
        self.conv, self.pool = nn.Conv2d(3, 4, 3, padding=1), pool

    def forward(self, x):
        return self.pool(self.conv(x))


class Fn(nn.Module):
    def __init__(self, fn):
        super().__init__()
        self.fn = fn

    def forward(self, x):
        return self.fn(x)


# name: (pooling, node kinds after the convolution, or the warning's pattern)
CASES = {
    "adaptive_avg_1": (nn.AdaptiveAvgPool2d(1), ["AvgPool2d"]),
    "adaptive_avg_2x2": (nn.AdaptiveAvgPool2d((2, 2)), ["AvgPool2d"]),
    "adaptive_avg_none": (nn.AdaptiveAvgPool2d((None, 2)), ["AvgPool2d"]),
    "adaptive_max_1": (nn.AdaptiveMaxPool2d(1), ["MaxPool2d"]),
    "functional_avg": (Fn(lambda x: F.adaptive_avg_pool2d(x, 1)), ["AvgPool2d"]),
    "functional_max": (Fn(lambda x: F.adaptive_max_pool2d(x, (2, 4))), ["MaxPool2d"]),
    "mean": (Fn(lambda x: x.mean((2, 3))), ["AvgPool2d", "Flatten"]),
    "mean_negative": (Fn(lambda x: torch.mean(x, dim=[-1, -2])), ["AvgPool2d", "Flatten"]),
    "mean_keepdim": (Fn(lambda x: x.mean((2, 3), keepdim=True)), ["AvgPool2d"]),
    "adaptive_avg_3": (nn.AdaptiveAvgPool2d(3),
                       r"module 'pool' \(AdaptiveAvgPool2d\) pools \(4, 8, 8\) to \(4, 3, 3\)"),
    "adaptive_max_indices": (nn.AdaptiveMaxPool2d(1, return_indices=True),
                             r"module 'pool' \(AdaptiveMaxPool2d\) returns indices"),
    "functional_uneven": (Fn(lambda x: F.adaptive_avg_pool2d(x, 5)),
                          r"operation 'adaptive_avg_pool2d' .* does not divide"),
    "mean_of_channels": (Fn(lambda x: x.mean(1)), r"operation 'mean' .* other than height"),
}


@pytest.mark.parametrize("name", list(CASES))
def test_pooling_heads(name):
    torch.manual_seed(0)
    pool, expected = CASES[name]
    model = Head(pool).eval()
    x = torch.randn(2, 3, 8, 8)
    if isinstance(expected, str):
        with pytest.warns(UserWarning, match=expected):
            export_ir(model, x)
        with pytest.raises(ValueError, match=expected):
            export_ir(model, x, strict=True)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        graph = export_ir(model, x)
    kinds = [type(node).__name__ for node in graph.nodes.values()]
    assert kinds == ["Input", "Conv2d", *expected, "Output"]
    executor = GraphExecutor(import_ir(graph), graph.edges).eval()
    with torch.no_grad():
        torch.testing.assert_close(executor(x), model(x), rtol=0, atol=1e-5)
    assert check_export(model, graph, x).ok
