"""The safetensors container of a .vx2 file: tensors plus string metadata.

Writing goes through the safetensors library. Reading parses the container here, because every
malformed byte must become a clear error (the library reports some problems by panicking) and
because the metadata is needed as well as the tensors.
"""

from __future__ import annotations

import json
import struct
from collections.abc import Iterable
from typing import Any

import numpy as np
import safetensors.numpy

# safetensors dtype code -> NumPy dtype (little-endian, as stored in the file).
STORED_DTYPES: dict[str, np.dtype] = {
    code: np.dtype(name).newbyteorder("<")
    for code, name in (
        ("BOOL", "bool"),
        ("U8", "uint8"),
        ("I8", "int8"),
        ("U16", "uint16"),
        ("I16", "int16"),
        ("U32", "uint32"),
        ("I32", "int32"),
        ("U64", "uint64"),
        ("I64", "int64"),
        ("F16", "float16"),
        ("F32", "float32"),
        ("F64", "float64"),
    )
}

#: NumPy dtypes (native byte order) that can be stored, by name.
SUPPORTED_DTYPES: dict[str, np.dtype] = {
    dtype.name: dtype.newbyteorder("=") for dtype in STORED_DTYPES.values()
}

_LENGTH_SIZE = 8
_METADATA_KEY = "__metadata__"
_TENSOR_KEYS = {"dtype", "shape", "data_offsets"}


class FormatError(Exception):
    """A malformed file; the reader prefixes the message with the path."""


def strict_json(text: str) -> Any:
    """Parse JSON, refusing duplicate keys and the non-standard NaN/Infinity literals."""

    def unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise FormatError(f"duplicate JSON key '{key}'")
            seen.add(key)
        return dict(pairs)

    def no_constant(name: str) -> Any:
        raise FormatError(f"non-standard JSON constant {name}")

    return json.loads(text, object_pairs_hook=unique_keys, parse_constant=no_constant)


def serialize(tensors: dict[str, np.ndarray], metadata: dict[str, str]) -> bytes:
    """Container bytes holding ``tensors`` (supported dtypes only) and ``metadata``."""
    # The library copies raw memory, so hand it C-contiguous little-endian arrays
    # (astype rather than ascontiguousarray, which would turn 0-d arrays into 1-d ones).
    prepared = {
        key: array.astype(array.dtype.newbyteorder("<"), order="C", copy=False)
        for key, array in tensors.items()
    }
    return safetensors.numpy.save(prepared, metadata=metadata)


class TensorStore:
    """The tensors of a parsed container; ``get`` returns a new, writable array each call."""

    def __init__(self, data: memoryview, entries: dict[str, tuple[np.dtype, tuple, int]]):
        self._data = data
        self._entries = entries

    def __contains__(self, key: object) -> bool:
        return key in self._entries

    def get(self, key: str) -> np.ndarray:
        dtype, shape, begin = self._entries[key]
        count = _product(shape)
        stored = np.frombuffer(self._data, dtype=dtype, count=count, offset=begin)
        if dtype.kind == "b" and stored.view(np.uint8).max(initial=0) > 1:
            raise FormatError(f"tensor '{key}' holds bool bytes other than 0 and 1")
        return stored.reshape(shape).astype(dtype.newbyteorder("="), copy=True)


def parse(data: bytes) -> tuple[dict[str, str], TensorStore]:
    """Split container bytes into metadata and tensors, checking every header entry."""
    if len(data) < _LENGTH_SIZE:
        raise FormatError(f"not a safetensors file (only {len(data)} bytes, truncated?)")
    (header_size,) = struct.unpack("<Q", data[:_LENGTH_SIZE])
    if header_size > len(data) - _LENGTH_SIZE:
        raise FormatError(
            f"not a safetensors file or truncated: header of {header_size} bytes announced, "
            f"{len(data) - _LENGTH_SIZE} bytes follow"
        )
    try:
        header = strict_json(data[_LENGTH_SIZE : _LENGTH_SIZE + header_size].decode("utf-8"))
    except UnicodeDecodeError as err:
        raise FormatError("not a safetensors file: header is not UTF-8 text") from err
    except json.JSONDecodeError as err:
        raise FormatError(f"not a safetensors file: header is not JSON ({err})") from err
    if not isinstance(header, dict):
        raise FormatError("not a safetensors file: header is not a JSON object")
    metadata = header.pop(_METADATA_KEY, {})
    if not isinstance(metadata, dict) or not all(
        isinstance(value, str) for value in metadata.values()
    ):
        raise FormatError("safetensors metadata is not a mapping of strings")
    buffer = memoryview(data)[_LENGTH_SIZE + header_size :]
    entries = {key: _tensor_entry(key, entry, len(buffer)) for key, entry in header.items()}
    return metadata, TensorStore(buffer, entries)


def _tensor_entry(key: str, entry: Any, buffer_size: int) -> tuple[np.dtype, tuple, int]:
    if not isinstance(entry, dict) or entry.keys() != _TENSOR_KEYS:
        raise FormatError(f"tensor '{key}' is not described by dtype, shape and data_offsets")
    code, shape, offsets = entry["dtype"], entry["shape"], entry["data_offsets"]
    if not isinstance(code, str) or code not in STORED_DTYPES:
        raise FormatError(f"tensor '{key}' has unsupported dtype {code!r}")
    if not isinstance(shape, list) or not all(_is_count(n) for n in shape):
        raise FormatError(f"tensor '{key}' has an impossible shape {shape!r}")
    if not (isinstance(offsets, list) and len(offsets) == 2 and all(map(_is_count, offsets))):
        raise FormatError(f"tensor '{key}' has malformed data_offsets {offsets!r}")
    begin, end = offsets
    if not begin <= end <= buffer_size:
        raise FormatError(
            f"tensor '{key}' data [{begin}, {end}) lies outside the {buffer_size} data bytes "
            "(truncated?)"
        )
    dtype = STORED_DTYPES[code]
    needed = dtype.itemsize * _product(shape)
    if needed != end - begin:
        raise FormatError(
            f"tensor '{key}' of dtype {code} and shape {tuple(shape)} needs {needed} bytes, "
            f"the file holds {end - begin}"
        )
    return dtype, tuple(shape), begin


def _is_count(value: Any) -> bool:
    return type(value) is int and value >= 0


def _product(values: Iterable[int]) -> int:
    result = 1
    for value in values:
        result *= value
    return result
