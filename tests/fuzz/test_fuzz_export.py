"""Fuzzing the exporter: what fuzzing found stays fixed, and a seeded pass finds nothing new."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import warnings

import pytest
import torch
from torch import nn

import fuzz_export
from export_odd_modules import BrokenStr, ExportsInThread, Raises
from vantle.bridge import export_ir as export_module
from vantle.bridge import GraphExecutor
from vantle.bridge.export_ir import check_export, export_ir
from vantle.bridge.import_ir import import_ir

SEEDED_INPUTS = 600


def in_child(code: str) -> subprocess.CompletedProcess:
    """Runs ``code`` in a child interpreter: a crash there fails the test, not the run."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=300)


def instance_forward() -> nn.Module:
    layer = nn.Linear(4, 4)
    layer.forward = lambda x: x * 2.0  # replaces the layer's computation
    return nn.Sequential(layer, nn.ReLU())


class WritesThenJoins(nn.Module):
    def forward(self, x):
        y = x.clone()
        y[:, 0] = 0.0
        return torch.cat([y, y], 1)


# Found refusals: the model, the sample, the error the export gives, a pattern of its text.
REFUSALS = {
    "error text with a lone surrogate": (
        Raises(lambda: RuntimeError("odd \udc80 text"), 0), torch.randn(2, 3), RuntimeError,
        r"odd \\udc80 text"),
    "error whose str() raises": (
        Raises(BrokenStr, 0), torch.randn(2, 3), RuntimeError, r"<exception str\(\) failed>"),
    "function as the model": (
        lambda x: x, torch.randn(2, 3), TypeError,
        r"Argument 'model' has incorrect type \(expected Module, got function\)"),
    "number as the model": (42, torch.randn(2, 3), TypeError, r"expected Module, got int"),
    "scripted model": (
        torch.jit.script(nn.Sequential(nn.Linear(3, 2))), torch.randn(2, 3), TypeError,
        r"the model is a TorchScript module"),
    "scripted layer": (
        nn.Sequential(torch.jit.script(nn.Linear(3, 2))), torch.randn(2, 3), TypeError,
        r"module '0' is a TorchScript module"),
    "nested tensor sample": (
        nn.ReLU(), torch.nested.nested_tensor([torch.randn(3), torch.randn(2)]), ValueError,
        r"nested tensor"),
}


@pytest.mark.parametrize("name", list(REFUSALS))
def test_found_refusals_are_clear(name):
    model, sample, error, pattern = REFUSALS[name]
    with pytest.raises(error, match=pattern):
        export_ir(model, sample)


def test_a_multi_step_model_refusing_a_sparse_sequence_is_not_exported():
    # Sliced into steps, the sparse sequence would trace; the model itself reshapes it and fails.
    pytest.importorskip("spikingjelly.activation_based")
    from spikingjelly.activation_based import functional, layer, neuron

    net = nn.Sequential(layer.Linear(4, 3), neuron.LIFNode())
    functional.set_step_mode(net, "m")
    with pytest.raises(RuntimeError, match="reshape is not implemented for sparse tensors"):
        export_ir(net, torch.rand(3, 2, 4).to_sparse(), spiking=True)


def test_imported_neurons_export_from_samples_of_more_dimensions_than_numpy_broadcasts():
    from export_odd_modules import UsesBridge

    model = nn.Sequential(UsesBridge(3, "lif"), nn.Sigmoid()).eval()
    x = torch.rand(*([1] * 40), 3)  # 41 dimensions; NumPy broadcasts at most 32
    assert check_export(model, export_ir(model, x), x).ok


# Found silent inexact exports: each now names what the graph cannot carry.
REPORTED = {
    "divisor_override": (nn.Sequential(nn.ReLU(), nn.AvgPool2d(2, divisor_override=3)),
                         (2, 3, 4, 4), r"divisor_override=3"),
    "batch norm without running statistics": (
        nn.Sequential(nn.ReLU(), nn.BatchNorm1d(4, track_running_stats=False)), (3, 4),
        r"batch's own statistics"),
    "reflect padding": (nn.Sequential(nn.ReLU(), nn.Conv2d(2, 2, 3, padding=1,
                                                           padding_mode="reflect")),
                        (2, 2, 5, 5), r"padding_mode='reflect'"),
    "circular padding": (nn.Sequential(nn.ReLU(), nn.Conv1d(2, 2, 3, padding=1,
                                                            padding_mode="circular")),
                         (2, 2, 6), r"padding_mode='circular'"),
    "upsampled sequence": (nn.Sequential(nn.ReLU(), nn.Upsample(scale_factor=2)), (2, 3, 5),
                           r"upsamples a sequence"),
    "forward set on a layer": (instance_forward(), (2, 4), r"operation 'mul'"),
}


@pytest.mark.parametrize("name", list(REPORTED))
def test_found_inexact_exports_warn_and_fail_the_check(name):
    model, shape, pattern = REPORTED[name]
    torch.manual_seed(0)
    x = torch.rand(shape) + 0.5  # what the ReLU passes on, so that every padding shows
    with pytest.warns(UserWarning, match=pattern):
        graph = export_ir(model, x)
    with pytest.raises(ValueError, match=pattern):
        export_ir(model, x, strict=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert not check_export(model, graph, x).ok


def test_a_write_into_the_data_then_a_join_exports_with_a_warning():
    x = torch.randn(2, 4)
    with pytest.warns(UserWarning, match="setitem"):
        graph = export_ir(WritesThenJoins(), x)
    assert [type(node).__name__ for node in graph.nodes.values()].count("Concat") == 1


def test_a_model_tree_deeper_than_the_recursion_limit_is_refused_without_a_crash():
    result = in_child("""
        import torch
        from torch import nn
        from vantle.bridge.export_ir import export_ir
        model = nn.ReLU()
        for _ in range(200_000):
            outer = nn.Sequential()
            outer._modules["0"] = model
            model = outer
        try:
            export_ir(model, torch.randn(2, 3))
        except RecursionError as error:
            print("refused:", error)
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "refused: maximum recursion depth exceeded while walking" in result.stdout


def nested(depth: int) -> nn.Module:
    model: nn.Module = nn.ReLU()
    for _ in range(depth):
        outer = nn.Sequential()
        outer._modules["0"] = model
        model = outer
    return model


def test_a_model_nested_as_deep_as_it_runs_exports_and_the_limit_comes_back():
    x, limit = torch.randn(2, 3), sys.getrecursionlimit()
    depth = 1
    while True:  # the deepest nesting that still runs plainly here
        try:
            nested(depth + 10)(x)
        except RecursionError:
            break
        depth += 10
    graph = export_ir(nested(depth), x)
    assert [type(node).__name__ for node in graph.nodes.values()] == ["Input", "ReLU", "Output"]
    assert sys.getrecursionlimit() == limit


def test_check_export_compares_sparse_values_and_refuses_meta_tensors():
    model = nn.ReLU()
    x = torch.randn(2, 3)
    graph = export_ir(model, x)
    assert check_export(model, graph, x.to_sparse()).ok
    with pytest.raises(ValueError, match="sample 0 holds a meta tensor"):
        check_export(model, graph, x.to("meta"))


@pytest.mark.parametrize("wrap", [list, tuple], ids=["list", "tuple"])
def test_a_graph_executor_exports_from_a_sample_given_as_its_arguments(wrap):
    x = torch.randn(2, 4)
    graph = export_ir(nn.Sequential(nn.Linear(4, 3)), x)
    executor = GraphExecutor(import_ir(graph), graph.edges)
    again = export_ir(executor, wrap([x]))
    assert again.nodes["input"].input_type["input"].tolist() == [4]


def test_an_export_that_waits_for_its_own_export_in_another_thread_gives_up(monkeypatch):
    monkeypatch.setattr(export_module, "_TURN_WAIT_SECONDS", 0.2)
    with pytest.raises(RuntimeError, match="another thread has been exporting modules"):
        export_ir(ExportsInThread(4), torch.randn(2, 4))


def test_a_seeded_fuzzing_pass_finds_nothing():
    summary = fuzz_export.run(seed=20240, start=0, count=SEEDED_INPUTS, timeout=120)
    assert summary.inputs == SEEDED_INPUTS
    assert not summary.bad(), summary.text()
