"""ChannelSplitModule and ConcatModule: construction checks, splitting, pass-through."""

from __future__ import annotations

import re

import numpy as np
import pytest
import torch

from vantle.bridge.import_ir import ChannelSplitModule, ConcatModule


class TupleSubclass(tuple):
    pass


class StrNumber(str):
    pass


# --- ChannelSplitModule -----------------------------------------------------------------------


@pytest.mark.parametrize("dim", [1, -3])
def test_split_gives_consecutive_channel_views(dim):
    x = torch.randn(2, 64, 8, 8)
    chunks = ChannelSplitModule((16, 16, 32), dim=dim)(x)
    assert isinstance(chunks, tuple) and [c.shape[1] for c in chunks] == [16, 16, 32]
    assert torch.equal(torch.cat(chunks, dim=1), x)
    assert torch.equal(chunks[1], x[:, 16:32])
    assert chunks[2].data_ptr() == x[:, 32:].data_ptr()  # views, not copies


def test_split_along_another_axis():
    x = torch.arange(24.0).reshape(2, 3, 4)
    first, second = ChannelSplitModule((1, 3), dim=-1)(x)
    assert torch.equal(first, x[..., :1]) and torch.equal(second, x[..., 1:])


def test_stored_values_are_ints():
    module = ChannelSplitModule((np.int64(4), 2.9, True), dim=1.7)
    assert module.split_sections == (4, 2, 1) and module.dim == 1
    assert all(type(v) is int for v in (*module.split_sections, module.dim))
    assert ChannelSplitModule._is_multi_output is True
    assert list(module.state_dict()) == []


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        (((),), ValueError, "split_sections must be non-empty"),
        (((4, 0),), ValueError, "All split_sections must be positive integers"),
        (((4, -1, 0),), ValueError, "All split_sections must be positive integers"),
        (([4, 4],), TypeError,
         "Argument 'split_sections' has incorrect type (expected tuple, got list)"),
        ((TupleSubclass((4, 4)),), TypeError,
         "Argument 'split_sections' has incorrect type (expected tuple, got TupleSubclass)"),
        ((None,), TypeError,
         "Argument 'split_sections' has incorrect type (expected tuple, got NoneType)"),
        # Both arguments are type-checked before any value is.
        (((), "1"), TypeError, "Argument 'dim' has incorrect type (expected int, got str)"),
        (((4,), None), TypeError, "Argument 'dim' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_split_construction_errors(args, error, message):
    with pytest.raises(error, match=re.escape(message) + "$"):
        ChannelSplitModule(*args)


def test_split_entry_that_is_no_number_raises_int_error():
    with pytest.raises(ValueError, match="invalid literal for int"):
        ChannelSplitModule(("x",))


@pytest.mark.parametrize(
    ("sections", "dim", "shape", "message"),
    [
        ((5,), 1, (5,), "ChannelSplit expects at least 2D input, got shape (5,)"),
        ((1,), 1, (), "ChannelSplit expects at least 2D input, got shape ()"),
        ((4,), 4, (1, 4, 2, 2), "Split dim 4 out of range for rank 4"),
        ((4,), -5, (1, 4, 2, 2), "Split dim -5 out of range for rank 4"),
        ((4,), 2**70, (1, 4, 2, 2), f"Split dim {2**70} out of range for rank 4"),
        ((16, 16, 31), -3, (2, 64, 8, 8),
         "Split sections sum (63) must match input size along dim 1 (64)"),
        ((8, 8), 2, (1, 3, 17), "Split sections sum (16) must match input size along dim 2 (17)"),
    ],
)
def test_split_forward_errors(sections, dim, shape, message):
    with pytest.raises(ValueError, match=re.escape(message) + "$"):
        ChannelSplitModule(sections, dim=dim)(torch.zeros(shape))


def test_split_reads_its_attributes_at_call_time():
    module = ChannelSplitModule((2, 2))
    module.split_sections = (1, 3)
    first, second = module(torch.zeros(1, 4))
    assert (first.shape[1], second.shape[1]) == (1, 3)


# --- ConcatModule -----------------------------------------------------------------------------


def test_concat_stores_values_and_passes_input_through():
    module = ConcatModule(3, dim=2)
    assert (module.num_inputs, module.dim, module.skip_type) == (3, 2, "concatenate")
    x = torch.zeros(2, 3)
    assert module(x) is x
    default = ConcatModule()
    assert (default.num_inputs, default.dim) == (2, 1)
    truncated = ConcatModule(2.9, dim=np.float64(-1.5))
    assert (truncated.num_inputs, truncated.dim) == (2, -1)
    assert list(module.state_dict()) == []


@pytest.mark.parametrize(
    ("args", "error", "message"),
    [
        ((1,), ValueError, "Concat requires at least 2 inputs, got 1"),
        ((1.9,), ValueError, "Concat requires at least 2 inputs, got 1"),
        ((-4,), ValueError, "Concat requires at least 2 inputs, got -4"),
        (("3",), TypeError, "Argument 'num_inputs' has incorrect type (expected int, got str)"),
        ((StrNumber("3"),), TypeError,
         "Argument 'num_inputs' has incorrect type (expected int, got StrNumber)"),
        ((1, None), TypeError, "Argument 'dim' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_concat_construction_errors(args, error, message):
    with pytest.raises(error, match=re.escape(message) + "$"):
        ConcatModule(*args)
