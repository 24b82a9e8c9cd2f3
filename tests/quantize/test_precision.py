import copy
import itertools
import dataclasses
import warnings
import importlib.util
import pickle

import pytest
import torch
from torch import nn

from vantle.bridge import quantize as vq

NAMES = ["fp32", "fp16", "int32", "int16", "int8", "int4"]


def model():
    inner = nn.Sequential(nn.Linear(4, 4), nn.ReLU())
    return nn.Sequential(nn.Linear(4, 4), inner, nn.Linear(4, 2))


def test_precision_table_in_order():
    assert list(vq._PRECISION_BITS.items()) == list(zip(NAMES, [32, 16, 32, 16, 8, 4]))


@pytest.mark.parametrize("name, bits", [("int4", 4), ("fp16", 16), ("int8", 8), ("fp32", 32)])
def test_get_bits(name, bits):
    assert vq._get_bits(name) == bits
    assert vq._get_bits(precision=name) == bits


@pytest.mark.parametrize("name", ["int7", "INT8", ""])
def test_get_bits_unknown_name(name):
    with pytest.raises(ValueError) as error:
        vq._get_bits(name)
    assert str(error.value) == f"Unknown precision: {name}. Use one of {NAMES}"


@pytest.mark.parametrize("value, type_name", [(8, "int"), (None, "NoneType"), (b"int8", "bytes")])
def test_get_bits_rejects_non_strings(value, type_name):
    with pytest.raises(TypeError) as error:
        vq._get_bits(value)
    assert str(error.value) == (
        f"Argument 'precision' has incorrect type (expected str, got {type_name})"
    )


def test_get_bits_rejects_str_subclass():
    class Name(str):
        pass

    with pytest.raises(TypeError, match="got Name"):
        vq._get_bits(Name("int8"))


def test_get_bits_reads_the_table_when_called(monkeypatch):
    monkeypatch.setattr(vq, "_PRECISION_BITS", {"int2": 2})
    assert vq._get_bits("int2") == 2
    with pytest.raises(ValueError, match=r"Use one of \['int2'\]$"):
        vq._get_bits("int8")


def test_config_is_a_dataclass():
    config = vq.QuantizationConfig()
    assert dataclasses.is_dataclass(config)
    assert [f.name for f in dataclasses.fields(config)] == [
        "default_precision", "per_node_precision", "accumulator_bits",
        "symmetric", "calibration_method", "percentile", "strict",
    ]
    assert config == vq.QuantizationConfig("int8", None, 16, True, "minmax", 99.99)
    assert config != vq.QuantizationConfig(symmetric=False)
    assert repr(config) == (
        "QuantizationConfig(default_precision='int8', per_node_precision=None, "
        "accumulator_bits=16, symmetric=True, calibration_method='minmax', percentile=99.99, "
        "strict=False)"
    )
    config.percentile = 99.0  # not frozen
    assert config.percentile == 99.0


def test_config_survives_pickle_and_copy():
    config = vq.QuantizationConfig("int4", {"0": "fp32"}, 24, False, "percentile", 99.5)
    assert pickle.loads(pickle.dumps(config)) == config
    assert copy.deepcopy(config) == config
    assert type(config).__module__ == "vantle.bridge.quantize"
    assert type(config).__qualname__ == "QuantizationConfig"


@pytest.mark.parametrize(
    "bits, error, message",
    [(-7, ValueError, "accumulator_bits must be a positive integer, got -7"),
     (0, ValueError, "accumulator_bits must be a positive integer, got 0"),
     ("sixteen", TypeError, r"'accumulator_bits' has incorrect type \(expected int, got str\)"),
     (16.0, TypeError, r"'accumulator_bits' has incorrect type \(expected int, got float\)"),
     (True, TypeError, r"'accumulator_bits' has incorrect type \(expected int, got bool\)")],
)
def test_accumulator_bits_must_be_a_positive_integer(bits, error, message):
    built = vq.QuantizationConfig(accumulator_bits=bits)  # accepted as built, like every field
    changed = vq.QuantizationConfig()
    changed.accumulator_bits = bits
    for config, prepare in itertools.product((built, changed),
                                             (vq.quantize, vq.quantize_aware_training)):
        net = model()
        with pytest.raises(error, match=message):
            prepare(net, config)
        assert vq.get_precision_map(net) == {}


def test_unknown_precision_raises_only_when_reached():
    config = vq.QuantizationConfig(default_precision="int5")  # accepted as built
    net = model()
    with pytest.raises(ValueError, match="Unknown precision: int5"):
        vq.quantize(net, config)
    # The first module named (the model itself) raised before anything was written.
    assert vq.get_precision_map(net) == {}

    net = model()
    config = vq.QuantizationConfig(per_node_precision={"1.0": "int5"})
    with pytest.raises(ValueError, match="Unknown precision: int5"):
        vq.quantize_aware_training(net, config)
    assert vq.get_precision_map(net) == {"": "int8", "0": "int8", "1": "int8"}
    assert not hasattr(net[1][0], "_vantle_precision")


@pytest.mark.parametrize("prepare", [vq.quantize, vq.quantize_aware_training])
def test_precision_resolution(prepare):
    overrides = {"1.0": "int4", "2": "fp32", "no.such.module": "int16"}
    config = vq.QuantizationConfig(default_precision="int16", per_node_precision=overrides)
    with pytest.warns(UserWarning, match=r"names 'no.such.module', which the model has no "):
        net = prepare(model(), config)
    with pytest.raises(ValueError, match=r"names 'no.such.module'"):  # a typo, when strict
        prepare(model(), dataclasses.replace(config, strict=True))
    assert vq.get_precision_map(net) == {
        "": "int16", "0": "int16", "1": "int16", "1.0": "int4", "1.1": "int16", "2": "fp32",
    }
    # The same accumulator object on every module, never derived from the width.
    assert {module._vantle_accumulator_bits for module in net.modules()} == {16}


@pytest.mark.parametrize("empty", [None, {}])
def test_empty_overrides_use_the_default(empty):
    net = vq.quantize(model(), vq.QuantizationConfig("int4", empty))
    assert set(vq.get_precision_map(net).values()) == {"int4"}


def test_overrides_go_through_the_mappings_own_get():
    class Everything(dict):
        def get(self, key, default=None):
            return "fp32"

    config = vq.QuantizationConfig(per_node_precision=Everything(x=1))
    with pytest.warns(UserWarning, match="names 'x'"):
        net = vq.quantize_aware_training(model(), config)
    assert set(vq.get_precision_map(net).values()) == {"fp32"}
    assert all(not module._forward_hooks for module in net.modules())


def test_precision_map_reads_legacy_attribute():
    net = model()
    assert vq.get_precision_map(net) == {}
    net[0]._vx2_precision = "int8"
    net[2]._vantle_precision = ""
    net[2]._vx2_precision = "int4"
    net._vantle_precision = "fp16"
    net[1][0]._vantle_precision = "int16"
    net[1][0]._vx2_precision = "int4"  # the current attribute wins
    result = vq.get_precision_map(net)
    assert result == {"": "fp16", "0": "int8", "1.0": "int16", "2": "int4"}
    assert list(result) == ["", "0", "1.0", "2"]


@pytest.mark.parametrize(
    "item, error, text",
    [
        (("a",), ValueError, "not enough values to unpack (expected 2, got 1)"),
        (iter(["a", nn.ReLU(), 3]), ValueError, "too many values to unpack (expected 2"),
        (7, TypeError, "cannot unpack non-iterable int object"),
    ],
)
def test_named_modules_items_unpack_like_python(item, error, text):
    class Odd(nn.Module):
        def named_modules(self, *args, **kwargs):
            yield item

    with pytest.raises(error) as raised:
        vq.get_precision_map(Odd())
    assert str(raised.value).startswith(text)


def test_module_binds_its_dependencies_and_refuses_reinitialisation():
    assert vq.torch is torch and vq.nn is nn and vq.np.__name__ == "numpy"
    assert vq.dataclass is dataclasses.dataclass and vq.field is dataclasses.field
    spec = importlib.util.spec_from_file_location("vantle.bridge.quantize", vq.__file__)
    with pytest.raises(ImportError) as error:
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    assert str(error.value) == (
        "Module 'quantize' has already been imported. Re-initialisation is not supported."
    )


@pytest.mark.parametrize("accumulator_bits, precision, warned", [
    (16, "int16", True),   # 16 + log2(4 inputs) = 18 bits needed
    (18, "int16", False),
    (16, "int8", False),   # 8 + 2 = 10
    (16, "fp16", False),   # floating point: no integer sums to overflow
])
def test_an_accumulator_narrower_than_the_weights_sums_need_is_reported(
        accumulator_bits, precision, warned):
    config = vq.QuantizationConfig(precision, accumulator_bits=accumulator_bits)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        vq.quantize(nn.Sequential(nn.Linear(4, 3)), config)
    messages = [str(w.message) for w in caught]
    assert bool(messages) is warned, messages
    if warned:
        assert messages == [f"module '0' (Linear): accumulator_bits=16 is narrower than its int16 "
                            "weights summed over 4 inputs need (16 + log2(4) = 18 bits); the "
                            "hardware's sums may overflow"]
