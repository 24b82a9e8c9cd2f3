"""Module-level helpers: to_array, _to_int1d, _extract_ir_metadata, _get_bridge_types."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from types import SimpleNamespace

import numpy as np
import pytest
import torch
from torch import nn

from vantle.bridge import export_ir as export_module
from vantle.bridge.export_ir import _extract_ir_metadata, _get_bridge_types, _to_int1d, to_array

KEYS = ["weight_t", "bias_t", "accum_t", "result_t", "reuse_factor"]


@pytest.mark.parametrize(
    "value, size, expected",
    [
        (0.5, 4, [0.5] * 4),
        (torch.tensor([0.9]), 3, [np.float32(0.9)] * 3),
        (np.array([1, 2]), 5, [1.0, 2.0]),  # longer arrays keep their own length
        (3, 2.7, [3.0, 3.0]),  # size truncated like int()
        (torch.tensor(2.0, requires_grad=True), 2, [2.0, 2.0]),
    ],
)
def test_to_array(value, size, expected):
    result = to_array(value, size)
    assert result.dtype == np.float32 and result.ndim == 1
    assert result.tolist() == pytest.approx(expected)


def test_to_array_keeps_the_shape_of_longer_arrays_and_copies():
    source = np.ones((2, 3), dtype=np.float32)
    result = to_array(source, 6)
    assert result.shape == (2, 3)
    result[0, 0] = 5.0
    assert source[0, 0] == 1.0


def test_to_array_rejects_a_size_that_is_no_number():
    with pytest.raises(TypeError, match=r"^Argument 'size' has incorrect type \(expected int, got str\)$"):
        to_array(1.0, "4")


@pytest.mark.parametrize(
    "args, expected",
    [
        (((2,), 1), 2),
        ((None, 0), 0),
        ((None, 3.9), 3),
        ((torch.tensor([3]),), 3),
        ((torch.tensor(4),), 4),
        ((np.int64(5),), 5),
        ((True,), 1),
        (([7, 8],), 7),
        ((2.9,), 2),
    ],
)
def test_to_int1d(args, expected):
    result = _to_int1d(*args)
    assert result == expected and type(result) is int


@pytest.mark.parametrize("value, error", [("same", ValueError), ([], TypeError), (object(), TypeError)])
def test_to_int1d_without_an_integer_form_raises(value, error):
    with pytest.raises(error):
        _to_int1d(value)


def with_attributes(**attributes):
    module = nn.Linear(2, 2)
    for name, value in attributes.items():
        setattr(module, name, value)
    return module


@pytest.mark.parametrize(
    "attributes, expected",
    [
        ({}, {}),
        ({"_vantle_precision": "int8"}, {"weight_t": "int8", "bias_t": "int8"}),
        (
            {"_vantle_weight_t": "int4", "_vantle_precision": "int8"},
            {"weight_t": "int4", "bias_t": "int8"},
        ),
        ({"_vantle_accumulator_bits": 24}, {"accum_t": "int24"}),
        ({"_vantle_accumulator_bits": 24, "_vantle_accum_t": "fixed32"}, {"accum_t": "fixed32"}),
        # A falsy current value gives way to the legacy one.
        ({"_vantle_bias_t": "", "_vx2_bias_t": "int16"}, {"bias_t": "int16"}),
        (
            {"_vx2_weight_t": "int2", "_vx2_result_t": "int8", "_vx2_reuse_factor": 4,
             "_vx2_precision": "int6", "_vx2_accumulator_bits": 20},
            {"weight_t": "int2", "bias_t": "int6", "accum_t": "int20", "result_t": "int8",
             "reuse_factor": 4},
        ),
        ({"_vantle_precision": "int8", "_vx2_precision": "int4"}, {"weight_t": "int8", "bias_t": "int8"}),
        ({"_vantle_reuse_factor": 0, "_vx2_reuse_factor": 2}, {"reuse_factor": 2}),
    ],
)
def test_metadata_precedence(attributes, expected):
    metadata = _extract_ir_metadata(with_attributes(**attributes))
    assert list(metadata) == KEYS
    assert metadata == {key: expected.get(key) for key in KEYS}


def quantization_config(weight_dtype, activation_dtype):
    observer = lambda dtype: None if dtype is None else SimpleNamespace(dtype=dtype)  # noqa: E731
    return SimpleNamespace(weight=observer(weight_dtype), activation=observer(activation_dtype))


def test_qconfig_dtypes_fill_weight_and_result_only():
    module = with_attributes(qconfig=quantization_config(torch.qint8, torch.quint8))
    metadata = _extract_ir_metadata(module)
    assert metadata["weight_t"] == "qint8" and metadata["result_t"] == "quint8"
    assert metadata["bias_t"] is None and metadata["accum_t"] is None


def test_qconfig_is_the_weakest_source():
    module = with_attributes(_vantle_precision="int8", _vantle_result_t="int16",
                             qconfig=quantization_config(torch.qint8, torch.quint8))
    metadata = _extract_ir_metadata(module)
    assert metadata["weight_t"] == "int8" and metadata["result_t"] == "int16"


def test_qconfig_observer_without_dtype_gives_nothing():
    module = with_attributes(qconfig=SimpleNamespace(weight=object(), activation=None))
    assert _extract_ir_metadata(module)["weight_t"] is None


def test_qconfig_without_weight_attribute_raises():
    with pytest.raises(AttributeError):
        _extract_ir_metadata(with_attributes(qconfig=object()))


def test_metadata_reads_any_object_and_sees_parameters():
    holder = SimpleNamespace(_vantle_weight_t="int3")
    assert _extract_ir_metadata(holder)["weight_t"] == "int3"
    # Module attributes resolve as getattr would, registered buffers included.
    module = nn.Linear(2, 2)
    module.register_buffer("_vantle_reuse_factor", torch.tensor(3))
    assert int(_extract_ir_metadata(module)["reuse_factor"]) == 3


def test_bridge_types_are_the_import_classes_then_the_executor():
    from vantle.bridge import import_ir
    from vantle.bridge.executor import GraphExecutor

    names = ["LIFModule", "SkipModule", "SepConv2dModule", "ChannelSplitModule", "ConcatModule",
             "SGhostConvModule", "SGhostEncoderLiteModule", "GhostBasicBlock1Module",
             "GhostBasicBlock2Module", "SDDetectModule", "DFLDecodeModule", "Dist2BBoxModule"]
    types = _get_bridge_types()
    assert types == tuple(getattr(import_ir, name) for name in names) + (GraphExecutor,)
    assert export_module._CACHED_TYPES is types and _get_bridge_types() is types


def test_bridge_types_serve_a_replaced_cache(fresh_cache):
    export_module._CACHED_TYPES = ("a",)
    assert _get_bridge_types() == ("a",)
    export_module._CACHED_TYPES = ["not", "a", "tuple"]
    with pytest.raises(TypeError, match="expected tuple, got list"):
        _get_bridge_types()


def run_isolated(code: str) -> str:
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


def test_loading_imports_neither_the_import_module_nor_the_executor():
    output = run_isolated(
        """
        import sys
        import vantle.bridge.export_ir as e
        print(e._CACHED_TYPES, "vantle.bridge.import_ir" in sys.modules,
              "vantle.bridge.executor" in sys.modules)
        """
    )
    assert output == "None False False"


def test_a_failed_import_propagates_and_is_retried():
    output = run_isolated(
        """
        import sys
        import vantle.bridge.export_ir as e
        sys.modules["vantle.bridge.executor"] = None
        try:
            e._get_bridge_types()
        except ImportError as error:
            print("ImportError", e._CACHED_TYPES)
        del sys.modules["vantle.bridge.executor"]
        print(len(e._get_bridge_types()))
        """
    )
    assert output.splitlines() == ["ImportError None", "13"]


class Described(nn.Linear):
    """Metadata from a class property and from a module's own __getattr__."""

    @property
    def _vantle_precision(self):
        return "int4"

    def __getattr__(self, name):
        if name == "_vx2_reuse_factor":
            return 8
        return super().__getattr__(name)


def test_metadata_honours_properties_and_custom_getattr():
    metadata = _extract_ir_metadata(Described(2, 2))
    assert metadata["weight_t"] == "int4" and metadata["reuse_factor"] == 8
