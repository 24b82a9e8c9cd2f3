"""Imported module classes survive pickle, deepcopy, torch.save/torch.load and state_dict reloads."""

from __future__ import annotations

import copy
import io
import pickle

import numpy as np
import pytest
import torch

from vantle.bridge import import_ir as imp

RNG = np.random.default_rng(2)


def sepconv():
    return imp.SepConv2dModule(RNG.standard_normal((4, 1, 3, 3)),
                               RNG.standard_normal((6, 4, 1, 1)), RNG.standard_normal(4), None,
                               (1, 1), (1, 1), (1, 1))


MODULES = {
    "ChannelSplitModule": (lambda: imp.ChannelSplitModule((1, 3), dim=-1),
                           ["split_sections", "dim"]),
    "ConcatModule": (lambda: imp.ConcatModule(3, dim=2), ["num_inputs", "dim", "skip_type"]),
    "NMSModule": (lambda: imp.NMSModule(0.1, 0.6, 7),
                  ["score_threshold", "iou_threshold", "max_detections"]),
    "SkipModule": (lambda: imp.SkipModule("concatenate"), ["skip_type"]),
    "SepConv2dModule": (sepconv, ["stride", "padding", "dilation"]),
}


def torch_round_trip(module):
    buffer = io.BytesIO()
    torch.save(module, buffer)
    buffer.seek(0)
    return torch.load(buffer, weights_only=False)


COPIES = {
    "pickle": lambda m: pickle.loads(pickle.dumps(m)),
    "deepcopy": copy.deepcopy,
    "torch.save": torch_round_trip,
}


@pytest.mark.parametrize("how", COPIES)
@pytest.mark.parametrize("name", MODULES)
def test_copies_keep_class_values_and_tensors(name, how):
    make, attributes = MODULES[name]
    original = make()
    copied = COPIES[how](original)
    assert type(copied) is type(original) and copied is not original
    for attribute in attributes:
        assert getattr(copied, attribute) == getattr(original, attribute)
    state, copied_state = original.state_dict(), copied.state_dict()
    assert list(copied_state) == list(state)
    for key in state:
        assert torch.equal(copied_state[key], state[key])
        assert copied_state[key].data_ptr() != state[key].data_ptr()


def test_state_dict_reloads_into_a_new_module():
    trained = sepconv()
    fresh = sepconv()
    fresh.load_state_dict(trained.state_dict())
    x = torch.randn(1, 4, 5, 5)
    assert torch.equal(fresh(x), trained(x))
    buffer = io.BytesIO()
    torch.save(trained.state_dict(), buffer)
    buffer.seek(0)
    fresh.load_state_dict(torch.load(buffer))  # weights_only loading of plain tensors
    assert torch.equal(fresh(x), trained(x))


def test_copied_split_and_nms_still_run():
    x = torch.arange(8.0).reshape(2, 4)
    assert [c.shape[-1] for c in copy.deepcopy(imp.ChannelSplitModule((1, 3), dim=-1))(x)] == [1, 3]
    detections = torch.tensor([[5.0, 5.0, 4.0, 4.0, 0.9], [5.0, 5.0, 4.0, 4.0, 0.8]])
    assert len(pickle.loads(pickle.dumps(imp.NMSModule()))(detections)) == 1
