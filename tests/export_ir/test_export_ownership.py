"""An exported graph owns its data, and exporting leaves a running model as it was."""

import numpy as np
import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge import GraphExecutor
from vantle.bridge.export_ir import VANTLEExporter, export_ir
from vantle.bridge.import_ir import import_ir


def test_exported_arrays_do_not_follow_later_training():
    model = nn.Sequential(nn.Linear(3, 2))
    graph = export_ir(model, torch.ones(1, 3))
    (affine,) = [n for n in graph.nodes.values() if isinstance(n, ir.Affine)]
    before = affine.weight.copy()
    with torch.no_grad():
        model[0].weight.add_(1.0)
    np.testing.assert_array_equal(affine.weight, before)


BUFFERS = {
    "contiguous": lambda: torch.arange(4.0),
    "parameter needing grad": lambda: nn.Parameter(torch.arange(4.0)),
    "strided view": lambda: torch.arange(8.0)[::2],
    "negated view": lambda: torch._neg_view(torch.arange(4.0)),
    "float64": lambda: torch.arange(4.0, dtype=torch.float64),
    "empty": lambda: torch.zeros(0),
    "sparse": lambda: torch.arange(4.0).to_sparse(),
}


@pytest.mark.parametrize("make", BUFFERS.values(), ids=BUFFERS.keys())
def test_every_kind_of_tensor_exports_as_the_documented_chain_gives_it(make):
    tensor = make()
    norm = nn.BatchNorm1d(4)
    norm.running_mean = tensor  # as a plain attribute: any tensor the layer may hold
    convert = lambda: VANTLEExporter()._convert_module(norm, (4,), (4,))  # noqa: E731
    try:
        expected = tensor.detach().cpu().numpy()
    except Exception as refused:  # sparse and negated tensors have no NumPy form
        with pytest.raises(type(refused)):
            convert()
        return
    array = convert().running_mean
    assert array.dtype == expected.dtype and array.shape == expected.shape
    np.testing.assert_array_equal(array, expected)
    assert array.flags.c_contiguous and array.flags.owndata


def test_exporting_an_executor_keeps_its_membranes():
    # From rest, step 1 reaches 0.5 (silent) and step 2 reaches 0.75 (fires).
    lif = ir.LIF(tau=np.full(2, 2.0), r=np.ones(2), v_leak=np.zeros(2), v_threshold=np.full(2, 0.7))
    graph = ir.Graph(
        nodes={"input": ir.Input(), "lif": lif, "output": ir.Output()},
        edges=[("input", "lif"), ("lif", "output")],
    )
    executor = GraphExecutor(import_ir(graph), graph.edges)
    with torch.no_grad():
        executor(torch.ones(1, 2))
        expected = executor(torch.ones(1, 2))
        assert expected.tolist() == [[1.0, 1.0]]
        executor.reset_state()
        executor(torch.ones(1, 2))
        export_ir(executor, torch.ones(1, 2))
        # The second step continues from the first, as if the export had not run.
        assert torch.equal(executor(torch.ones(1, 2)), expected)


def test_a_replaced_tensor_method_sees_every_exported_tensor(monkeypatch):
    moved = []
    cpu = torch.Tensor.cpu

    def spy_cpu(self, *args, **kwargs):
        moved.append(tuple(self.shape))
        return cpu(self, *args, **kwargs)

    monkeypatch.setattr(torch.Tensor, "cpu", spy_cpu)
    graph = export_ir(nn.Sequential(nn.Linear(3, 2)), torch.ones(1, 3))
    assert moved == [(2, 3), (2,)]
    assert graph.nodes["0"].weight.shape == (2, 3)
