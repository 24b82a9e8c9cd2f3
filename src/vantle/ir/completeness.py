"""What a node must hold to run, and whether it fits its ports: the checks of a complete graph.

A node built in Python or read from an older tool may lack a field its kind needs (an ``LIF``
without ``r``), or carry arrays that contradict the shapes its ports record (an ``Affine`` whose
weight takes 6 inputs behind an input port of 8). Both import fine and fail later, far from the
cause. ``validate_graph`` and ``write`` check for them and name the node and field.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, NoReturn, Optional

import numpy as np

from . import nodes as kinds
from .graph import Graph
from .node import Node
from .shapes import ShapeError, check_node_shapes, port_shape

Shape = tuple[int, ...]

# Fields that may stay None: hardware metadata, export-only feature counts, optional biases,
# a pooling stride (the kernel size) and one of an upsampling's two size settings.
_OPTIONAL = {"weight_t", "bias_t", "accum_t", "result_t", "reuse_factor", "features",
             "depthwise_bias", "pointwise_bias", "stride", "size", "scale_factor"}
# Kinds whose stride is a real setting, not the pooling default.
_STRIDED = (kinds.SDDetect, kinds.Dist2BBox)


def _required(cls: type) -> tuple[str, ...]:
    """The fields of a kind that have no default and must be given: those whose default is
    None, but for the few that may stay None."""
    defaults = getattr(cls, "_defaults", {})
    strided = issubclass(cls, _STRIDED)
    return tuple(field for field, value in defaults.items() if value is None and (
        field not in _OPTIONAL or (field == "stride" and strided)))


_REQUIRED: dict[type, tuple[str, ...]] = {
    cls: fields for cls in kinds.NODE_CLASSES.values() if (fields := _required(cls))}


def _fail(field: str, message: str) -> NoReturn:
    raise ShapeError(message, field)


def _port(node: Node, ports: str) -> Optional[Shape]:
    """The shape of a node's single input or output port, when it records one."""
    types = getattr(node, ports, None)
    if not isinstance(types, Mapping) or len(types) != 1:
        return None
    return port_shape(next(iter(types.values())))


def _weight(node: Node, field: str = "weight") -> Optional[np.ndarray]:
    value = getattr(node, field, None)
    return value if isinstance(value, np.ndarray) and value.ndim >= 2 else None


def _dense_ports(node: Node) -> None:
    weight = _weight(node)
    if weight is None:
        return
    inputs, outputs = _port(node, "input_type"), _port(node, "output_type")
    if inputs and inputs[-1] != weight.shape[1]:
        _fail("weight", f"field 'weight' takes {weight.shape[1]} input features, the input "
                        f"port records {inputs}")
    if outputs and outputs[-1] != weight.shape[0]:
        _fail("weight", f"field 'weight' gives {weight.shape[0]} output features, the output "
                        f"port records {outputs}")


def _conv_ports(node: Node) -> None:
    weight = _weight(node)
    groups = getattr(node, "groups", 1)
    if weight is None or isinstance(groups, bool) or not isinstance(groups, (int, np.integer)):
        return
    inputs, outputs = _port(node, "input_type"), _port(node, "output_type")
    channels = weight.shape[1] * int(groups)
    if inputs and inputs[0] != channels:
        _fail("weight", f"field 'weight' takes {channels} input channels (with groups="
                        f"{groups}), the input port records {inputs}")
    if outputs and outputs[0] != weight.shape[0]:
        _fail("weight", f"field 'weight' gives {weight.shape[0]} output channels, the output "
                        f"port records {outputs}")


def _batch_norm_ports(node: Node) -> None:
    count, inputs = getattr(node, "num_features", None), _port(node, "input_type")
    if inputs and isinstance(count, (int, np.integer)) and inputs[0] != count:
        _fail("num_features", f"field 'num_features' is {count}, the input port records "
                              f"{inputs}")


def _concat_ports(node: Node) -> None:
    """Several recorded input shapes: one per input, equal but along the joined dimension."""
    types = getattr(node, "input_type", None)
    count, dim = getattr(node, "num_inputs", None), getattr(node, "dim", None)
    if not isinstance(types, Mapping) or len(types) < 2 or not isinstance(count, int):
        return  # one recorded shape stands for all (as older exports wrote it)
    if len(types) != count:
        _fail("input_type", f"field 'input_type' records {len(types)} input shapes for "
                            f"num_inputs={count}")
    recorded = [port_shape(shape) for shape in types.values()]
    shapes = [shape for shape in recorded if shape is not None]
    if len(shapes) < len(recorded) or not isinstance(dim, int) or not all(
            len(s) == len(shapes[0]) > dim >= 0 for s in shapes):
        return
    others = {s[:dim] + s[dim + 1:] for s in shapes}
    if len(others) != 1:
        _fail("input_type", f"field 'input_type' records shapes {shapes}, which differ beyond "
                            f"dimension {dim}")
    outputs = _port(node, "output_type")
    joined = sum(s[dim] for s in shapes)
    if outputs and len(outputs) == len(shapes[0]) and outputs[dim] != joined:
        _fail("output_type", f"field 'output_type' records {outputs}, the inputs join to "
                             f"{joined} along dimension {dim}")


_PORT_RULES = {
    kinds.Affine: _dense_ports,
    kinds.SpikingAffine: _dense_ports,
    kinds.Conv1d: _conv_ports,
    kinds.Conv2d: _conv_ports,
    kinds.BatchNorm1d: _batch_norm_ports,
    kinds.BatchNorm2d: _batch_norm_ports,
    kinds.Concat: _concat_ports,
}

#: The node kinds with required fields or port rules; graph tools pass only their nodes.
FIELD_CHECKED_KINDS: tuple[type, ...] = tuple({**_REQUIRED, **_PORT_RULES, kinds.Upsample: None})


def _kind_of(cls: type, table: Mapping[type, Any]) -> Optional[type]:
    return next((kind for kind in table if issubclass(cls, kind)), None)


def check_node_fields(name: Any, node: Any) -> None:
    """Raise ShapeError (a ValueError) naming ``name`` and the field when ``node`` lacks a
    field its kind needs, or holds arrays that contradict the shapes its ports record."""
    try:
        kind = _kind_of(type(node), _REQUIRED)
        if kind is not None:
            missing = [field for field in _REQUIRED[kind] if getattr(node, field, None) is None]
            if missing:
                fields = ", ".join(repr(field) for field in missing)
                _fail(missing[0], f"lacks field(s) {fields}, which its kind needs")
        if isinstance(node, kinds.Upsample) and getattr(node, "size", None) is None and getattr(
                node, "scale_factor", None) is None:
            _fail("size", "has neither 'size' nor 'scale_factor', one of which it needs")
        kind = _kind_of(type(node), _PORT_RULES)
        if kind is not None:
            _PORT_RULES[kind](node)
    except ShapeError as err:
        raise ShapeError(f"node '{name}' ({type(node).__name__}) {err}", err.field) from None


def check_graph(graph: Graph) -> None:
    """Raise ValueError naming what is wrong when ``graph`` is not complete: an edge that is no
    pair of node names, a node that lacks a field, an array that does not fit its node."""
    for index, edge in enumerate(graph.edges):
        try:
            source, destination = edge
        except (TypeError, ValueError):
            raise ValueError(f"edge {index} is not a (source, destination) pair: "
                             f"{edge!r}") from None
        for end, name in (("source", source), ("destination", destination)):
            if name not in graph.nodes:
                raise ValueError(f"edge {index} ({source!r} -> {destination!r}) names a "
                                 f"{end} that is no node of the graph")
    for name, node in graph.nodes.items():
        check_node_shapes(name, node)
        check_node_fields(name, node)
