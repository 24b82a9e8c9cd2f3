"""Torch models become VANTLE IR graphs."""

from os import PathLike
from typing import Any, Callable, Dict, Optional, Sequence, Tuple, Union

import numpy as np
import torch
from torch import nn

from vantle import ir
from vantle.bridge.export_check import ExportCheck

Sample = Union[torch.Tensor, Tuple[Any, ...], list]
Shape = Tuple[int, ...]
CustomMap = Optional[Dict[type, Callable[[nn.Module, Shape, Shape], Optional[ir.Node]]]]

class VANTLEExporter:
    def __init__(self, spiking: bool = False, spike_mode: str = "binary", weight_bits: int = 8,
                 accumulator_bits: int = 16, strict: bool = False) -> None: ...
    def export(self, model: nn.Module, sample: Sample, custom_map: CustomMap = None) -> ir.Graph: ...

def export_ir(model: nn.Module, sample: Sample, custom_map: CustomMap = None,
              spiking: bool = False, spike_mode: str = "binary", weight_bits: int = 8,
              accumulator_bits: int = 16, strict: bool = False) -> ir.Graph: ...
def check_export(model: nn.Module, graph: Union[ir.Graph, str, PathLike[str]], *samples: Sample,
                 atol: float = 1e-05, custom_map: CustomMap = None) -> ExportCheck: ...
def to_array(val: Any, size: Union[int, Sequence[int]]) -> np.ndarray: ...
