"""export_ir and VANTLEExporter: argument checks, the chain over named_modules, names, converters."""

from __future__ import annotations

import numpy as np
import pytest
import torch
from torch import nn

from vantle import ir
from vantle.bridge import export_ir as export_module
from vantle.bridge.export_ir import VANTLEExporter, export_ir


class StrSubclass(str):
    pass


class DictSubclass(dict):
    pass


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"custom_map": []}, "Argument 'custom_map' has incorrect type (expected dict, got list)"),
        ({"custom_map": DictSubclass()},
         "Argument 'custom_map' has incorrect type (expected dict, got DictSubclass)"),
        ({"spike_mode": None}, "Argument 'spike_mode' has incorrect type (expected str, got NoneType)"),
        ({"spike_mode": StrSubclass("binary")},
         "Argument 'spike_mode' has incorrect type (expected str, got StrSubclass)"),
        ({"weight_bits": "8"}, "Argument 'weight_bits' has incorrect type (expected int, got str)"),
        ({"accumulator_bits": None},
         "Argument 'accumulator_bits' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_argument_types_are_checked_before_any_work(kwargs, message):
    model = nn.Sequential(nn.Linear(4, 2))
    model.train()
    with pytest.raises(TypeError) as caught:
        export_ir(model, torch.randn(0, 4), **kwargs)  # an empty sample would fail later
    assert str(caught.value) == message
    if "custom_map" not in kwargs:
        with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
            VANTLEExporter(**kwargs)
    assert model.training


@pytest.mark.parametrize(
    "kwargs, message",
    [({"weight_bits": -3}, "weight_bits must be a positive integer, got -3"),
     ({"accumulator_bits": 0}, "accumulator_bits must be a positive integer, got 0"),
     ({"weight_bits": 0.9}, "weight_bits must be a positive integer, got 0")],
)
def test_bit_widths_must_be_positive(kwargs, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        export_ir(nn.Sequential(nn.Linear(4, 2)), torch.randn(1, 4), spiking=True, **kwargs)
    with pytest.raises(ValueError, match=f"^{message}$"):
        VANTLEExporter(spiking=True, **kwargs)


def test_exporter_state_after_construction():
    exporter = VANTLEExporter(spiking=[1], spike_mode="graded", weight_bits=8.7,
                              accumulator_bits=True)
    assert vars(exporter) == {"_input_shapes": {}, "_output_shapes": {}, "_spiking": True,
                              "_spike_mode": "graded", "_weight_bits": 8, "_accumulator_bits": 1,
                              "_strict": False, "_dataflow": None}
    assert type(exporter._weight_bits) is int
    assert VANTLEExporter()._spiking is False


def test_sequential_chain(sample4):
    model = nn.Sequential(nn.Linear(4, 10))
    graph = export_ir(model, torch.randn(1, 4))
    assert isinstance(graph, ir.Graph)
    assert list(graph.nodes) == ["input", "0", "output"]
    assert graph.edges == [("input", "0"), ("0", "output")]
    assert graph.nodes["input"].input_type["input"].tolist() == [4]
    assert graph.nodes["output"].output_type["output"].tolist() == [10]
    assert graph.inputs.keys() == {"input"} and graph.outputs.keys() == {"output"}


def test_single_module_and_unsupported_models():
    graph = export_ir(nn.Linear(4, 2), torch.randn(1, 4))
    assert list(graph.nodes) == ["input", "linear", "output"]
    graph = export_ir(nn.Sequential(nn.Sequential()), torch.randn(1, 4))
    assert list(graph.nodes) == ["input"] and graph.edges == []


class Nested(nn.Module):
    def __init__(self):
        super().__init__()
        self.features = nn.Sequential(nn.Linear(4, 6), nn.ReLU())
        self.spare = nn.Tanh()  # registered, never called
        self.head = nn.Linear(6, 2)

    def forward(self, x):
        return self.head(self.features(x))


def test_nested_names_and_modules_that_never_ran(sample4):
    # A registered module the forward pass never calls computes nothing: no node.
    graph = export_ir(Nested(), sample4)
    assert list(graph.nodes) == ["input", "features_0", "features_1", "head", "output"]
    assert [b for _, b in graph.edges] == list(graph.nodes)[1:]


class Colliding(nn.Module):
    """Names that sanitize alike, and the reserved input/output names."""

    def __init__(self):
        super().__init__()
        self.input = nn.Linear(4, 4)
        self.a = nn.Module()
        self.a.b = nn.Linear(4, 3)  # a.b
        self.a_b = nn.ReLU()
        self.a_b_1 = nn.Sigmoid()
        self.output = nn.Linear(3, 2)

    def forward(self, x):
        x = self.input(x)
        x = self.a.b(x)
        return self.output(self.a_b_1(self.a_b(x)))


def test_colliding_names_get_a_suffix_and_the_chain_stays_whole(sample4):
    graph = export_ir(Colliding(), sample4)
    assert list(graph.nodes) == ["input", "input_1", "a_b", "a_b_1", "a_b_1_1", "output_1",
                                 "output"]
    kinds = [type(node).__name__ for node in graph.nodes.values()]
    assert kinds == ["Input", "Affine", "Affine", "ReLU", "Sigmoid", "Affine", "Output"]
    names = list(graph.nodes)
    assert graph.edges == list(zip(names, names[1:]))


def test_custom_converters_match_the_exact_class_and_get_shapes(sample4):
    class MyReLU(nn.ReLU):
        pass

    calls = []

    def relu_to_skip(module):
        calls.append(module)
        return ir.Skip(skip_type="residual", input_type=None)

    model = nn.Sequential(nn.Linear(4, 3), nn.ReLU(), MyReLU())
    graph = export_ir(model, sample4, custom_map={nn.ReLU: relu_to_skip})
    assert calls == [model[1]]
    node = graph.nodes["1"]
    assert type(node) is ir.Skip and node.skip_type == "residual"
    assert node.input_type["input"].tolist() == [3] and node.output_type["output"].tolist() == [3]
    assert type(graph.nodes["2"]) is ir.ReLU  # the subclass takes the built-in rule

    # Ports a converter sets itself are kept; an empty dict behaves like no map.
    kept = {"input": np.array([9])}
    graph = export_ir(model, sample4, custom_map={nn.Linear: lambda m: ir.Affine(input_type=kept)})
    assert graph.nodes["0"].input_type is kept
    assert export_ir(model, sample4, custom_map={}) == export_ir(model, sample4)


def test_custom_converter_errors_propagate(sample4):
    def broken(module):
        raise LookupError("no node for this")

    with pytest.raises(LookupError, match="no node for this"):
        export_ir(nn.Sequential(nn.ReLU()), sample4, custom_map={nn.ReLU: broken})
    with pytest.raises(AttributeError):
        export_ir(nn.Sequential(nn.ReLU()), sample4, custom_map={nn.ReLU: lambda m: None})


def test_subclass_overrides_of_the_rule_chain_are_used(sample4):
    class Renaming(VANTLEExporter):
        def _convert_module(self, m, in_shape, out_shape):
            node = super()._convert_module(m, in_shape, out_shape)
            return None if isinstance(m, nn.ReLU) else node

    with pytest.warns(UserWarning, match=r"module '1' \(ReLU\) has no IR form"):
        graph = Renaming().export(nn.Sequential(nn.Linear(4, 4), nn.ReLU()), sample4)
    assert list(graph.nodes) == ["input", "0", "output"]


def test_subclass_overrides_of_the_phases_are_called(sample4):
    calls = []

    class Watching(VANTLEExporter):
        def _capture_shapes(self, model, sample):
            calls.append("capture")
            super()._capture_shapes(model, sample)

        def _export_sequential(self, model, sample, custom_map=None):
            calls.append("sequential")
            return super()._export_sequential(model, sample, custom_map)

    model = nn.Sequential(nn.Linear(4, 3), nn.ReLU())
    graph = Watching().export(model, sample4)
    assert calls == ["capture", "sequential"]
    assert list(graph.nodes) == list(export_ir(model, sample4).nodes)

    exporter = VANTLEExporter()
    exporter._export_sequential = lambda *args: "replaced on the instance"
    assert exporter.export(model, sample4) == "replaced on the instance"


def test_the_phases_called_by_hand_give_the_exported_graph(sample4):
    model = nn.Sequential(nn.Linear(4, 3), nn.ReLU(), nn.Linear(3, 2))
    exporter = VANTLEExporter()
    exporter._capture_shapes(model, sample4)
    assert exporter._dataflow is not None
    by_hand = exporter._export_sequential(model, sample4)
    exported = VANTLEExporter().export(model, sample4)
    assert list(by_hand.nodes) == list(exported.nodes) == ["input", "0", "1", "2", "output"]
    assert by_hand.edges == exported.edges
    for name in exported.nodes:
        assert by_hand.nodes[name].output_type.keys() == exported.nodes[name].output_type.keys()
    assert VANTLEExporter()._export_sequential(model, sample4).edges == exported.edges


def test_names_come_from_the_replaceable_sanitizer(monkeypatch, sample4):
    monkeypatch.setattr(export_module, "sanitize_module_name", lambda name: "n" + name)
    assert list(export_ir(nn.Sequential(nn.ReLU()), sample4).nodes) == ["input", "n0", "output"]
    monkeypatch.setattr(export_module, "sanitize_module_name", lambda name: 7)
    with pytest.raises(TypeError, match="str"):
        export_ir(nn.Sequential(nn.ReLU()), sample4)


def test_an_empty_class_cache_fails_with_the_unpacking_error(fresh_cache, sample4):
    export_module._CACHED_TYPES = ()
    with pytest.raises(ValueError, match="not enough values to unpack"):
        export_ir(nn.Sequential(nn.ReLU()), sample4)
