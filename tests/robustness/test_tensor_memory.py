"""Float32 CPU tensors whose memory is not there never reach a C++ kernel.

A zero tensor has a null data pointer; a tensor whose storage was resized away keeps its shape
but not its bytes. Both look like plain contiguous float32 CPU tensors to a shallow check.
"""

import numpy as np
import pytest
import torch
from torch import nn

from vantle.bridge import export_ir as ei
from vantle.bridge import quantize as vq
from vantle.bridge.import_ir import LIFModule, NMSModule


def lif_step(x):
    return LIFModule(np.full(4, 2.0), np.ones(4), np.zeros(4), np.full(4, 0.5))(x)


def fake_quantize(x):
    return vq._quantize_tensor(x, 0.1, 0, 8)


def qat_hook(x):
    return vq.quantize_aware_training(nn.Sequential(nn.Identity()), vq.QuantizationConfig())(x)


def export_copy(x):
    return ei.to_array(x, x.numel())


def suppress(boxes):
    return NMSModule._nms_fallback(boxes, torch.linspace(1, 0, boxes.shape[0]), 0.5)


def freed(shape):
    tensor = torch.ones(shape)
    tensor.untyped_storage().resize_(0)
    return tensor


def offset_past_storage(shape):
    tensor = torch.ones(8)[4:].view(shape)
    tensor.untyped_storage().resize_(4 * 6)  # the view needs floats 4 to 7
    return tensor


@pytest.mark.parametrize("path", [lif_step, fake_quantize, qat_hook, suppress])
def test_zero_tensors_compute_as_zeros(path):
    got, want = path(torch._efficientzerotensor((2, 4))), path(torch.zeros(2, 4))
    got, want = (got, want) if isinstance(got, tuple) else ((got,), (want,))
    assert len(got) == len(want) and all(map(torch.equal, got, want))


def test_zero_tensor_export_copy_is_refused_clearly():
    with pytest.raises(RuntimeError, match="ZeroTensor"):
        export_copy(torch._efficientzerotensor(4))


@pytest.mark.parametrize("path", [lif_step, fake_quantize, export_copy, suppress])
@pytest.mark.parametrize("make", [freed, offset_past_storage])
def test_tensors_without_their_storage_are_refused(path, make):
    with pytest.raises(ValueError, match="has a storage of only"):
        path(make((1, 4)))

