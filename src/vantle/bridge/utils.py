"""Small naming and shape helpers shared by the import and export sides of the bridge.

This module deliberately imports neither torch nor NumPy: arrays and tensors are recognised by
their ``tolist`` method, which turns them into plain Python values.
"""

from __future__ import annotations

import math
import operator
import re
from typing import Any, Tuple, Union

__all__ = ["sanitize_module_name", "to_tuple"]

_NOT_NAME_CHAR = re.compile(r"[^A-Za-z0-9_]")

# Convolution padding modes that layers take as strings rather than as sizes.
_PADDING_MODES = ("same", "valid")


def sanitize_module_name(name: str) -> str:
    """Turn a dotted module path into a node name.

    Every character outside ``[A-Za-z0-9_]`` becomes ``"_"``, so ``"features.0"`` gives
    ``"features_0"``. The result is not guaranteed to be unique: ``"a.b"`` and ``"a_b"`` give the
    same name, and callers that need distinct names must resolve collisions themselves.

    Raises:
        TypeError: ``name`` is not a string.
    """
    if not isinstance(name, str):
        raise TypeError(
            f"sanitize_module_name: argument 'name' must be str, got {type(name).__name__}"
        )
    return str(_NOT_NAME_CHAR.sub("_", name))


def to_tuple(value: Any, default: Any, name: str) -> Union[Tuple[int, ...], str]:
    """Normalise a layer's kernel size, stride, padding or dilation to a plain tuple of ints.

    Accepted values:

    - ``None``: ``default`` is used instead (normalised by the same rules);
    - an integer (Python or NumPy): ``(v, v)``;
    - a tuple or list of integers: a tuple of the same length, except that a single entry is
      repeated to a pair;
    - a NumPy array or torch tensor: read through ``tolist``, so a 0-d one acts as an integer and a
      1-d one as a list;
    - a float with a whole value (``2.0``): taken as that integer;
    - the padding modes ``"same"`` and ``"valid"``: returned unchanged, as a string.

    Rejected, with ``name`` in the message: booleans (``True`` is an ``int`` to Python but never a
    meant size), floats with a fraction, negative numbers, sizes beyond 64 bits, empty or nested
    sequences, arrays of more than 16 values, other strings and other types.

    Example:
        >>> to_tuple(None, (1, 1), "stride")
        (1, 1)
        >>> to_tuple(3, (1, 1), "kernel_size")
        (3, 3)

    Raises:
        TypeError: ``value`` (or an entry of it) has a type that cannot hold a size.
        ValueError: the type fits but the value does not (fraction, negative, empty, unknown mode,
            or ``None`` with no default).
    """
    if value is None:
        if default is None:
            raise ValueError(f"to_tuple: field '{name}' is None and has no default")
        return to_tuple(default, None, name)
    if hasattr(value, "tolist"):
        _check_entry_count(value, name)
        value = value.tolist()
    if isinstance(value, str):
        if value in _PADDING_MODES:
            return str(value)
        raise ValueError(
            f"to_tuple: field '{name}' got the string {value!r}; "
            f"the only accepted strings are 'same' and 'valid'"
        )
    if isinstance(value, (tuple, list)):
        if not value:
            raise ValueError(f"to_tuple: field '{name}' got an empty {type(value).__name__}")
        sizes = tuple(_to_size(item, name) for item in value)
        return sizes * 2 if len(sizes) == 1 else sizes
    size = _to_size(value, name)
    return (size, size)


# More entries than any layer has spatial dimensions, with room to spare. Arrays past it are
# refused before ``tolist``: a zero-stride view may claim billions of entries it does not hold.
_MAX_ENTRIES = 16


def _check_entry_count(value: Any, name: str) -> None:
    shape = getattr(value, "shape", None)
    if isinstance(shape, tuple) and math.prod(shape) > _MAX_ENTRIES:
        raise ValueError(
            f"to_tuple: field '{name}' got an array of {math.prod(shape)} values; a size has "
            f"at most {_MAX_ENTRIES}"
        )


def _to_size(item: Any, name: str) -> int:
    """One entry of a size: a non-negative Python int, or an error naming the field."""
    if hasattr(item, "tolist"):  # NumPy scalar inside a Python sequence
        _check_entry_count(item, name)
        item = item.tolist()
    if isinstance(item, bool):
        raise TypeError(
            f"to_tuple: field '{name}' got the bool {item!r}; give an integer size instead"
        )
    if isinstance(item, float):
        if not item.is_integer():
            raise ValueError(f"to_tuple: field '{name}' needs whole numbers, got {item!r}")
        size = int(item)
    else:
        try:
            size = operator.index(item)
        except TypeError:
            raise TypeError(
                f"to_tuple: field '{name}' expects an int, a sequence of ints, 'same' or 'valid',"
                f" got {type(item).__name__} {item!r}"
            ) from None
    if size < 0:
        raise ValueError(f"to_tuple: field '{name}' must not be negative, got {size}")
    if size >= 2**63:  # layers take sizes as 64-bit integers
        raise ValueError(f"to_tuple: field '{name}' is {size}, which does not fit in 64 bits")
    return int(size)
