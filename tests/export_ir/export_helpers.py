"""Helpers shared by the export tests."""

from __future__ import annotations

from typing import Tuple

import numpy as np
from torch import nn

from vantle.bridge.export_ir import VANTLEExporter


def convert(module: nn.Module, in_shape: Tuple[int, ...], out_shape: Tuple[int, ...], **options):
    """One module through the exporter's rule chain."""
    return VANTLEExporter(**options)._convert_module(module, in_shape, out_shape)


def shape_of(port: dict, name: str) -> list:
    """A port's shape as a list, after checking it is an integer array."""
    array = port[name]
    assert isinstance(array, np.ndarray) and array.dtype.kind == "i"
    return array.tolist()
