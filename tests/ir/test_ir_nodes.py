"""Node classes: the catalogue's fields, keyword-only construction, equality and hashing."""

import numpy as np
import pytest

import vantle.ir as ir

HARDWARE = ("weight_t", "bias_t", "accum_t", "result_t", "reuse_factor")
GHOST = ("primary_weight", "primary_bias", "cheap_weight", "cheap_bias")

# Fields the bridge reads or writes on each kind.
CATALOGUE = {
    "Input": (),
    "Output": (),
    "HybridRegion": (),
    "Skip": ("skip_type",),
    "ChannelSplit": ("split_sections", "dim"),
    "Concat": ("num_inputs", "dim"),
    "Affine": ("weight", "bias", *HARDWARE),
    "SpikingAffine": ("weight", "bias", "spike_mode", "weight_bits", "accumulator_bits", *HARDWARE),
    "Conv1d": ("weight", "bias", "stride", "padding", "dilation", "groups", *HARDWARE),
    "Conv2d": ("weight", "bias", "stride", "padding", "dilation", "groups", *HARDWARE),
    "SepConv2d": ("depthwise_weight", "pointwise_weight", "depthwise_bias", "pointwise_bias",
                  "stride", "padding", "dilation"),
    "Flatten": ("start_dim", "end_dim"),
    "MaxPool2d": ("kernel_size", "stride", "padding", "dilation", "ceil_mode"),
    "AvgPool2d": ("kernel_size", "stride", "padding", "ceil_mode", "count_include_pad"),
    "Upsample": ("size", "scale_factor", "mode", "align_corners"),
    "Dropout": ("p", "features"),
    "ReLU": ("negative_slope", "features"),
    "Sigmoid": ("features",),
    "Tanh": ("features",),
    "Softmax": ("dim", "features"),
    "GELU": ("approximate", "features"),
    "ELU": ("alpha", "features"),
    "PReLU": ("weight", "features"),
    "BatchNorm1d": ("num_features", "eps", "momentum", "weight", "bias", "running_mean",
                    "running_var"),
    "BatchNorm2d": ("num_features", "eps", "momentum", "weight", "bias", "running_mean",
                    "running_var"),
    "LayerNorm": ("normalized_shape", "eps", "weight", "bias"),
    "LIF": ("tau", "r", "v_leak", "v_threshold"),
    "SGhostConv": (*GHOST, "primary_stride", "primary_padding", "cheap_stride", "cheap_padding"),
    "SGhostEncoderLite": ("conv1_weight", "conv1_bias", *("ghost_" + g for g in GHOST), "stride"),
    "GhostBasicBlock1": (*(p + g for p in ("cvres_", "cv0_", "cv2_") for g in GHOST), "stride"),
    "GhostBasicBlock2": tuple(p + g for p in ("cv0_", "cv2_") for g in GHOST),
    "SDDetect": ("num_classes", "reg_max", "stride",
                 *(f"{b}_{k}{i}" for b in ("cv2", "cv3") for i in range(3) for k in "wb")),
    "DFLDecode": ("reg_max", "dfl_weights"),
    "Dist2BBox": ("stride",),
    "NMS": ("score_threshold", "iou_threshold", "max_detections"),
}


@pytest.mark.parametrize("kind, fields", CATALOGUE.items())
def test_catalogue_kind_has_its_fields(kind, fields):
    cls = getattr(ir, kind)
    assert issubclass(cls, ir.Node) and cls.kind == kind and ir.NODE_CLASSES[kind] is cls
    assert cls.fields() == fields
    node = cls()
    for field in (*fields, "input_type", "output_type"):
        assert hasattr(node, field)


def test_library_has_exactly_the_catalogue():
    assert set(ir.NODE_CLASSES) == set(CATALOGUE)
    assert set(ir.__all__) >= set(CATALOGUE) | {"Node", "Graph", "read", "write"}


@pytest.mark.parametrize(
    "cls, field, default",
    [
        (ir.Conv2d, "stride", 1), (ir.Conv2d, "padding", 0), (ir.Conv2d, "groups", 1),
        (ir.Conv2d, "weight", None), (ir.MaxPool2d, "stride", None),
        (ir.Skip, "skip_type", "residual"),
        (ir.ReLU, "negative_slope", 0.0), (ir.Flatten, "start_dim", 0), (ir.Flatten, "end_dim", -1),
        (ir.NMS, "max_detections", 0), (ir.SpikingAffine, "spike_mode", "binary"),
        (ir.SpikingAffine, "weight_bits", 8), (ir.AvgPool2d, "count_include_pad", True),
        (ir.BatchNorm2d, "eps", 1e-5), (ir.Affine, "reuse_factor", None),
    ],
)
def test_defaults(cls, field, default):
    assert getattr(cls(), field) == default


def test_values_are_stored_as_given():
    sections, shape = [2, 3], {"input": np.array([3, 8, 8])}
    split = ir.ChannelSplit(split_sections=sections, input_type=shape, output_type=None)
    assert split.split_sections is sections and split.input_type is shape
    assert split.output_type is None
    assert ir.Conv2d(stride=(2, 1)).stride == (2, 1)


def test_port_types_default_to_fresh_dicts():
    first, second = ir.Input(), ir.Input()
    first.input_type["input"] = np.array([1])
    assert second.input_type == {} and first.output_type == {}


@pytest.mark.parametrize(
    "call, words",
    [
        (lambda: ir.Conv2d(np.zeros(3)), ["Conv2d", "keyword"]),
        (lambda: ir.LIF(tau=1, tua=2), ["LIF", "'tua'"]),
        (lambda: ir.Input(self=1), ["Input", "'self'"]),
    ],
)
def test_constructor_errors_name_class_and_problem(call, words):
    with pytest.raises(TypeError) as info:
        call()
    assert all(word in str(info.value) for word in words)


def test_kinds_do_not_pass_for_each_other():
    assert not isinstance(ir.SpikingAffine(), ir.Affine)
    assert not isinstance(ir.BatchNorm2d(), ir.BatchNorm1d)
    assert ir.Sigmoid() != ir.Tanh()


@pytest.mark.parametrize(
    "left, right, equal",
    [
        (np.arange(3.0), np.arange(3.0), True),
        (np.array([np.nan, 1.0]), np.array([np.nan, 1.0]), True),
        (np.arange(3.0), np.arange(3.0).astype(np.float32), False),
        (np.arange(4.0), np.arange(4.0).reshape(2, 2), False),
        (np.arange(3.0), np.arange(3.0).astype(">f8"), True),
        (np.arange(3.0), [0.0, 1.0, 2.0], False),
        ((1, 2), [1, 2], False),
        ({"a": (1,)}, {"a": (1,)}, True),
        ({"a": 1}, {"b": 1}, False),
        (float("nan"), float("nan"), True),
    ],
)
def test_equality_compares_values_deeply(left, right, equal):
    assert (ir.PReLU(weight=left) == ir.PReLU(weight=right)) is equal
    assert (ir.Input(input_type={"x": left}) == ir.Input(input_type={"x": right})) is equal


def test_equal_nodes_stay_distinct_keys():
    first, second = ir.ReLU(features=4), ir.ReLU(features=4)
    assert first == second and len({first: 1, second: 2}) == 2


def test_repr_shows_fields_and_array_shapes():
    text = repr(ir.Conv2d(weight=np.zeros((8, 3, 3, 3), np.float32), stride=(2, 2)))
    assert text.startswith("Conv2d(") and "(8, 3, 3, 3)" in text and "float32" in text
    assert "stride=(2, 2)" in text and "0.0" not in text
