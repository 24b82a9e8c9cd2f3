"""IR graphs (or .vx2 files) become dictionaries of executable torch modules."""

from os import PathLike
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np
import torch
from torch import nn

from vantle import ir

Pair = Union[int, Tuple[int, int]]
CustomMap = Optional[Dict[type, Callable[[ir.Node], Optional[nn.Module]]]]

class SpikeFunction(torch.autograd.Function):
    @staticmethod
    def forward(ctx: Any, mem: torch.Tensor, threshold: torch.Tensor,
                slope: float = 25.0) -> torch.Tensor: ...
    @staticmethod
    def backward(ctx: Any, grad_output: torch.Tensor) -> Tuple[Optional[torch.Tensor], ...]: ...

class LIFModule(nn.Module):
    tau: torch.Tensor
    r: torch.Tensor
    v_leak: torch.Tensor
    v_threshold: torch.Tensor
    beta: torch.Tensor
    def __init__(self, tau: np.ndarray, r: np.ndarray, v_leak: np.ndarray,
                 v_threshold: np.ndarray) -> None: ...
    def forward(self, x: torch.Tensor,
                mem: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]: ...
    def scan(self, x_seq: torch.Tensor,
             mem: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]: ...

class LIFStepFunction(torch.autograd.Function):
    @staticmethod
    def forward(ctx: Any, x: torch.Tensor, mem: Optional[torch.Tensor], tau: torch.Tensor,
                r: torch.Tensor, v_leak: torch.Tensor, v_threshold: torch.Tensor,
                beta: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor]: ...
    @staticmethod
    def backward(ctx: Any, grad_spikes: torch.Tensor,
                 grad_mem: torch.Tensor) -> Tuple[Optional[torch.Tensor], ...]: ...

class LIFScanFunction(torch.autograd.Function):
    @staticmethod
    def forward(ctx: Any, x_seq: torch.Tensor, mem: torch.Tensor, tau: torch.Tensor,
                r: torch.Tensor, v_leak: torch.Tensor, v_threshold: torch.Tensor,
                beta: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor]: ...
    @staticmethod
    def backward(ctx: Any, grad_spikes: torch.Tensor,
                 grad_mem: torch.Tensor) -> Tuple[Optional[torch.Tensor], ...]: ...

class SkipModule(nn.Module):
    def __init__(self, skip_type: str = "residual") -> None: ...
    def forward(self, x: Any) -> Any: ...

class SepConv2dModule(nn.Module):
    def __init__(self, depthwise_weight: np.ndarray, pointwise_weight: np.ndarray,
                 depthwise_bias: Optional[np.ndarray], pointwise_bias: Optional[np.ndarray],
                 stride: Pair, padding: Pair, dilation: Pair) -> None: ...
    def forward(self, x: torch.Tensor) -> torch.Tensor: ...

class ChannelSplitModule(nn.Module):
    def __init__(self, split_sections: Union[int, Sequence[int]], dim: int = 1) -> None: ...
    def forward(self, x: torch.Tensor) -> Tuple[torch.Tensor, ...]: ...

class ConcatModule(nn.Module):
    def __init__(self, num_inputs: int = 2, dim: int = 1) -> None: ...
    def forward(self, x: Sequence[torch.Tensor]) -> torch.Tensor: ...

class SGhostConvModule(nn.Module):
    def __init__(self, primary_weight: np.ndarray, primary_bias: Optional[np.ndarray],
                 cheap_weight: np.ndarray, cheap_bias: Optional[np.ndarray],
                 primary_stride: Pair = (1, 1), primary_padding: Pair = (0, 0),
                 cheap_stride: Pair = (1, 1), cheap_padding: Pair = (0, 0)) -> None: ...
    def forward(self, x: torch.Tensor) -> torch.Tensor: ...

class SGhostEncoderLiteModule(nn.Module):
    def __init__(self, conv1_weight: np.ndarray, conv1_bias: Optional[np.ndarray],
                 ghost_primary_weight: np.ndarray, ghost_primary_bias: Optional[np.ndarray],
                 ghost_cheap_weight: np.ndarray, ghost_cheap_bias: Optional[np.ndarray],
                 stride: int = 2) -> None: ...
    def forward(self, x: torch.Tensor) -> torch.Tensor: ...

class GhostBasicBlock1Module(nn.Module):
    def __init__(self, cvres_primary_weight: np.ndarray, cvres_primary_bias: Optional[np.ndarray],
                 cvres_cheap_weight: np.ndarray, cvres_cheap_bias: Optional[np.ndarray],
                 cv0_primary_weight: np.ndarray, cv0_primary_bias: Optional[np.ndarray],
                 cv0_cheap_weight: np.ndarray, cv0_cheap_bias: Optional[np.ndarray],
                 cv2_primary_weight: np.ndarray, cv2_primary_bias: Optional[np.ndarray],
                 cv2_cheap_weight: np.ndarray, cv2_cheap_bias: Optional[np.ndarray],
                 stride: int = 2) -> None: ...
    def forward(self, x: torch.Tensor) -> torch.Tensor: ...

class GhostBasicBlock2Module(nn.Module):
    def __init__(self, cv0_primary_weight: np.ndarray, cv0_primary_bias: Optional[np.ndarray],
                 cv0_cheap_weight: np.ndarray, cv0_cheap_bias: Optional[np.ndarray],
                 cv2_primary_weight: np.ndarray, cv2_primary_bias: Optional[np.ndarray],
                 cv2_cheap_weight: np.ndarray, cv2_cheap_bias: Optional[np.ndarray]) -> None: ...
    def forward(self, x: torch.Tensor) -> torch.Tensor: ...

class SDDetectModule(nn.Module):
    def __init__(self, num_classes: int, reg_max: int, stride: Sequence[float],
                 cv2_w0: np.ndarray, cv2_b0: np.ndarray, cv2_w1: np.ndarray, cv2_b1: np.ndarray,
                 cv2_w2: np.ndarray, cv2_b2: np.ndarray, cv3_w0: np.ndarray, cv3_b0: np.ndarray,
                 cv3_w1: np.ndarray, cv3_b1: np.ndarray, cv3_w2: np.ndarray,
                 cv3_b2: np.ndarray) -> None: ...
    def forward(self, x: Sequence[torch.Tensor]) -> torch.Tensor: ...

class DFLDecodeModule(nn.Module):
    def __init__(self, reg_max: int, dfl_weights: Optional[np.ndarray]) -> None: ...
    def forward(self, logits: torch.Tensor) -> torch.Tensor: ...

class Dist2BBoxModule(nn.Module):
    def __init__(self, stride: float) -> None: ...
    def forward(self, distances: torch.Tensor, anchor_x: Optional[torch.Tensor] = None,
                anchor_y: Optional[torch.Tensor] = None) -> torch.Tensor: ...

class NMSModule(nn.Module):
    def __init__(self, score_threshold: float = 0.25, iou_threshold: float = 0.45,
                 max_detections: int = 300) -> None: ...
    def forward(self, detections: torch.Tensor) -> torch.Tensor: ...

def node_to_module(node: ir.Node) -> Optional[nn.Module]: ...
def nodes_to_modules(graph: ir.Graph, custom_map: CustomMap = None) -> Dict[str, nn.Module]: ...
def import_ir(graph: Union[ir.Graph, str, PathLike[str]],
              custom_map: CustomMap = None) -> Dict[str, nn.Module]: ...
