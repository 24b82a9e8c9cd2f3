"""The node catalogue: one class per IR node kind.

Every class derives directly from :class:`Node` (never from another kind), because consumers tell
kinds apart by instance tests: a ``SpikingAffine`` must not pass as an ``Affine``.

Defaults follow the matching torch layers where there is one; arrays, and values without a
natural default (kernel sizes, feature counts, detection strides), default to None.
"""

from __future__ import annotations

from typing import Any, Optional

from .node import Node

# Hardware metadata the exporter attaches to dense and convolution nodes.
_HARDWARE: dict[str, Any] = {
    "weight_t": None,
    "bias_t": None,
    "accum_t": None,
    "result_t": None,
    "reuse_factor": None,
}

# Feature count the exporter attaches to activations and dropout.
_FEATURES: dict[str, Any] = {"features": None}

_CONVOLUTION: dict[str, Any] = {
    "weight": None,
    "bias": None,
    "stride": 1,
    "padding": 0,
    "dilation": 1,
    "groups": 1,
    **_HARDWARE,
}

_BATCH_NORM: dict[str, Any] = {
    "num_features": None,
    "eps": 1e-5,
    "momentum": 0.1,
    "weight": None,
    "bias": None,
    "running_mean": None,
    "running_var": None,
}


def _ghost(prefix: str) -> dict[str, Any]:
    """The four arrays of one ghost convolution, named with ``prefix``."""
    return {f"{prefix}{part}": None for part in ("primary_weight", "primary_bias",
                                                  "cheap_weight", "cheap_bias")}


def _stages(branch: str) -> dict[str, Any]:
    """Weight and bias of the three stages of a detection-head branch."""
    return {f"{branch}_{kind}{stage}": None for stage in range(3) for kind in ("w", "b")}


# Structure and I/O ---------------------------------------------------------------------------


class Input(Node):
    """Graph input; its shape is ``input_type``."""


class Output(Node):
    """Graph output; its shape is ``output_type``."""


class HybridRegion(Node):
    """Marks a region that runs outside the spiking core (an identity on import)."""


class Skip(Node):
    """Merges several inputs: "passthrough", "residual" (sum) or "concatenate"."""

    _defaults = {"skip_type": "residual"}


class ChannelSplit(Node):
    """Splits a tensor into consecutive chunks of ``split_sections`` channels along ``dim``."""

    _defaults = {"split_sections": None, "dim": 0}


class Concat(Node):
    """Joins ``num_inputs`` tensors along ``dim`` (batch dimension not counted)."""

    _defaults = {"num_inputs": 2, "dim": 0}


# Dense and convolution -------------------------------------------------------------------------


class Affine(Node):
    """Fully connected layer: ``weight`` [out, in] and ``bias`` [out]."""

    _defaults = {"weight": None, "bias": None, **_HARDWARE}


class SpikingAffine(Node):
    """Fully connected layer that emits spikes, with its encoding and bit widths."""

    _defaults = {
        "weight": None,
        "bias": None,
        "spike_mode": "binary",
        "weight_bits": 8,
        "accumulator_bits": 16,
        **_HARDWARE,
    }


class Conv1d(Node):
    """1-D convolution: ``weight`` [out, in / groups, k] and ``bias`` [out]."""

    _defaults = dict(_CONVOLUTION)


class Conv2d(Node):
    """2-D convolution: ``weight`` [out, in / groups, kH, kW] and ``bias`` [out]."""

    _defaults = dict(_CONVOLUTION)


class SepConv2d(Node):
    """Depthwise convolution followed by a pointwise one; the geometry applies to the first."""

    _defaults = {
        "depthwise_weight": None,
        "pointwise_weight": None,
        "depthwise_bias": None,
        "pointwise_bias": None,
        "stride": 1,
        "padding": 0,
        "dilation": 1,
    }


# Pooling, shape and resampling -----------------------------------------------------------------


class Flatten(Node):
    """Flattens ``start_dim`` (batch not counted) to ``end_dim`` (batch counted)."""

    _defaults = {"start_dim": 0, "end_dim": -1}


class MaxPool2d(Node):
    """2-D max pooling; a ``stride`` of None means the kernel size."""

    _defaults = {
        "kernel_size": None,
        "stride": None,
        "padding": 0,
        "dilation": 1,
        "ceil_mode": False,
    }


class AvgPool2d(Node):
    """2-D average pooling; a ``stride`` of None means the kernel size."""

    _defaults = {
        "kernel_size": None,
        "stride": None,
        "padding": 0,
        "ceil_mode": False,
        "count_include_pad": True,
    }


class Upsample(Node):
    """Resampling to ``size``, or by ``scale_factor`` when ``size`` is None."""

    _defaults = {"size": None, "scale_factor": None, "mode": "nearest", "align_corners": False}


class Dropout(Node):
    """Dropout with drop probability ``p``."""

    _defaults = {"p": 0.5, **_FEATURES}


# Activations and normalisation -----------------------------------------------------------------


class ReLU(Node):
    """Rectifier; a positive ``negative_slope`` makes it leaky."""

    _defaults = {"negative_slope": 0.0, **_FEATURES}


class Sigmoid(Node):
    """Logistic sigmoid."""

    _defaults = dict(_FEATURES)


class Tanh(Node):
    """Hyperbolic tangent."""

    _defaults = dict(_FEATURES)


class Softmax(Node):
    """Softmax over ``dim`` (batch dimension counted)."""

    _defaults = {"dim": -1, **_FEATURES}


class GELU(Node):
    """Gaussian error linear unit; ``approximate`` selects the tanh form."""

    _defaults = {"approximate": False, **_FEATURES}


class ELU(Node):
    """Exponential linear unit."""

    _defaults = {"alpha": 1.0, **_FEATURES}


class PReLU(Node):
    """Rectifier with learned slopes ``weight``."""

    _defaults = {"weight": None, **_FEATURES}


class BatchNorm1d(Node):
    """Batch normalisation over ``num_features`` channels of 1-D data."""

    _defaults = dict(_BATCH_NORM)


class BatchNorm2d(Node):
    """Batch normalisation over ``num_features`` channels of 2-D data."""

    _defaults = dict(_BATCH_NORM)


class LayerNorm(Node):
    """Layer normalisation over ``normalized_shape``."""

    _defaults = {"normalized_shape": None, "eps": 1e-5, "weight": None, "bias": None}


# Spiking neurons ---------------------------------------------------------------------------------


class LIF(Node):
    """Leaky integrate-and-fire neurons; each array holds one value per neuron or one for all."""

    _defaults = {"tau": None, "r": None, "v_leak": None, "v_threshold": None}


# Detection network -------------------------------------------------------------------------------


class SGhostConv(Node):
    """Ghost convolution: a primary convolution and a cheap depthwise one on its output."""

    _defaults = {
        **_ghost(""),
        "primary_stride": 1,
        "primary_padding": 0,
        "cheap_stride": 1,
        "cheap_padding": 0,
    }


class SGhostEncoderLite(Node):
    """Stem convolution followed by a ghost convolution."""

    _defaults = {"conv1_weight": None, "conv1_bias": None, **_ghost("ghost_"), "stride": 1}


class GhostBasicBlock1(Node):
    """Ghost residual block with a ghost convolution on the residual path."""

    _defaults = {**_ghost("cvres_"), **_ghost("cv0_"), **_ghost("cv2_"), "stride": 1}


class GhostBasicBlock2(Node):
    """Ghost residual block with an identity residual path."""

    _defaults = {**_ghost("cv0_"), **_ghost("cv2_")}


class SDDetect(Node):
    """Detection head with a box branch (``cv2_*``) and a class branch (``cv3_*``)."""

    _defaults = {
        "num_classes": None,
        "reg_max": 16,
        "stride": None,
        **_stages("cv2"),
        **_stages("cv3"),
    }


class DFLDecode(Node):
    """Distribution focal loss decoding: expected value over ``reg_max`` bins."""

    _defaults = {"reg_max": 16, "dfl_weights": None}


class Dist2BBox(Node):
    """Turns distances to box sides into boxes, scaled by ``stride``."""

    _defaults = {"stride": None}


class NMS(Node):
    """Non-maximum suppression; ``max_detections`` of 0 or less means no cap."""

    _defaults = {"score_threshold": 0.25, "iou_threshold": 0.45, "max_detections": 0}


#: Every node kind of the catalogue, by kind name, in catalogue order.
NODE_CLASSES: dict[str, type[Node]] = {
    cls.kind: cls
    for cls in (
        Input, Output, HybridRegion, Skip, ChannelSplit, Concat,
        Affine, SpikingAffine, Conv1d, Conv2d, SepConv2d,
        Flatten, MaxPool2d, AvgPool2d, Upsample, Dropout,
        ReLU, Sigmoid, Tanh, Softmax, GELU, ELU, PReLU, BatchNorm1d, BatchNorm2d, LayerNorm,
        LIF,
        SGhostConv, SGhostEncoderLite, GhostBasicBlock1, GhostBasicBlock2,
        SDDetect, DFLDecode, Dist2BBox, NMS,
    )
}  # fmt: skip

#: The order in which the importer tests a node's kind: a class that derives from several kinds
#: converts as the first of them here, and the checks of import and validation take it as that.
CONVERSION_ORDER: tuple[type[Node], ...] = (
    Input, Output, Affine, SpikingAffine, Conv1d, Conv2d, Flatten, MaxPool2d, AvgPool2d,
    SepConv2d, Skip, ChannelSplit, Concat, LIF, Upsample, SGhostConv, SGhostEncoderLite,
    GhostBasicBlock1, GhostBasicBlock2, SDDetect, DFLDecode, Dist2BBox, NMS, ReLU, Sigmoid, Tanh,
    Softmax, GELU, ELU, PReLU, BatchNorm1d, BatchNorm2d, LayerNorm, Dropout, HybridRegion,
)  # fmt: skip


def conversion_kind(cls: type) -> Optional[type[Node]]:
    """The kind a node of class ``cls`` converts as (None for a class of no kind)."""
    return next((kind for kind in CONVERSION_ORDER if issubclass(cls, kind)), None)
