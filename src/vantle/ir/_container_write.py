"""Writing the safetensors container of a .vx2 file, byte for byte the same for the same content.

The layout is the container format's: an 8-byte header length, the JSON header padded with
spaces to a multiple of 8 bytes, then the tensor data, widest items first and then by name, so
that every tensor starts at a multiple of its item size. Unlike the safetensors library, which
writes the metadata in hash order, every key goes in a fixed order, so that equal graphs give
equal files that can be compared or hashed.
"""

from __future__ import annotations

import json
import struct

import numpy as np

from ._container import LENGTH_SIZE, METADATA_KEY, STORED_DTYPES

_CODES: dict[np.dtype, str] = {dtype: code for code, dtype in STORED_DTYPES.items()}
_ALIGNMENT = 8


def serialize(tensors: dict[str, np.ndarray], metadata: dict[str, str]) -> bytes:
    """Container bytes holding ``tensors`` (supported dtypes only) and ``metadata``."""
    # astype rather than ascontiguousarray, which would turn 0-d arrays into 1-d ones.
    stored = {
        key: array.astype(array.dtype.newbyteorder("<"), order="C", copy=False)
        for key, array in tensors.items()
    }
    # Widest items first, so every tensor starts at a multiple of its item size.
    order = sorted(stored, key=lambda key: (-stored[key].dtype.itemsize, key))
    header: dict[str, object] = {METADATA_KEY: dict(sorted(metadata.items()))}
    chunks = []
    offset = 0
    for key in order:
        array = stored[key]
        chunks.append(array.tobytes())
        header[key] = {
            "dtype": _CODES[array.dtype],
            "shape": list(array.shape),
            "data_offsets": [offset, offset + array.nbytes],
        }
        offset += array.nbytes
    text = json.dumps(header, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
    text += b" " * (-len(text) % _ALIGNMENT)
    return b"".join([struct.pack("<Q", len(text)), text, *chunks])
