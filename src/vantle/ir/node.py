"""The base class of every IR node: declared fields, keyword-only construction, value equality."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np

#: Port descriptions every node carries besides its own fields.
PORT_FIELDS: tuple[str, str] = ("input_type", "output_type")
_PORT_FIELD_SET = frozenset(PORT_FIELDS)

# Arrays up to this many elements are shown with their values in a repr (shapes, small slopes).
_REPR_MAX_VALUES = 8


class Node:
    """A node of an IR graph.

    Subclasses declare their fields in ``_defaults`` (field name -> default, in declaration order);
    the shared constructor takes those fields plus ``input_type`` and ``output_type`` as keyword
    arguments only and stores every value exactly as given, without conversion or validation.
    ``input_type`` and ``output_type`` default to a new empty dictionary; any value given,
    including None, is kept.

    Two nodes are equal when they have the same class and equal fields and port types; arrays are
    compared by dtype, shape and values, with NaN equal to NaN. Nodes stay hashable by identity
    (nodes are mutable records and graph tools keep them in dicts and sets), so ``a == b`` does not
    imply ``hash(a) == hash(b)``.
    """

    _defaults: ClassVar[dict[str, Any]] = {}
    #: The keyword arguments the constructor accepts: the fields and the port types.
    _keywords: ClassVar[frozenset[str]] = _PORT_FIELD_SET
    #: Name of the node kind (the class name); the file format stores nodes under it.
    kind: ClassVar[str] = "Node"

    __hash__ = object.__hash__

    input_type: dict[str, Any]
    output_type: dict[str, Any]
    if TYPE_CHECKING:
        # Each kind's own fields are set per instance from ``_defaults``.
        def __getattr__(self, name: str) -> Any: ...

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        cls.kind = cls.__name__
        cls._keywords = frozenset(cls._defaults) | _PORT_FIELD_SET

    def __init__(self, /, *args: Any, **kwargs: Any) -> None:
        cls = type(self)
        if args:
            raise TypeError(
                f"{cls.__name__}() takes keyword arguments only ({len(args)} positional given)"
            )
        if not kwargs.keys() <= cls._keywords:
            for key in kwargs:
                if key not in cls._keywords:
                    raise TypeError(f"{cls.__name__}() got an unexpected keyword argument '{key}'")
        # Fields are plain instance attributes; filling the dictionary directly keeps
        # construction cheap (exporting a large model builds one node per layer).
        values = self.__dict__
        values.update(cls._defaults)
        values["input_type"] = {}
        values["output_type"] = {}
        values.update(kwargs)

    @classmethod
    def fields(cls) -> tuple[str, ...]:
        """Names of this kind's fields in declaration order (without the port types)."""
        return tuple(cls._defaults)

    @classmethod
    def defaults(cls) -> dict[str, Any]:
        """A new dictionary of this kind's field defaults."""
        return dict(cls._defaults)

    def __eq__(self, other: object) -> bool:
        if type(self) is not type(other):
            return NotImplemented
        return all(
            values_equal(getattr(self, name), getattr(other, name))
            for name in self.fields() + PORT_FIELDS
        )

    def __repr__(self) -> str:
        # None fields and empty port types are left out to keep the text short.
        shown = []
        for name in self.fields() + PORT_FIELDS:
            value = getattr(self, name)
            if value is None or (name in PORT_FIELDS and isinstance(value, dict) and not value):
                continue
            shown.append(f"{name}={short_repr(value)}")
        return f"{type(self).__name__}({', '.join(shown)})"


def values_equal(a: Any, b: Any) -> bool:
    """Deep equality for node field values.

    Arrays equal arrays of the same dtype (byte order aside), shape and values; lists equal lists
    and tuples equal tuples element by element; dicts need the same keys; NaN equals NaN; other
    values compare with ``==``.
    """
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and _arrays_equal(a, b)
    if isinstance(a, dict) or isinstance(b, dict):
        return (
            isinstance(a, dict)
            and isinstance(b, dict)
            and a.keys() == b.keys()
            and all(values_equal(a[key], b[key]) for key in a)
        )
    if isinstance(a, (list, tuple)) or isinstance(b, (list, tuple)):
        return (
            isinstance(a, (list, tuple))
            and isinstance(a, tuple) == isinstance(b, tuple)
            and len(a) == len(b)
            and all(values_equal(x, y) for x, y in zip(a, b))
        )
    if _is_nan(a) and _is_nan(b):
        return True
    try:
        return bool(a == b)
    except Exception:  # exotic values whose == does not give a truth value
        return False


def _arrays_equal(a: np.ndarray, b: np.ndarray) -> bool:
    if a.shape != b.shape or a.dtype.newbyteorder("=") != b.dtype.newbyteorder("="):
        return False
    return bool(np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"))


def _is_nan(value: Any) -> bool:
    return isinstance(value, (float, np.floating)) and math.isnan(value)


def short_repr(value: Any) -> str:
    """A compact repr: small integer arrays with their values, other arrays as shape and dtype."""
    if isinstance(value, np.ndarray):
        if value.ndim <= 1 and value.size <= _REPR_MAX_VALUES and value.dtype.kind in "biu":
            return f"array({value.tolist()}, {value.dtype})"
        return f"array(shape={value.shape}, {value.dtype})"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k!r}: {short_repr(v)}" for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(short_repr(v) for v in value) + "]"
    if isinstance(value, tuple):
        inner = ", ".join(short_repr(v) for v in value)
        return f"({inner},)" if len(value) == 1 else f"({inner})"
    return repr(value)
