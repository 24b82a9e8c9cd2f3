"""What ``info`` and ``draw`` say about each node: shapes, parameters, settings, precision."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, List, Tuple

import numpy as np

from vantle import ir

from .graphs import port_shape
from .shapes import Inferred, Shape

# Arrays that are state or fixed constants rather than learned weights.
_NOT_PARAMETERS = frozenset({"running_mean", "running_var", "dfl_weights",
                             "tau", "r", "v_leak", "v_threshold"})
_PRECISION_FIELDS = ("weight_t", "bias_t", "accum_t", "result_t", "reuse_factor",
                     "spike_mode", "weight_bits", "accumulator_bits")
# Per kind, the scalar settings worth a glance (weights are summarised separately).
_SETTINGS: Dict[str, Tuple[str, ...]] = {
    "Conv1d": ("stride", "padding", "dilation", "groups"),
    "Conv2d": ("stride", "padding", "dilation", "groups"),
    "SepConv2d": ("stride", "padding", "dilation"),
    "MaxPool2d": ("kernel_size", "stride", "padding"),
    "AvgPool2d": ("kernel_size", "stride", "padding"),
    "Flatten": ("start_dim", "end_dim"),
    "Upsample": ("size", "scale_factor", "mode"),
    "Dropout": ("p",),
    "Skip": ("skip_type",),
    "Concat": ("num_inputs", "dim"),
    "ChannelSplit": ("split_sections", "dim"),
    "Softmax": ("dim",),
    "ELU": ("alpha",),
    "GELU": ("approximate",),
    "BatchNorm1d": ("num_features", "eps"),
    "BatchNorm2d": ("num_features", "eps"),
    "LayerNorm": ("normalized_shape", "eps"),
    "SGhostConv": ("primary_stride", "cheap_stride"),
    "SGhostEncoderLite": ("stride",),
    "GhostBasicBlock1": ("stride",),
    "SDDetect": ("num_classes", "reg_max", "stride"),
    "DFLDecode": ("reg_max",),
    "Dist2BBox": ("stride",),
    "NMS": ("score_threshold", "iou_threshold", "max_detections"),
}


@dataclass
class NodeSummary:
    """One node as ``info`` shows it; ``shape_source`` is "ports", "inferred" or "none"."""

    name: str
    kind: str
    input_shapes: List[Shape]
    output_shapes: List[Shape]
    shape_source: str
    parameters: int
    details: Dict[str, Any] = field(default_factory=dict)
    precision: Dict[str, Any] = field(default_factory=dict)


def summarise(name: str, node: ir.Node, inferred: Inferred) -> NodeSummary:
    """The summary of one node; port shapes win over inferred ones."""
    given_in = port_shape(node, "input_type", "input")
    given_out = port_shape(node, "output_type", "output")
    if given_in is not None or given_out is not None:
        inputs = [given_in] if given_in is not None else inferred.inputs.get(name, [])
        outputs = [given_out] if given_out is not None else inferred.outputs.get(name, [])
        source = "ports"
    else:
        inputs, outputs = inferred.inputs.get(name, []), inferred.outputs.get(name, [])
        source = "inferred" if inputs or outputs else "none"
    return NodeSummary(
        name=name,
        kind=type(node).__name__,
        input_shapes=inputs,
        output_shapes=outputs,
        shape_source=source,
        parameters=count_parameters(node),
        details=details(node),
        precision={key: plain(getattr(node, key)) for key in _PRECISION_FIELDS
                   if getattr(node, key, None) is not None},
    )


def count_parameters(node: ir.Node) -> int:
    """Elements of the node's weight and bias arrays (running statistics and neuron constants
    are not parameters)."""
    return sum(int(np.asarray(value).size) for key in node.fields()
               if key not in _NOT_PARAMETERS
               and isinstance(value := getattr(node, key), np.ndarray))


def details(node: ir.Node) -> Dict[str, Any]:
    """The settings that matter for the node's kind, as plain JSON-ready values."""
    kind = type(node).__name__
    shown: Dict[str, Any] = {}
    weight = getattr(node, "weight", None)
    if kind in ("Affine", "SpikingAffine") and isinstance(weight, np.ndarray) and weight.ndim == 2:
        shown["features"] = f"{weight.shape[1]}->{weight.shape[0]}"
    if kind in ("Conv1d", "Conv2d") and isinstance(weight, np.ndarray) and weight.ndim >= 3:
        shown["channels"] = f"{weight.shape[1] * int(getattr(node, 'groups'))}->{weight.shape[0]}"
        shown["kernel"] = list(weight.shape[2:])
    depthwise = getattr(node, "depthwise_weight", None)
    if kind == "SepConv2d" and isinstance(depthwise, np.ndarray) and depthwise.ndim == 4:
        shown["kernel"] = list(depthwise.shape[2:])
    for key in _SETTINGS.get(kind, ()):
        value = getattr(node, key, None)
        if value is not None:
            shown[key] = plain(value)
    slope = getattr(node, "negative_slope", None)
    if kind == "ReLU" and slope is not None and float(slope) > 0:
        shown["negative_slope"] = float(slope)
    if kind == "LIF":
        shown.update(lif_details(node))
    return shown


def lif_details(node: ir.Node) -> Dict[str, Any]:
    """Neuron count and min/mean/max of the time constants and thresholds."""
    shown: Dict[str, Any] = {}
    sizes = [np.asarray(getattr(node, key)).size for key in ("tau", "v_threshold")
             if getattr(node, key, None) is not None]
    if sizes:
        shown["neurons"] = int(max(sizes))
    for key, label in (("tau", "tau"), ("v_threshold", "threshold")):
        value = getattr(node, key, None)
        if value is None:
            continue
        values = np.asarray(value, dtype=np.float64).ravel()
        if values.size == 0:
            continue
        low, mean, high = float(values.min()), float(values.mean()), float(values.max())
        shown[label] = ({"value": low} if low == high
                        else {"min": low, "mean": round(mean, 6), "max": high})
    return shown


def plain(value: Any) -> Any:
    """A field value as JSON-ready data: arrays and tuples become lists, NumPy scalars numbers."""
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, (tuple, list)):
        return [plain(item) for item in value]
    return value


def shapes_text(shapes: List[Shape]) -> str:
    return " + ".join(str(shape) for shape in shapes) if shapes else "-"


def details_text(values: Dict[str, Any]) -> str:
    """``key=value`` pairs; LIF ranges as ``tau=2..6 (mean 4)``."""
    parts = []
    for key, value in values.items():
        if isinstance(value, dict) and "value" in value:
            value = f"{value['value']:.4g}"
        elif isinstance(value, dict):
            value = f"{value['min']:.4g}..{value['max']:.4g} (mean {value['mean']:.4g})"
        elif isinstance(value, list):
            value = "x".join(str(v) for v in value) if key == "kernel" else str(tuple(value))
        parts.append(f"{key}={value}")
    return " ".join(parts)

