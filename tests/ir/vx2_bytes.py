"""Taking .vx2 container bytes apart and putting them together, for tests that forge files."""

from __future__ import annotations

import json
import struct
from typing import Any


def split(data: bytes) -> tuple[dict[str, Any], bytes]:
    """The parsed JSON header and the data bytes after it."""
    (size,) = struct.unpack("<Q", data[:8])
    return json.loads(data[8 : 8 + size]), data[8 + size :]


def join(header: dict[str, Any], body: bytes = b"") -> bytes:
    """Container bytes of ``header`` (written as JSON) followed by ``body``."""
    text = json.dumps(header).encode()
    return struct.pack("<Q", len(text)) + text + body


def vx2_header(graph: dict[str, Any], **tensors: Any) -> dict[str, Any]:
    """A header with the vx2 metadata for ``graph`` (a JSON document) and tensor entries."""
    metadata = {"format": "vx2", "version": "1", "graph": json.dumps(graph)}
    return {"__metadata__": metadata, **tensors}
