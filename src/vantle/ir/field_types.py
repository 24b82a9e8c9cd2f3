"""The value types a node's fields must have to be imported, checked where a graph enters import.

A graph built in Python never passes the reader's checks, so its fields can hold anything: a
list where an array belongs, a complex or object array, a stride of NaN, a count beyond 64 bits.
Left alone, such values fail deep inside a layer constructor or at the first step, with a
message that names neither the node nor the field (or, for complex weights, import quietly
drops the imaginary part). ``check_node_types`` names both.

Only what the conversion could not take is refused. A bias of None in the kinds that always
load one is left to the conversion, whose AttributeError for it is documented; so are the exact
types some module classes insist on (a tuple ``split_sections``, a str ``skip_type``).
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable
from typing import Any, Optional

import numpy as np

from . import nodes as kinds
from .shapes import MAX_DIMS

# A problem with a value: the exception type and what is wrong, or None when the value is fine.
Problem = Optional[tuple[type[Exception], str]]
Rule = Callable[[Any], Problem]

_INT64 = 2**63
_NUMERIC_KINDS = "biuf"  # bool, signed and unsigned integers, floats
_ABSENT = object()


def _type_name(value: Any) -> str:
    return type(value).__name__


def _real(value: Any) -> Any:
    """``value`` as a real number (a 0-d numeric array as its item), or None if it is none."""
    if isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype.kind in _NUMERIC_KINDS:
        return value.item()
    return value if isinstance(value, numbers.Real) else None


def _in_int64(value: Any) -> Problem:
    if isinstance(value, numbers.Integral) and not -_INT64 <= int(value) < _INT64:
        return ValueError, f"is {value}, which does not fit in 64 bits"
    return None


# For each rule, the quick test (one of the codes below) that accepts the values graphs nearly
# always hold without the rule's own work; ``check_node_types`` runs them inline, since import
# runs it on every node.
_QUICK: dict[Rule, int] = {}
(_NO_QUICK, _ARRAY, _ARRAY_OR_NONE, _INT, _INT_OR_NONE, _FLOAT, _FLOAT_OR_NONE, _STR,
 _INTS) = range(9)


def _small_int(value: Any) -> bool:
    return type(value) is int and -_INT64 <= value < _INT64


def _small_ints(value: Any) -> bool:
    return type(value) is tuple and all(_small_int(entry) for entry in value)


def _quick(code: int, value: Any) -> bool:
    """Whether the quick test ``code`` accepts ``value``."""
    if code == _ARRAY or (code == _ARRAY_OR_NONE and value is not None):
        return type(value) is np.ndarray and value.dtype.kind in _NUMERIC_KINDS
    if code == _INT or (code == _INT_OR_NONE and value is not None):
        return _small_int(value)
    if code == _FLOAT or (code == _FLOAT_OR_NONE and value is not None):
        return type(value) is float
    if code == _STR:
        return type(value) is str
    if code == _INTS:
        return _small_ints(value)
    return code != _NO_QUICK  # an "or none" test given None


def array(value: Any) -> Problem:
    """A NumPy array of numbers, or anything else with its own ``astype``."""
    if value is None:
        return ValueError, "is None; its kind needs an array"
    if isinstance(value, np.ndarray):
        if value.dtype.kind not in _NUMERIC_KINDS:
            return TypeError, (f"has dtype {value.dtype}; expected an array of numbers (bool, "
                               "integer or float)")
        return None
    if hasattr(value, "astype") and not isinstance(value, np.generic):
        return None  # converts through its own astype (a NumPy scalar's gives no array)
    return TypeError, f"must be a NumPy array, got {_type_name(value)}"


def integer(value: Any) -> Problem:
    """Any real number the conversion truncates to an int: finite and within 64 bits."""
    number = _real(value)
    if number is None:
        return TypeError, f"must be an integer, got {_type_name(value)}"
    if not isinstance(number, numbers.Integral) and not math.isfinite(number):
        return ValueError, f"must be a finite number, got {number}"
    return _in_int64(int(number))


def index(value: Any) -> Problem:
    """An int proper (no float), as torch takes dimensions and feature counts."""
    if isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype.kind in "iu":
        value = value.item()
    if not isinstance(value, numbers.Integral):
        return TypeError, f"must be an integer, got {_type_name(value)}"
    return _in_int64(value)


def real(value: Any) -> Problem:
    """A real number (NaN and infinities included); integers within 64 bits, as torch takes
    them."""
    number = _real(value)
    if number is None:
        return TypeError, f"must be a number, got {_type_name(value)}"
    return _in_int64(number)


def _or_none(rule: Rule) -> Rule:
    def check(value: Any) -> Problem:
        return None if value is None else rule(value)

    _QUICK[check] = {_ARRAY: _ARRAY_OR_NONE, _INT: _INT_OR_NONE, _FLOAT: _FLOAT_OR_NONE}.get(
        _QUICK[rule], _NO_QUICK)
    return check


def _entries(rule: Rule, what: str) -> Rule:
    """A tuple or list whose every entry passes ``rule``; other types pass (the conversion
    refuses them with its own documented error)."""

    def check(value: Any) -> Problem:
        if not isinstance(value, (tuple, list)):
            return None
        for position, entry in enumerate(value):
            problem = rule(entry)
            if problem is not None:
                return problem[0], f"{what} {position} {problem[1]}"
        return None

    _QUICK[check] = _INTS
    return check


_index_entries = _entries(index, "entry")
_integer_entries = _entries(integer, "entry")


def _shape(value: Any) -> Problem:
    """An int or a sequence of ints (a layer-norm or upsampling size)."""
    if isinstance(value, (tuple, list)):
        return _index_entries(value)
    if isinstance(value, np.ndarray) and value.ndim == 1:
        if value.size > MAX_DIMS:  # a zero-stride view may claim billions
            return ValueError, f"has {value.size} entries, more than any tensor has dimensions"
        return _index_entries(value.tolist())
    return index(value)


def _pair(value: Any) -> Problem:
    """A number, or two of them (a sequence or an array): each must be a finite integer.
    Anything else the conversion refuses with its own TypeError."""
    if isinstance(value, np.ndarray):
        if value.size > 2:
            return None
        value = value.reshape(-1).tolist()
    if isinstance(value, (tuple, list)):
        return _integer_entries(value)
    return integer(value) if _real(value) is not None else None


def _string(value: Any) -> Problem:
    return None if isinstance(value, str) else (TypeError, f"must be a str, got "
                                                           f"{_type_name(value)}")


_QUICK.update({array: _ARRAY, integer: _INT, index: _INT, _shape: _INT, real: _FLOAT,
               _pair: _INT, _string: _STR})


def _arrays(*fields: str) -> dict[str, Rule]:
    return dict.fromkeys(fields, array)


def _ghost(prefix: str) -> dict[str, Rule]:
    return _arrays(*(f"{prefix}{part}" for part in ("primary_weight", "primary_bias",
                                                     "cheap_weight", "cheap_bias")))


# These kinds always load a bias; for a bias of None the conversion's AttributeError is the
# documented error.
_DENSE = {"weight": array, "bias": _or_none(array)}
_BATCH_NORM = {"num_features": index, "eps": real, "momentum": _or_none(real),
               **_arrays("weight", "bias", "running_mean", "running_var")}
_STRIDED_GHOST = {"stride": integer}

_RULES: dict[type, dict[str, Rule]] = {
    kinds.Affine: _DENSE,
    kinds.SpikingAffine: _DENSE,
    kinds.Conv1d: {**_DENSE, **dict.fromkeys(("stride", "padding", "dilation", "groups"),
                                             integer)},
    kinds.Conv2d: {**_DENSE, "groups": integer},
    kinds.SepConv2d: {**_arrays("depthwise_weight", "pointwise_weight"),
                      "depthwise_bias": _or_none(array), "pointwise_bias": _or_none(array)},
    kinds.Flatten: {"start_dim": index, "end_dim": index},
    kinds.ChannelSplit: {"split_sections": _integer_entries, "dim": integer},
    kinds.Concat: {"num_inputs": integer, "dim": integer},
    kinds.Upsample: {"size": _or_none(_shape), "mode": _string},
    kinds.Dropout: {"p": real},
    kinds.ReLU: {"negative_slope": real},
    kinds.Softmax: {"dim": _or_none(index)},
    kinds.ELU: {"alpha": real},
    kinds.PReLU: _arrays("weight"),
    kinds.BatchNorm1d: _BATCH_NORM,
    kinds.BatchNorm2d: _BATCH_NORM,
    kinds.LayerNorm: {"normalized_shape": _shape, "eps": real, "weight": array,
                      "bias": _or_none(array)},
    kinds.LIF: _arrays("tau", "r", "v_leak", "v_threshold"),
    kinds.SGhostConv: {**_ghost(""), **dict.fromkeys(
        ("primary_stride", "primary_padding", "cheap_stride", "cheap_padding"), _pair)},
    kinds.SGhostEncoderLite: {**_arrays("conv1_weight", "conv1_bias"), **_ghost("ghost_"),
                              **_STRIDED_GHOST},
    kinds.GhostBasicBlock1: {**_ghost("cvres_"), **_ghost("cv0_"), **_ghost("cv2_"),
                             **_STRIDED_GHOST},
    kinds.GhostBasicBlock2: {**_ghost("cv0_"), **_ghost("cv2_")},
    kinds.SDDetect: {"num_classes": integer, "reg_max": integer, "stride": integer,
                     **_arrays(*(f"{branch}_{part}{stage}" for branch in ("cv2", "cv3")
                                 for stage in range(3) for part in ("w", "b")))},
    kinds.DFLDecode: {"reg_max": integer, "dfl_weights": array},
    kinds.Dist2BBox: {"stride": integer},
    kinds.NMS: {"score_threshold": real, "iou_threshold": real, "max_detections": integer},
}

#: The node kinds whose field types have rules; import passes only their nodes to the check.
TYPE_CHECKED_KINDS: tuple[type, ...] = tuple(_RULES)

Checks = tuple[tuple[str, Rule, int], ...]
# (field, rule, quick test) per concrete class, subclasses of the kinds included; filled as
# classes are met.
_rules_of_type: dict[type, Checks] = {}


def _rules(cls: type) -> Checks:
    try:
        return _rules_of_type[cls]
    except KeyError:
        # A class of several kinds is the kind import converts it as.
        table = _RULES.get(kinds.conversion_kind(cls), {})  # type: ignore[arg-type]
        rules = tuple((field, rule, _QUICK[rule]) for field, rule in table.items())
        _rules_of_type[cls] = rules
        return rules


def check_node_types(name: Any, node: Any) -> None:
    """Raise TypeError or ValueError naming ``name`` and the field when a field of ``node``
    holds a value import cannot take: an array field that holds None or no array of numbers, a
    number field that holds no number (or NaN, an infinity, more than 64 bits), a size that is
    no int.

    A field the node lacks is skipped: reading it during the conversion raises the
    interpreter's AttributeError, which names it.
    """
    values = getattr(node, "__dict__", {})
    for field, rule, quick in _rules(type(node)):
        value = values[field] if field in values else getattr(node, field, _ABSENT)
        if value is _ABSENT:
            continue
        # The two commonest tests inline, the others through _quick.
        if quick == _ARRAY:
            if type(value) is np.ndarray and value.dtype.kind in _NUMERIC_KINDS:
                continue
        elif quick == _INT:
            if type(value) is int and -_INT64 <= value < _INT64:
                continue
        elif _quick(quick, value):
            continue
        problem = rule(value)
        if problem is not None:
            error, text = problem
            raise error(f"node '{name}' ({type(node).__name__}) field '{field}' {text}")
