"""Reading the safetensors container of a .vx2 file: tensors plus string metadata.

The container is parsed here rather than by the safetensors library, because every malformed byte
must become a clear error (the library reports some problems by panicking) and because the
metadata is needed as well as the tensors. The checks are the library's own (so no file is read
here that other tools refuse) plus bounds that keep a small hostile file cheap to reject.
"""

from __future__ import annotations

import json
import math
import struct
from typing import Any, Optional

import numpy as np

from ._errors import FormatError, brief, strict_json

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

LENGTH_SIZE = 8
METADATA_KEY = "__metadata__"
_TENSOR_KEYS = {"dtype", "shape", "data_offsets"}

# The most dimensions a NumPy array can have, and the most bytes it can span.
_MAX_DIMS = 64
_MAX_BYTES = 2**63 - 1


class TensorStore:
    """The tensors of a parsed container.

    ``take`` returns a new, writable array and lets each tensor be taken once: the writer gives
    every array its own tensor, and a file that names one tensor many times would otherwise
    cost a copy per reference (a small file could then ask for gigabytes).
    """

    def __init__(self, data: memoryview, entries: dict[str, tuple[np.dtype, tuple, int]]):
        self._data = data
        self._entries = entries
        self._taken: set[str] = set()

    def __contains__(self, key: object) -> bool:
        return key in self._entries

    def take(self, key: str, where: str) -> np.ndarray:
        """The tensor ``key`` as a new array; ``where`` names the reference in errors."""
        if key in self._taken:
            raise FormatError(f"{where}: tensor {brief(key)} is referenced more than once")
        self._taken.add(key)
        dtype, shape, begin = self._entries[key]
        count = math.prod(shape)  # checked small when the header was read
        stored = np.frombuffer(self._data, dtype=dtype, count=count, offset=begin)
        if dtype.kind == "b" and stored.view(np.uint8).max(initial=0) > 1:
            raise FormatError(f"{where}: tensor {brief(key)} holds bool bytes other than 0 and 1")
        return stored.reshape(shape).astype(dtype.newbyteorder("="), copy=True)


def parse(data: bytes) -> tuple[dict[str, str], TensorStore]:
    """Split container bytes into metadata and tensors, checking every header entry."""
    if len(data) < LENGTH_SIZE:
        raise FormatError(f"not a safetensors file (only {len(data)} bytes, truncated?)")
    (header_size,) = struct.unpack("<Q", data[:LENGTH_SIZE])
    if header_size > len(data) - LENGTH_SIZE:
        raise FormatError(
            f"not a safetensors file or truncated: header of {header_size} bytes announced, "
            f"{len(data) - LENGTH_SIZE} bytes follow"
        )
    try:
        text = data[LENGTH_SIZE : LENGTH_SIZE + header_size].decode("utf-8")
        header = strict_json(text)
    except UnicodeDecodeError as err:
        raise FormatError("not a safetensors file: header is not UTF-8 text") from err
    except json.JSONDecodeError as err:
        raise FormatError(f"not a safetensors file: header is not JSON ({err})") from err
    except FormatError as err:
        raise FormatError(f"safetensors header: {err}") from err
    if not isinstance(header, dict):
        raise FormatError("not a safetensors file: header is not a JSON object")
    metadata = header.pop(METADATA_KEY, {})
    if not isinstance(metadata, dict) or not all(
        isinstance(value, str) for value in metadata.values()
    ):
        raise FormatError("safetensors metadata is not a mapping of strings")
    _check_text([*header, *metadata, *metadata.values()])
    buffer = memoryview(data)[LENGTH_SIZE + header_size :]
    entries = {}
    spans = []
    for key, entry in header.items():
        dtype, shape, begin, end = _tensor_entry(key, entry, len(buffer))
        entries[key] = (dtype, shape, begin)
        spans.append((begin, end, key))
    _check_layout(spans, len(buffer))
    return metadata, TensorStore(buffer, entries)


def _check_text(strings: list[str]) -> None:
    # JSON's \u escapes can spell half of a surrogate pair, which is no text: the container
    # format refuses it in names and metadata, so this reader does too.
    for text in strings:
        try:
            text.encode("utf-8")
        except UnicodeEncodeError as err:
            raise FormatError(
                f"safetensors header: {brief(text)} holds a lone surrogate (not text)"
            ) from err


def _tensor_entry(key: str, entry: Any, buffer_size: int) -> tuple[np.dtype, tuple, int, int]:
    if not isinstance(entry, dict) or entry.keys() != _TENSOR_KEYS:
        raise FormatError(
            f"tensor {brief(key)} is not described by dtype, shape and data_offsets"
        )
    code, shape, offsets = entry["dtype"], entry["shape"], entry["data_offsets"]
    if not isinstance(code, str) or code not in STORED_DTYPES:
        raise FormatError(f"tensor {brief(key)} has unsupported dtype {brief(code)}")
    dtype = STORED_DTYPES[code]
    # Dimensions are counted first: checking a million of them would cost time for nothing.
    if not (isinstance(shape, list) and len(shape) <= _MAX_DIMS and all(map(_is_count, shape))):
        raise FormatError(
            f"tensor {brief(key)} has an impossible shape {brief(shape)} (at most {_MAX_DIMS} "
            "dimensions, each a count below 2^64)"
        )
    count = _element_count(shape)
    if count is None or count * dtype.itemsize > _MAX_BYTES:
        raise FormatError(
            f"tensor {brief(key)} of shape {brief(shape)} would span more than {_MAX_BYTES} bytes"
        )
    if not (isinstance(offsets, list) and len(offsets) == 2 and all(map(_is_count, offsets))):
        raise FormatError(f"tensor {brief(key)} has malformed data_offsets {brief(offsets)}")
    begin, end = offsets
    if not begin <= end <= buffer_size:
        raise FormatError(
            f"tensor {brief(key)} data [{begin}, {end}) lies outside the {buffer_size} data "
            "bytes (truncated?)"
        )
    needed = dtype.itemsize * count
    if needed != end - begin:
        raise FormatError(
            f"tensor {brief(key)} of dtype {code} and shape {tuple(shape)} needs {needed} "
            f"bytes, the file holds {end - begin}"
        )
    return dtype, tuple(shape), begin, end


def _check_layout(spans: list[tuple[int, int, str]], buffer_size: int) -> None:
    """The tensors must tile the data bytes: no overlap, no gap, nothing after the last."""
    position, previous = 0, None
    for begin, end, key in sorted(spans):
        if begin < position:
            raise FormatError(
                f"tensor {brief(key)} data [{begin}, {end}) overlaps tensor {brief(previous)}"
            )
        if begin > position:
            raise FormatError(
                f"tensor {brief(key)} data starts at byte {begin}, after a gap of "
                f"{begin - position} unused bytes"
            )
        position, previous = end, key
    if position != buffer_size:
        raise FormatError(
            f"{buffer_size - position} bytes follow the tensor data (it ends at byte "
            f"{position} of {buffer_size})"
        )


def _is_count(value: Any) -> bool:
    # Shapes and offsets are unsigned 64-bit numbers in the container.
    return type(value) is int and 0 <= value < 2**64


def _element_count(shape: list[int] | tuple[int, ...]) -> Optional[int]:
    """Elements of an array of ``shape``; None when no array can have that shape."""
    # At most 64 dimensions below 2^64 each (checked above): a cheap product.
    nonzero = 1
    for size in shape:
        nonzero *= size or 1
    if nonzero > _MAX_BYTES:
        return None
    return 0 if 0 in shape else nonzero
