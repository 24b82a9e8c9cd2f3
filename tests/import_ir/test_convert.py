"""node_to_module, nodes_to_modules and import_ir: every row of the conversion chain."""

from __future__ import annotations

import pathlib
import warnings

import numpy as np
import pytest
import torch
from torch import nn

import vantle.ir as ir
from vantle.bridge import import_ir as imp

RNG = np.random.default_rng(0)


def arr(*shape, dtype=np.float64):
    return RNG.standard_normal(shape).astype(dtype)


def positive(*shape):
    return RNG.uniform(0.5, 2.0, shape)


def lif_node():
    return ir.LIF(tau=np.full(4, 2.0), r=positive(4), v_leak=np.zeros(4), v_threshold=positive(4))


# (node, module type, expected attributes, {parameter or buffer: node field})
ROWS = [
    pytest.param(ir.Input(), nn.Identity, {}, {}, id="Input"),
    pytest.param(ir.Output(), nn.Identity, {}, {}, id="Output"),
    pytest.param(ir.HybridRegion(), nn.Identity, {}, {}, id="HybridRegion"),
    pytest.param(ir.Affine(weight=arr(3, 5), bias=arr(3)), nn.Linear,
                 {"in_features": 5, "out_features": 3}, {"weight": "weight", "bias": "bias"},
                 id="Affine"),
    pytest.param(ir.SpikingAffine(weight=arr(2, 4), bias=arr(2)), nn.Linear,
                 {"in_features": 4, "out_features": 2}, {"weight": "weight", "bias": "bias"},
                 id="SpikingAffine"),
    pytest.param(ir.Conv1d(weight=arr(6, 2, 3), bias=arr(6), stride=2.0, padding=np.int64(1),
                           dilation=2, groups=2), nn.Conv1d,
                 {"in_channels": 4, "out_channels": 6, "kernel_size": (3,), "stride": (2,),
                  "padding": (1,), "dilation": (2,), "groups": 2},
                 {"weight": "weight", "bias": "bias"}, id="Conv1d"),
    pytest.param(ir.Conv2d(weight=arr(16, 4, 3, 1), bias=arr(16), stride=2, padding=[1, 0],
                           dilation=np.array([1, 2]), groups=2), nn.Conv2d,
                 {"in_channels": 8, "out_channels": 16, "kernel_size": (3, 1), "stride": (2, 2),
                  "padding": (1, 0), "dilation": (1, 2), "groups": 2},
                 {"weight": "weight", "bias": "bias"}, id="Conv2d"),
    pytest.param(ir.Conv2d(weight=arr(4, 4, 1, 1), bias=arr(4), stride=None, padding=None,
                           dilation=None, groups=1), nn.Conv2d,
                 {"stride": (1, 1), "padding": (0, 0), "dilation": (1, 1)}, {},
                 id="Conv2d-defaults"),
    pytest.param(ir.Flatten(start_dim=0, end_dim=-1), nn.Flatten,
                 {"start_dim": 1, "end_dim": -1}, {}, id="Flatten"),
    pytest.param(ir.Flatten(start_dim=2, end_dim=3), nn.Flatten,
                 {"start_dim": 3, "end_dim": 3}, {}, id="Flatten-end-unchanged"),
    pytest.param(ir.MaxPool2d(kernel_size=3, stride=None, padding=1, dilation=1, ceil_mode=1),
                 nn.MaxPool2d, {"kernel_size": (3, 3), "stride": (3, 3), "padding": (1, 1),
                                "dilation": (1, 1), "ceil_mode": True}, {}, id="MaxPool2d"),
    pytest.param(ir.MaxPool2d(kernel_size=None, stride=1, padding=None, dilation=None),
                 nn.MaxPool2d, {"kernel_size": (2, 2), "stride": (1, 1), "padding": (0, 0),
                                "dilation": (1, 1), "ceil_mode": False}, {},
                 id="MaxPool2d-defaults"),
    pytest.param(ir.AvgPool2d(kernel_size=(2, 4), stride=(1, 2), padding=1, ceil_mode=True,
                              count_include_pad=0), nn.AvgPool2d,
                 {"kernel_size": (2, 4), "stride": (1, 2), "padding": (1, 1), "ceil_mode": True,
                  "count_include_pad": False}, {}, id="AvgPool2d"),
    pytest.param(ir.SepConv2d(depthwise_weight=arr(3, 1, 3, 3), pointwise_weight=arr(5, 3, 1, 1),
                              depthwise_bias=None, pointwise_bias=arr(5), stride=2, padding=None,
                              dilation=1), imp.SepConv2dModule,
                 {"stride": (2, 2), "padding": (0, 0), "dilation": (1, 1),
                  "depthwise.bias": None, "depthwise.groups": 3},
                 {"depthwise.weight": "depthwise_weight", "pointwise.weight": "pointwise_weight",
                  "pointwise.bias": "pointwise_bias"}, id="SepConv2d"),
    pytest.param(ir.Skip(skip_type="passthrough"), imp.SkipModule,
                 {"skip_type": "passthrough"}, {}, id="Skip"),
    pytest.param(ir.ChannelSplit(split_sections=(2, 6), dim=0), imp.ChannelSplitModule,
                 {"split_sections": (2, 6), "dim": 1}, {}, id="ChannelSplit"),
    pytest.param(ir.Concat(num_inputs=3, dim=0), imp.ConcatModule,
                 {"num_inputs": 3, "dim": 1, "skip_type": "concatenate"}, {}, id="Concat"),
    pytest.param(lif_node(), imp.LIFModule, {}, {"r": "r", "v_threshold": "v_threshold"},
                 id="LIF"),
    pytest.param(ir.Upsample(size=(8, 8), scale_factor=3, mode="nearest", align_corners=True),
                 nn.Upsample, {"size": (8, 8), "scale_factor": None, "align_corners": None}, {},
                 id="Upsample-size"),
    pytest.param(ir.Upsample(size=None, scale_factor=2, mode="bilinear", align_corners=1),
                 nn.Upsample, {"scale_factor": 2.0, "mode": "bilinear", "align_corners": True},
                 {}, id="Upsample-bilinear"),
    pytest.param(ir.NMS(score_threshold=0.1, iou_threshold=0.6, max_detections=0), imp.NMSModule,
                 {"score_threshold": 0.1, "iou_threshold": 0.6, "max_detections": 0}, {},
                 id="NMS"),
    pytest.param(ir.ReLU(negative_slope=0.0), nn.ReLU, {}, {}, id="ReLU"),
    pytest.param(ir.ReLU(negative_slope=-0.5), nn.ReLU, {}, {}, id="ReLU-negative-slope"),
    pytest.param(ir.ReLU(negative_slope=0.01), nn.LeakyReLU, {"negative_slope": 0.01}, {},
                 id="LeakyReLU"),
    pytest.param(ir.Sigmoid(), nn.Sigmoid, {}, {}, id="Sigmoid"),
    pytest.param(ir.Tanh(), nn.Tanh, {}, {}, id="Tanh"),
    pytest.param(ir.Softmax(dim=0), nn.Softmax, {"dim": 0}, {}, id="Softmax"),
    pytest.param(ir.GELU(approximate=True), nn.GELU, {"approximate": "tanh"}, {}, id="GELU-tanh"),
    pytest.param(ir.GELU(approximate=0), nn.GELU, {"approximate": "none"}, {}, id="GELU"),
    pytest.param(ir.ELU(alpha=0.5), nn.ELU, {"alpha": 0.5}, {}, id="ELU"),
    pytest.param(ir.PReLU(weight=positive(3)), nn.PReLU, {"num_parameters": 3},
                 {"weight": "weight"}, id="PReLU"),
    pytest.param(ir.BatchNorm1d(num_features=3, eps=1e-3, momentum=0.2, weight=arr(3),
                                bias=arr(3), running_mean=arr(3), running_var=positive(3)),
                 nn.BatchNorm1d, {"num_features": 3, "eps": 1e-3, "momentum": 0.2},
                 {"weight": "weight", "bias": "bias", "running_mean": "running_mean",
                  "running_var": "running_var"}, id="BatchNorm1d"),
    pytest.param(ir.BatchNorm2d(num_features=2, eps=1e-5, momentum=0.1, weight=arr(2),
                                bias=arr(2), running_mean=arr(2), running_var=positive(2)),
                 nn.BatchNorm2d, {"num_features": 2},
                 {"weight": "weight", "bias": "bias", "running_mean": "running_mean",
                  "running_var": "running_var"}, id="BatchNorm2d"),
    pytest.param(ir.LayerNorm(normalized_shape=(2, 4), eps=1e-3, weight=arr(2, 4),
                              bias=arr(2, 4)), nn.LayerNorm,
                 {"normalized_shape": (2, 4), "eps": 1e-3}, {"weight": "weight", "bias": "bias"},
                 id="LayerNorm"),
    pytest.param(ir.Dropout(p=0.3), nn.Dropout, {"p": 0.3}, {}, id="Dropout"),
]


def attribute(module, path):
    for name in path.split("."):
        module = getattr(module, name)
    return module


@pytest.mark.parametrize(("node", "kind", "attributes", "arrays"), ROWS)
def test_row_builds_the_module(node, kind, attributes, arrays):
    module = imp.node_to_module(node)
    assert type(module) is kind
    for path, expected in attributes.items():
        assert attribute(module, path) == expected, path
    for path, field in arrays.items():
        tensor = attribute(module, path)
        assert tensor.dtype == torch.float32
        assert np.array_equal(tensor.detach().numpy(), getattr(node, field).astype(np.float32))
    # Only batch norms come back in evaluation mode.
    assert module.training is not isinstance(module, nn.modules.batchnorm._BatchNorm)
    assert imp.node_to_module(node) is not module  # a new module on every call


def test_weights_stay_parameters():
    module = imp.node_to_module(ir.Affine(weight=arr(3, 5), bias=arr(3)))
    assert isinstance(module.weight, nn.Parameter) and module.weight.requires_grad


@pytest.mark.parametrize(("node", "kind", "attributes", "arrays"),
                         [row for row in ROWS if row.values[3]])
def test_modules_own_their_tensors(node, kind, attributes, arrays):
    fields = {field: getattr(node, field) for field in arrays.values()}
    for name, value in fields.items():
        value = value.astype(np.float32)  # already float32: the case a no-copy cast would share
        value.setflags(write=False)  # as a file reader may hand it over
        setattr(node, name, value)
    originals = {name: value.copy() for name, value in fields.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        module = imp.node_to_module(node)
    for path, field in arrays.items():
        assert not np.shares_memory(attribute(module, path).detach().numpy(), getattr(node, field))
    module.load_state_dict({k: torch.zeros_like(v) for k, v in module.state_dict().items()})
    for name in fields:
        assert np.array_equal(getattr(node, name), originals[name].astype(np.float32))


@pytest.mark.parametrize(
    "node",
    [ir.Affine(weight=arr(2, 2), bias=None), ir.SpikingAffine(weight=arr(2, 2), bias=None),
     ir.Conv1d(weight=arr(2, 2, 1), bias=None), ir.Conv2d(weight=arr(2, 2, 1, 1), bias=None),
     ir.LayerNorm(normalized_shape=(2,), weight=arr(2), bias=None)],
    ids=lambda node: type(node).__name__,
)
def test_missing_bias_raises_attribute_error(node):
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'astype'"):
        imp.node_to_module(node)


def test_errors_of_layer_constructors_propagate():
    with pytest.raises(ValueError):
        imp.node_to_module(ir.Dropout(p=2.0))
    with pytest.raises(TypeError):
        imp.node_to_module(ir.ReLU(negative_slope=None))  # None > 0 is a TypeError
    with pytest.raises(TypeError, match="expected tuple, got list"):
        imp.node_to_module(ir.ChannelSplit(split_sections=[2, 2], dim=0))


# --- chain order and optional rows -------------------------------------------------------------


class Mystery(ir.Node):
    """A node kind no row handles."""


class InputAndSigmoid(ir.Sigmoid, ir.Input):
    """Matches two rows; the earlier one (Input) wins."""


class ReluAndSkip(ir.ReLU, ir.Skip):
    """Skip (row 11) comes before ReLU (row 24)."""

    _defaults = {"skip_type": "residual", "negative_slope": 0.0}


def test_unknown_kind_gives_none():
    assert imp.node_to_module(Mystery()) is None
    assert imp.node_to_module(object()) is None


def test_first_matching_row_wins():
    assert type(imp.node_to_module(InputAndSigmoid())) is nn.Identity
    assert type(imp.node_to_module(ReluAndSkip())) is imp.SkipModule


@pytest.mark.parametrize("name", ["ChannelSplit", "Concat", "NMS"])
def test_optional_row_is_skipped_when_the_library_lacks_the_class(monkeypatch, name):
    node = {"ChannelSplit": ir.ChannelSplit(split_sections=(1,)), "Concat": ir.Concat(),
            "NMS": ir.NMS()}[name]
    assert imp.node_to_module(node) is not None
    monkeypatch.delattr(ir, name)
    assert imp.node_to_module(node) is None


def test_classes_are_looked_up_on_the_current_library(monkeypatch):
    class Affine(ir.Node):
        _defaults = {"weight": None, "bias": None}

    monkeypatch.setattr(ir, "Affine", Affine)
    module = imp.node_to_module(Affine(weight=arr(2, 3), bias=arr(2)))
    assert isinstance(module, nn.Linear) and module.in_features == 3


# --- composite rows: the modules they call, with the arguments they pass ---------------------


class Recorder:
    """Stands in for a module class and records how it was called."""

    def __init__(self, *args, **kwargs):
        self.args, self.kwargs = args, kwargs


def ghost(prefix):
    return {f"{prefix}{part}": arr(2) for part in ("primary_weight", "primary_bias",
                                                   "cheap_weight", "cheap_bias")}


def detect_fields():
    fields = {f"{branch}_{kind}{stage}": arr(2) for branch in ("cv2", "cv3") for stage in range(3)
              for kind in ("w", "b")}
    return {"num_classes": 80, "reg_max": 16, "stride": 8, **fields}


@pytest.mark.parametrize(
    ("node_class", "module_class", "fields", "expected_extra"),
    [
        ("SGhostConv", "SGhostConvModule",
         {**ghost(""), "primary_stride": np.array([2, 2]), "primary_padding": 1,
          "cheap_stride": (1, 2), "cheap_padding": [0, 1]},
         {"primary_stride": (2, 2), "primary_padding": (1, 1), "cheap_stride": (1, 2),
          "cheap_padding": (0, 1)}),
        ("SGhostEncoderLite", "SGhostEncoderLiteModule",
         {"conv1_weight": arr(2), "conv1_bias": arr(2), **ghost("ghost_"), "stride": 2.0},
         {"stride": 2}),
        ("GhostBasicBlock1", "GhostBasicBlock1Module",
         {**ghost("cvres_"), **ghost("cv0_"), **ghost("cv2_"), "stride": 2.0}, {"stride": 2}),
        ("GhostBasicBlock2", "GhostBasicBlock2Module", {**ghost("cv0_"), **ghost("cv2_")}, {}),
        ("SDDetect", "SDDetectModule", detect_fields(), {}),
    ],
)
def test_composite_rows_pass_fields_by_keyword(monkeypatch, node_class, module_class, fields,
                                               expected_extra):
    monkeypatch.setattr(imp, module_class, Recorder, raising=False)
    node = getattr(ir, node_class)(**fields)
    built = imp.node_to_module(node)
    assert isinstance(built, Recorder) and built.args == ()
    assert list(built.kwargs) == list(fields)
    for name, value in built.kwargs.items():
        if name in expected_extra:
            assert value == expected_extra[name] and type(value) is type(expected_extra[name])
            assert all(type(v) is int for v in (value if isinstance(value, tuple) else (value,)))
        else:
            assert value is fields[name]  # arrays and numbers as the node holds them


@pytest.mark.parametrize(
    ("node", "module_class", "args"),
    [(ir.DFLDecode(reg_max=8, dfl_weights="w"), "DFLDecodeModule", (8, "w")),
     (ir.Dist2BBox(stride=16), "Dist2BBoxModule", (16,)),
     (ir.NMS(score_threshold=0.3, iou_threshold=0.5, max_detections=0), "NMSModule",
      (0.3, 0.5, 0))],
    ids=["DFLDecode", "Dist2BBox", "NMS"],
)
def test_composite_rows_pass_fields_by_position(monkeypatch, node, module_class, args):
    monkeypatch.setattr(imp, module_class, Recorder, raising=False)
    built = imp.node_to_module(node)
    assert built.args == args and built.kwargs == {}


# --- nodes_to_modules and import_ir -------------------------------------------------------------


def small_graph():
    return ir.Graph(
        nodes={"in": ir.Input(), "fc": ir.Affine(weight=arr(3, 5), bias=arr(3)),
               "odd": Mystery(), "act": ir.ReLU(), "out": ir.Output()},
        edges=[("in", "fc"), ("fc", "act"), ("act", "out")],
    )


def test_nodes_keep_graph_order_and_unknown_kinds_are_dropped():
    modules = imp.nodes_to_modules(small_graph())
    assert list(modules) == ["in", "fc", "act", "out"]
    assert [type(m) for m in modules.values()] == [nn.Identity, nn.Linear, nn.ReLU, nn.Identity]


def test_custom_map_takes_precedence_node_by_node():
    seen = []

    def custom(node):
        seen.append(type(node).__name__)
        if isinstance(node, ir.ReLU):
            return nn.Tanh()
        if isinstance(node, Mystery):
            return nn.Sigmoid()
        return None

    modules = imp.import_ir(small_graph(), custom_map=custom)
    assert seen == ["Input", "Affine", "Mystery", "ReLU", "Output"]
    assert [type(m) for m in modules.values()] == [nn.Identity, nn.Linear, nn.Sigmoid, nn.Tanh,
                                                   nn.Identity]
    assert list(modules) == ["in", "fc", "odd", "act", "out"]
    unchanged = imp.import_ir(small_graph(), lambda node: None)
    assert [type(m) for m in unchanged.values()] == [nn.Identity, nn.Linear, nn.ReLU, nn.Identity]


def test_custom_map_errors_propagate():
    def custom(node):
        raise KeyError("no")

    with pytest.raises(KeyError):
        imp.import_ir(small_graph(), custom)


@pytest.mark.parametrize("as_path", [str, pathlib.Path], ids=["str", "Path"])
def test_import_reads_paths(tmp_path, as_path):
    graph = small_graph()
    del graph.nodes["odd"]
    ir.write(str(tmp_path / "model.vx2"), graph)
    modules = imp.import_ir(as_path(tmp_path / "model.vx2"))
    assert list(modules) == ["in", "fc", "act", "out"]
    assert np.array_equal(modules["fc"].weight.detach().numpy(),
                          graph.nodes["fc"].weight.astype(np.float32))


def test_graph_objects_are_not_read(monkeypatch):
    def refuse(path):
        raise AssertionError("read called")

    monkeypatch.setattr(ir, "read", refuse)
    assert list(imp.import_ir(small_graph())) == ["in", "fc", "act", "out"]
    with pytest.raises(AssertionError):
        imp.import_ir("model.vx2")


def test_read_errors_propagate(tmp_path):
    with pytest.raises(FileNotFoundError):
        imp.import_ir(tmp_path / "missing.vx2")
