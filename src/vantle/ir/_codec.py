"""Lossless JSON encoding of node field values.

None, bools, ints, finite floats and strings are written as themselves. Every other value is a
JSON object with exactly one key, its tag:

- ``{"float": "nan" | "inf" | "-inf"}``: a non-finite float
- ``{"list": [...]}``, ``{"tuple": [...]}``: a list or tuple of encoded values
- ``{"dict": {...}}``: a dict with string keys and encoded values
- ``{"array": KEY}``: a NumPy array stored as the container tensor KEY
- ``{"scalar": {"dtype": NAME, "hex": BYTES}}``: a NumPy scalar, its little-endian bytes in hex

Only exact types are accepted (a tuple subclass or a masked array would not come back as
itself), and arrays and scalars must have a dtype the container can store.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from ._container import SUPPORTED_DTYPES, TensorStore
from ._errors import FormatError, brief

_PLAIN = (type(None), bool, int, str)
_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}
_SCALAR_KEYS = {"dtype", "hex"}


class ValueEncoder:
    """Encodes field values, collecting their arrays in ``tensors`` under unique keys."""

    def __init__(self) -> None:
        self.tensors: dict[str, np.ndarray] = {}

    def encode(self, value: Any, key: str, where: str) -> Any:
        """The JSON form of ``value``; ``key`` names its arrays, ``where`` its errors."""
        return self._encode(value, key, where, set())

    def _encode(self, value: Any, key: str, where: str, open_ids: set[int]) -> Any:
        kind = type(value)
        if kind in _PLAIN:
            return value
        if kind is float:
            if math.isfinite(value):
                return value
            return {"float": "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
        if kind is np.ndarray:
            _check_dtype(value.dtype, where, "array")
            return {"array": self._store(key, value)}
        if isinstance(value, np.generic):
            _check_dtype(value.dtype, where, "scalar")
            stored = np.asarray(value).astype(value.dtype.newbyteorder("<"))
            return {"scalar": {"dtype": value.dtype.name, "hex": stored.tobytes().hex()}}
        if kind in (list, tuple, dict):
            if id(value) in open_ids:
                raise ValueError(f"cannot write {where}: the value contains itself")
            open_ids.add(id(value))
            try:
                return self._encode_container(value, key, where, open_ids)
            finally:
                open_ids.discard(id(value))
        raise ValueError(f"cannot write {where}: unsupported value of type {kind.__qualname__}")

    def _encode_container(self, value: Any, key: str, where: str, open_ids: set[int]) -> Any:
        if type(value) is dict:
            for item_key in value:
                if type(item_key) is not str:
                    raise ValueError(
                        f"cannot write {where}: dict key {item_key!r} is not a string"
                    )
            return {
                "dict": {
                    k: self._encode(v, f"{key}/{k}", where, open_ids) for k, v in value.items()
                }
            }
        items = [self._encode(v, f"{key}/{i}", where, open_ids) for i, v in enumerate(value)]
        return {type(value).__name__: items}

    def _store(self, key: str, array: np.ndarray) -> str:
        # Tensor names must be valid UTF-8 (names may hold lone surrogates) and node names may
        # contain "/", so two paths can meet; the JSON names the tensor, so any unique key works.
        key = key.encode("utf-8", "backslashreplace").decode("utf-8")
        unique, number = key, 1
        while unique in self.tensors:
            unique, number = f"{key}#{number}", number + 1
        self.tensors[unique] = array
        return unique


def _check_dtype(dtype: np.dtype, where: str, what: str) -> None:
    if SUPPORTED_DTYPES.get(dtype.name) != dtype.newbyteorder("="):
        raise ValueError(
            f"cannot write {where}: {what} dtype {dtype} is not supported "
            f"(supported: {', '.join(SUPPORTED_DTYPES)})"
        )


def decode(encoded: Any, tensors: TensorStore, where: str) -> Any:
    """The value that ``ValueEncoder.encode`` turned into ``encoded``."""
    kind = type(encoded)
    if kind in _PLAIN or kind is float:
        return encoded
    if kind is not dict or len(encoded) != 1:
        raise FormatError(f"{where}: expected a value or a one-key tag object, got {brief(encoded)}")
    ((tag, payload),) = encoded.items()
    if tag in ("list", "tuple") and type(payload) is list:
        items = [decode(item, tensors, where) for item in payload]
        return items if tag == "list" else tuple(items)
    if tag == "dict" and type(payload) is dict:
        return {key: decode(value, tensors, where) for key, value in payload.items()}
    if tag == "float" and type(payload) is str and payload in _NON_FINITE:
        return _NON_FINITE[payload]
    if tag == "array" and type(payload) is str:
        if payload not in tensors:
            raise FormatError(f"{where}: references missing tensor {brief(payload)}")
        return tensors.take(payload, where)
    if tag == "scalar":
        return _decode_scalar(payload, where)
    raise FormatError(f"{where}: malformed tagged value {brief(encoded)}")


def _decode_scalar(payload: Any, where: str) -> np.generic:
    if type(payload) is not dict or payload.keys() != _SCALAR_KEYS:
        raise FormatError(f"{where}: malformed scalar {brief(payload)}")
    name, hex_bytes = payload["dtype"], payload["hex"]
    dtype = SUPPORTED_DTYPES.get(name) if type(name) is str else None
    if dtype is None:
        raise FormatError(f"{where}: scalar has unsupported dtype {brief(name)}")
    try:
        raw = bytes.fromhex(hex_bytes)
    except (TypeError, ValueError) as err:
        raise FormatError(f"{where}: scalar bytes {brief(hex_bytes)} are not hex") from err
    if len(raw) != dtype.itemsize or (dtype.kind == "b" and raw not in (b"\0", b"\1")):
        raise FormatError(f"{where}: scalar bytes {brief(hex_bytes)} do not hold one {name}")
    return np.frombuffer(raw, dtype=dtype.newbyteorder("<"))[0]
