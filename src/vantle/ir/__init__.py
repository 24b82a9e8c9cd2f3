"""The VANTLE IR: node classes, the ``Graph`` that connects them, and .vx2 files.

Build nodes with keyword arguments (``Conv2d(weight=w, bias=b, stride=2)``), put them in a
``Graph(nodes={name: node}, edges=[(source, destination)])`` and store it with
``write("model.vx2", graph)``; ``read`` loads it back.
"""

from .completeness import FIELD_CHECKED_KINDS, check_graph, check_node_fields
from .field_types import TYPE_CHECKED_KINDS, check_node_types
from .graph import Graph
from .node import Node
from .nodes import (
    ELU,
    GELU,
    LIF,
    NMS,
    NODE_CLASSES,
    Affine,
    AvgPool2d,
    BatchNorm1d,
    BatchNorm2d,
    ChannelSplit,
    Concat,
    Conv1d,
    Conv2d,
    DFLDecode,
    Dist2BBox,
    Dropout,
    Flatten,
    GhostBasicBlock1,
    GhostBasicBlock2,
    HybridRegion,
    Input,
    LayerNorm,
    MaxPool2d,
    Output,
    PReLU,
    ReLU,
    SDDetect,
    SepConv2d,
    SGhostConv,
    SGhostEncoderLite,
    Sigmoid,
    Skip,
    Softmax,
    SpikingAffine,
    Tanh,
    Upsample,
)
from .shapes import SHAPE_CHECKED_KINDS, ShapeError, check_node_shapes
from .vx2 import FORMAT_NAME, FORMAT_VERSION, read, write

__all__ = [
    "Node",
    "Graph",
    "NODE_CLASSES",
    "read",
    "write",
    "SHAPE_CHECKED_KINDS",
    "ShapeError",
    "check_node_shapes",
    "check_node_fields",
    "TYPE_CHECKED_KINDS",
    "check_node_types",
    "check_graph",
    "FIELD_CHECKED_KINDS",
    "FORMAT_NAME",
    "FORMAT_VERSION",
    *NODE_CLASSES,
]
