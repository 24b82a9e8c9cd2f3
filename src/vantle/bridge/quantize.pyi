"""Mixed-precision post-training quantization and quantization-aware training."""

from typing import Dict, List, Optional

import torch
from torch import nn

class QuantizationConfig:
    default_precision: str
    per_node_precision: Optional[Dict[str, str]]
    accumulator_bits: int
    symmetric: bool
    calibration_method: str
    percentile: float
    def __init__(self, default_precision: str = "int8",
                 per_node_precision: Optional[Dict[str, str]] = None, accumulator_bits: int = 16,
                 symmetric: bool = True, calibration_method: str = "minmax",
                 percentile: float = 99.99) -> None: ...

def quantize(model: nn.Module, config: QuantizationConfig,
             calibration_data: Optional[List[torch.Tensor]] = None) -> nn.Module: ...
def quantize_aware_training(model: nn.Module, config: QuantizationConfig) -> nn.Module: ...
def get_precision_map(model: nn.Module) -> Dict[str, str]: ...
