"""Helpers shared by the export tests."""

from __future__ import annotations

import dataclasses
import warnings
from typing import Any, Callable, List, Sequence, Tuple

import numpy as np
import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge import GraphExecutor
from vantle.bridge.export_ir import VANTLEExporter, check_export, export_ir
from vantle.bridge.import_ir import import_ir


def convert(module: nn.Module, in_shape: Tuple[int, ...], out_shape: Tuple[int, ...], **options):
    """One module through the exporter's rule chain."""
    return VANTLEExporter(**options)._convert_module(module, in_shape, out_shape)


def shape_of(port: dict, name: str) -> list:
    """A port's shape as a list, after checking it is an integer array."""
    array = port[name]
    assert isinstance(array, np.ndarray) and array.dtype.kind == "i"
    return array.tolist()


# --- The export corpus (test_export_corpus*.py) ------------------------------------------------

STEPS = 25  # time steps of a spiking model's sequence


def one(*shape: int) -> Callable[[], List[torch.Tensor]]:
    """One random sample of the given shape, made when the case runs (after seeding)."""
    return lambda: [torch.randn(*shape)]


def tensor_leaves(value: Any) -> List[torch.Tensor]:
    """The tensors of a model's output in order: dict values, list and tuple items, and the
    fields of a dataclass, depth first."""
    if isinstance(value, torch.Tensor):
        return [value]
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        value = [getattr(value, field.name) for field in dataclasses.fields(value)]
    elif isinstance(value, dict):
        value = list(value.values())
    if isinstance(value, (list, tuple)):
        return [leaf for item in value for leaf in tensor_leaves(item)]
    return []


def settle_batch_norms(model: nn.Module) -> nn.Module:
    """Gives every batch norm running statistics and an affine part that are not the identity,
    so that a graph which drops or misplaces one computes something else."""
    for module in model.modules():
        if isinstance(module, nn.modules.batchnorm._BatchNorm):
            with torch.no_grad():
                module.running_mean.uniform_(-0.5, 0.5)
                module.running_var.uniform_(0.5, 2.0)
                if module.affine:
                    module.weight.uniform_(0.5, 1.5)
                    module.bias.uniform_(-0.5, 0.5)
    return model


def export_without_warnings(model: nn.Module, sample: Any) -> ir.Graph:
    """The model's graph; any warning fails the test (export claims the graph is exact)."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return export_ir(model, sample)


def assert_export_warns(model: nn.Module, sample: Any, pattern: str) -> ir.Graph:
    """Export warns with a message matching ``pattern`` (the module or operation it could not
    carry), and refuses the model with strict=True."""
    with pytest.warns(UserWarning, match=pattern):
        graph = export_ir(model, sample)
    with pytest.raises(ValueError, match=pattern):
        export_ir(model, sample, strict=True)
    return graph


def assert_check_fails(model: nn.Module, graph: ir.Graph, samples: Sequence[Any]) -> None:
    """check_export finds where a graph that export warned about parts from the model."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        report = check_export(model, graph, *samples)
    assert not report.ok, str(report)


def output_nodes(graph: ir.Graph) -> List[str]:
    """The names of the graph's Output nodes, in graph order."""
    return [name for name, node in graph.nodes.items() if type(node).__name__ == "Output"]


def run_graph(graph: ir.Graph, calls: Sequence[Tuple[Any, ...]]) -> List[List[torch.Tensor]]:
    """The imported graph's output tensors for each call, one executor call per entry (one time
    step of a spiking graph), from rest."""
    executor = GraphExecutor(import_ir(graph), graph.edges).eval()
    with torch.no_grad():
        return [tensor_leaves(executor(*args)) for args in calls]


def assert_same_outputs(expected: Sequence[Sequence[torch.Tensor]],
                        actual: Sequence[Sequence[torch.Tensor]]) -> None:
    """Per call, the same number of output tensors, each equal to the model's: spikes exactly
    (and some neurons fire, not all, so the comparison means something), other values within
    1e-5."""
    assert len(actual) == len(expected)
    for step, (want, got) in enumerate(zip(expected, actual)):
        assert len(got) == len(want), (
            f"call {step}: the graph gives {len(got)} output tensors, the model {len(want)}")
    for leaf in range(len(expected[0]) if expected else 0):
        want = torch.stack([outputs[leaf] for outputs in expected])
        got = torch.stack([outputs[leaf] for outputs in actual])
        if want.dtype == torch.float32 and ((want == 0) | (want == 1)).all():
            assert 0 < int(want.sum()) < want.numel(), f"output {leaf}: no informative spikes"
            assert torch.equal(got, want), (
                f"output {leaf}: {int((got != want).sum())} of {want.numel()} spikes differ")
        else:
            torch.testing.assert_close(got, want, rtol=0, atol=1e-5, msg=lambda text: (
                f"output {leaf}: {text}"))
