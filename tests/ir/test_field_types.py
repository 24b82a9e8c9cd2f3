"""check_node_types: what import refuses in a node's fields, and what it must keep taking."""

import math

import numpy as np
import pytest

import vantle.ir as ir


class Tagged(np.ndarray):
    """An ndarray subclass."""


class ArrayLike:
    """Not an ndarray, but converts through its own astype, as documented."""

    def astype(self, dtype):
        return np.zeros(2, dtype)


class ConvAndInput(ir.Conv2d, ir.Input):
    """Converts as an Input, the earlier kind of the import's chain."""


GHOST = {"primary_weight": np.ones((1, 1, 1, 1)), "cheap_weight": np.ones((1, 1, 1, 1)),
         "primary_bias": np.ones(1), "cheap_bias": np.ones(1)}


def conv(**fields):
    return ir.Conv2d(**{"weight": np.ones((1, 1, 1, 1)), "bias": np.ones(1), **fields})


ACCEPTED = [
    conv(groups=np.int64(1)), conv(groups=2.0), conv(groups=True), conv(groups=np.array(1)),
    conv(weight=np.ones((1, 1, 1, 1), ">f8").view(Tagged)), conv(weight=ArrayLike()),
    conv(weight=np.zeros((1, 1, 1, 1), bool)), conv(bias=None),  # the documented AttributeError
    ir.BatchNorm1d(num_features=np.int32(2), eps=np.float32(1e-5), momentum=None,
                   **{f: np.ones(2) for f in ("weight", "bias", "running_mean", "running_var")}),
    ir.Dropout(p=math.nan), ir.ELU(alpha=2**62), ir.Softmax(dim=None),
    ir.LayerNorm(normalized_shape=np.array([2, 3]), weight=np.ones((2, 3)), bias=np.ones((2, 3))),
    ir.Upsample(size=(3, 4), mode="nearest"), ir.ChannelSplit(split_sections=[2, 2.0]),
    ir.SGhostConv(primary_stride=np.array([2, 1]), cheap_padding=(1, 1), **GHOST),
    ConvAndInput(weight=[1, 2], groups="x"),
]

# (node, field named, error, words of the message)
REFUSED = [
    (conv(weight=None), "weight", ValueError, "is None"),
    (conv(weight=[[[[1.0]]]]), "weight", TypeError, "got list"),
    (conv(weight=np.float64(1.0)), "weight", TypeError, "got float64"),
    (conv(weight=np.ones((1, 1, 1, 1), complex)), "weight", TypeError, "dtype complex128"),
    (conv(bias=np.array(["1"])), "bias", TypeError, "dtype <U1"),
    (conv(groups=math.inf), "groups", ValueError, "finite"),
    (conv(groups=np.float32(math.nan)), "groups", ValueError, "finite"),
    (conv(groups=2**63), "groups", ValueError, "64 bits"),
    (conv(groups="2"), "groups", TypeError, "got str"),
    (conv(groups=np.array([1, 1])), "groups", TypeError, "got ndarray"),
    (ir.Flatten(start_dim=1.0), "start_dim", TypeError, "got float"),
    (ir.BatchNorm2d(num_features=None), "num_features", TypeError, "got NoneType"),
    (ir.NMS(iou_threshold="0.5"), "iou_threshold", TypeError, "got str"),
    (ir.ELU(alpha=-(2**70)), "alpha", ValueError, "64 bits"),
    (ir.LayerNorm(normalized_shape=(2, 2.5)), "normalized_shape", TypeError, "entry 1"),
    (ir.Upsample(size=np.ones(10**3, np.int64)), "size", ValueError, "1000 entries"),
    (ir.Upsample(mode=None), "mode", TypeError, "str"),
    (ir.ChannelSplit(split_sections=(1, math.nan)), "split_sections", ValueError, "entry 1"),
    (ir.SGhostConv(primary_stride=[1.0, math.inf], **GHOST), "primary_stride", ValueError,
     "entry 1"),
    (ir.LIF(tau=np.ones(2), r=np.ones(2), v_leak=np.ones(2), v_threshold=None), "v_threshold",
     ValueError, "is None"),
]


@pytest.mark.parametrize("node", ACCEPTED, ids=lambda node: type(node).__name__)
def test_values_import_takes_pass(node):
    ir.check_node_types("n", node)


@pytest.mark.parametrize(("node", "field", "error", "words"), REFUSED,
                         ids=[f"{type(n).__name__}.{f}-{w}" for n, f, _, w in REFUSED])
def test_values_import_cannot_take_are_refused_by_name(node, field, error, words):
    with pytest.raises(error) as raised:
        ir.check_node_types("n", node)
    message = str(raised.value)
    assert message.startswith(f"node 'n' ({type(node).__name__}) field '{field}' ")
    assert words in message


def test_a_field_the_node_lacks_is_left_to_the_conversion():
    node = conv()
    del node.weight
    ir.check_node_types("n", node)
