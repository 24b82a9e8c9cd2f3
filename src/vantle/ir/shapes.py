"""Shapes of the arrays a node kind requires, checked where graphs enter the system.

An array of the wrong shape is not always refused by torch: a bias of shape (1,) broadcasts over
every output, and an LIF ``tau`` of shape (4, 1) turns four neurons into a 4 x 4 grid. So the
reader and ``validate_graph`` check each node's arrays against its kind and name the node and
field. Only NumPy arrays are checked; a missing (None) or non-array field is left to the code
that uses it.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Mapping
from typing import Any, NoReturn, Optional

import numpy as np

from . import nodes as kinds
from .node import Node

Shape = tuple[int, ...]


class ShapeError(ValueError):
    """An array field whose shape does not fit its node; ``field`` names it."""

    def __init__(self, message: str, field: str) -> None:
        super().__init__(message)
        self.field = field


def _array(node: Node, field: str) -> Optional[np.ndarray]:
    value = getattr(node, field, None)
    return value if isinstance(value, np.ndarray) else None


def _fail(field: str, array: np.ndarray, expected: str) -> NoReturn:
    raise ShapeError(f"field '{field}' has shape {array.shape}; expected {expected}", field)


def _check_ndim(node: Node, field: str, ndim: int, layout: str) -> Optional[np.ndarray]:
    """The array of ``field`` when it has ``ndim`` dimensions (None when absent)."""
    array = _array(node, field)
    if array is not None and array.ndim != ndim:
        _fail(field, array, f"a {ndim}-D array {layout}")
    return array


def _check_vector(node: Node, field: str, length: int, what: str) -> None:
    array = _array(node, field)
    if array is not None and array.shape != (length,):
        _fail(field, array, f"({length},), one value per {what}")


def _dense(node: Node, ndim: int, layout: str) -> None:
    """Dense and convolution layers: the weight's layout, and one bias per output."""
    weight = _check_ndim(node, "weight", ndim, layout)
    if weight is not None:
        _check_vector(node, "bias", weight.shape[0], "output of the weight")


def _affine(node: Node) -> None:
    _dense(node, 2, "[out_features, in_features]")


def _conv1d(node: Node) -> None:
    _dense(node, 3, "[out_channels, in_channels / groups, kernel_size]")


def _conv2d(node: Node) -> None:
    _dense(node, 4, "[out_channels, in_channels / groups, kH, kW]")


def _sepconv2d(node: Node) -> None:
    depthwise = _check_ndim(node, "depthwise_weight", 4, "[in_channels, 1, kH, kW]")
    pointwise = _check_ndim(node, "pointwise_weight", 4, "[out_channels, in_channels, 1, 1]")
    if depthwise is not None:
        if depthwise.shape[1] != 1:
            _fail("depthwise_weight", depthwise, "[in_channels, 1, kH, kW]")
        _check_vector(node, "depthwise_bias", depthwise.shape[0], "input channel")
    if pointwise is not None:
        channels = depthwise.shape[0] if depthwise is not None else pointwise.shape[1]
        if pointwise.shape[1:] != (channels, 1, 1):
            _fail("pointwise_weight", pointwise, f"[out_channels, {channels}, 1, 1]")
        _check_vector(node, "pointwise_bias", pointwise.shape[0], "output channel")


def _batch_norm(node: Node) -> None:
    count = getattr(node, "num_features", None)
    if isinstance(count, bool) or not isinstance(count, (int, np.integer)):
        return
    for field in ("weight", "bias", "running_mean", "running_var"):
        _check_vector(node, field, int(count), "feature (num_features)")


def _layer_norm(node: Node) -> None:
    normalized = getattr(node, "normalized_shape", None)
    try:
        shape = (int(normalized),) if np.ndim(normalized) == 0 else tuple(int(n) for n in normalized)
    except (TypeError, ValueError, OverflowError):
        return  # not a shape: left to the layer-norm layer to refuse
    for field in ("weight", "bias"):
        array = _array(node, field)
        if array is not None and array.shape != shape:
            _fail(field, array, f"{shape}, the normalized shape")


# No tensor library takes more dimensions than this: a longer recorded shape is no shape.
MAX_DIMS = 64


def port_shape(value: Any) -> Optional[Shape]:
    """A shape recorded in a port type as a tuple of ints; None when it is none."""
    if type(value) is np.ndarray and value.ndim == 1 and value.dtype.kind in "iu":
        # The common form, as the exporter writes it.
        return tuple(value.tolist()) if value.size <= MAX_DIMS else None
    try:
        array = np.asarray(value)
        if array.size > MAX_DIMS:
            return None
        return tuple(int(n) for n in array.reshape(-1))
    except (TypeError, ValueError, OverflowError):
        return None


def _neuron_shape(node: Node) -> Optional[Shape]:
    """Shape of one sample's neurons (batch not counted), from the node's port types."""
    for ports in (getattr(node, "output_type", None), getattr(node, "input_type", None)):
        # A dict first: the abstract Mapping test costs more than the rest of the rule.
        if (type(ports) is dict or isinstance(ports, Mapping)) and len(ports) == 1:
            return port_shape(next(iter(ports.values())))
    return None


def _fits(shape: Shape, target: Shape) -> bool:
    """Whether an array of ``shape`` broadcasts against ``target`` without changing it.

    Worked out here rather than by NumPy, whose broadcasting stops at 32 dimensions, while a
    port type may record any number.
    """
    if shape == target:
        return all(n >= 0 for n in target)
    if len(shape) > len(target) or any(n < 0 for n in target):
        return False
    return all(n == m or n == 1 for n, m in zip(reversed(shape), reversed(target)))


_LIF_ARRAYS = ("tau", "r", "v_leak", "v_threshold")


def _lif(node: Node) -> None:
    """One value per neuron, or one for all: no array may widen the neurons' shape."""
    present = {field: array for field in _LIF_ARRAYS if (array := _array(node, field)) is not None}
    neurons = _neuron_shape(node)
    if neurons is None:
        # No port type to go by: the arrays must agree among themselves; the shape most of
        # them have (the first on a tie) stands for the neurons'.
        if len({array.shape for array in present.values()}) <= 1:
            return  # all alike (the common case): nothing to widen
        shapes = Counter(array.shape for array in present.values() if array.size != 1)
        neurons = shapes.most_common(1)[0][0] if shapes else ()
    for field, array in present.items():
        if array.size != 1 and not _fits(array.shape, neurons):
            _fail(field, array, f"one value, or one per neuron of shape {neurons}")


_RULES: dict[type, Callable[[Node], None]] = {
    kinds.Affine: _affine,
    kinds.SpikingAffine: _affine,
    kinds.Conv1d: _conv1d,
    kinds.Conv2d: _conv2d,
    kinds.SepConv2d: _sepconv2d,
    kinds.BatchNorm1d: _batch_norm,
    kinds.BatchNorm2d: _batch_norm,
    kinds.LayerNorm: _layer_norm,
    kinds.LIF: _lif,
}

#: The node kinds whose arrays have rules; graph tools pass only their nodes to the check.
SHAPE_CHECKED_KINDS: tuple[type, ...] = tuple(_RULES)

# Rule per concrete class, subclasses of the kinds included; filled as classes are met.
_rule_of_type: dict[type, Optional[Callable[[Node], None]]] = dict(_RULES)


def _rule(cls: type) -> Optional[Callable[[Node], None]]:
    try:
        return _rule_of_type[cls]
    except KeyError:
        # A class of several kinds is the kind import converts it as.
        rule = _RULES.get(kinds.conversion_kind(cls))  # type: ignore[arg-type]
        _rule_of_type[cls] = rule
        return rule


def check_node_shapes(name: Any, node: Any) -> None:
    """Raise ShapeError (a ValueError) naming ``name`` and the field when an array of ``node`` has a shape its
    kind does not allow (a bias that is not one value per output, an LIF array that would widen
    the neurons' shape, ...)."""
    rule = _rule(type(node))
    if rule is None:
        return
    try:
        rule(node)
    except ShapeError as err:
        raise ShapeError(f"node '{name}' ({type(node).__name__}) {err}", err.field) from None

