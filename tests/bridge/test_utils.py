import numpy as np
import pytest
import torch

from vantle.bridge.utils import sanitize_module_name, to_tuple


@pytest.mark.parametrize(
    "name, expected",
    [
        ("features.0", "features_0"),
        ("backbone.stage-1 conv", "backbone_stage_1_conv"),
        ("Already_ok_9", "Already_ok_9"),
        ("", ""),
        ("größe", "gr__e"),
    ],
)
def test_sanitize_replaces_every_non_name_character(name, expected):
    assert sanitize_module_name(name) == expected


@pytest.mark.parametrize("bad", [3, None, b"a.b"])
def test_sanitize_rejects_non_strings(bad):
    with pytest.raises(TypeError, match="'name'"):
        sanitize_module_name(bad)


@pytest.mark.parametrize(
    "value, default, expected",
    [
        (3, (1, 1), (3, 3)),
        ((2, 1), (1, 1), (2, 1)),
        ([4], (1, 1), (4, 4)),
        ((1, 2, 3), (1, 1), (1, 2, 3)),
        (np.int64(5), (1, 1), (5, 5)),
        (np.array(2), (1, 1), (2, 2)),
        (np.array([3, 5], dtype=np.int32), (1, 1), (3, 5)),
        (torch.tensor(2), (1, 1), (2, 2)),
        (torch.tensor([1, 2]), (1, 1), (1, 2)),
        (2.0, (1, 1), (2, 2)),
        ([2.0, np.int32(1)], (1, 1), (2, 1)),
        (0, (1, 1), (0, 0)),
        (None, (1, 1), (1, 1)),
        (None, [3, 2], (3, 2)),
        (None, 2, (2, 2)),
    ],
)
def test_to_tuple_gives_a_plain_tuple_of_python_ints(value, default, expected):
    result = to_tuple(value, default, "stride")
    assert result == expected
    assert type(result) is tuple
    assert all(type(item) is int for item in result)


@pytest.mark.parametrize("mode", ["same", "valid", np.str_("same")])
def test_to_tuple_passes_padding_modes_through(mode):
    result = to_tuple(mode, (0, 0), "padding")
    assert result == str(mode) and type(result) is str


@pytest.mark.parametrize(
    "value, error",
    [
        (True, TypeError),
        (np.bool_(False), TypeError),
        ([1, True], TypeError),
        (1.5, ValueError),
        ([1, 2.5], ValueError),
        (float("nan"), ValueError),
        ("full", ValueError),
        ("SAME", ValueError),
        ([], ValueError),
        (np.zeros((1, 2), dtype=np.int64), TypeError),
        ({"h": 1}, TypeError),
        (b"1", TypeError),
        (object(), TypeError),
        (-1, ValueError),
        ([1, -2], ValueError),
    ],
)
def test_to_tuple_rejects_with_the_field_name(value, error):
    with pytest.raises(error, match="'dilation'"):
        to_tuple(value, (1, 1), "dilation")


def test_to_tuple_none_without_default_is_an_error():
    with pytest.raises(ValueError, match="'kernel_size'"):
        to_tuple(None, None, "kernel_size")
