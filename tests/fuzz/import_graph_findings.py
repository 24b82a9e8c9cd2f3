"""Findings of fuzzing import, the executor and the graph tools on hostile graphs, kept as cases.

Each ``Finding`` is a small explicit graph (what the fuzzer's input boiled down to), the stage
that must refuse it and how: the exception type and fragments its text (message and notes) must
hold. A case with no error must run, stepping and ``run`` agreeing.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

import vantle.ir as ir



def huge(*shape: int) -> np.ndarray:
    """A read-only view claiming the product of ``shape`` values over a single one."""
    return np.lib.stride_tricks.as_strided(np.zeros(1, np.float32), shape=shape,
                                           strides=(0,) * len(shape), writeable=False)



@dataclass
class Finding:
    id: str
    graph: Callable[[], ir.Graph]
    stage: str  # "import", "validate", "step", "run" or "sequence" (run agrees with stepping)
    error: Optional[type[BaseException]]
    fragments: tuple[str, ...] = ()
    # One time-major sequence [T, batch, ...] per source; None: random ones of the declared shapes.
    inputs: Optional[Callable[[], list[Any]]] = None


def chain(node: ir.Node, shape: tuple[int, ...], *more: tuple[str, ir.Node]) -> ir.Graph:
    """Input of ``shape`` -> node (-> more named nodes) -> Output."""
    nodes: dict[str, ir.Node] = {"in": ir.Input(input_type={"input": np.array(shape)}),
                                 "x": node, **dict(more), "out": ir.Output()}
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))


def residual(first: tuple[int, ...], second: tuple[int, ...], right: ir.Node) -> ir.Graph:
    """Two inputs, one through ``right``, summed by a residual Skip."""
    return ir.Graph(
        nodes={"a": ir.Input(input_type={"input": np.array(first)}),
               "b": ir.Input(input_type={"input": np.array(second)}),
               "left": ir.HybridRegion(), "right": right,
               "sum": ir.Skip(skip_type="residual"), "out": ir.Output()},
        edges=[("a", "left"), ("b", "right"), ("left", "sum"), ("right", "sum"), ("sum", "out")])


def lif(*shape: int, **arrays: Any) -> ir.LIF:
    values = {name: np.full(shape, value, np.float32)
              for name, value in (("tau", 2.0), ("r", 1.0), ("v_leak", 0.0), ("v_threshold", 0.5))}
    return ir.LIF(**{**values, **arrays})


def affine(**fields: Any) -> ir.Affine:
    return ir.Affine(**{"weight": np.ones((3, 4)), "bias": np.zeros(3), **fields})


def prelu_huge() -> ir.Graph:
    return chain(ir.PReLU(weight=huge(10**12)), (4,))


class AffineAndInput(ir.Affine, ir.Input):
    """Converts as an Input (the earlier row of the chain), whatever its Affine fields hold."""


def ghost(channels: int, primary: int) -> dict[str, np.ndarray]:
    return {"primary_weight": np.ones((primary, channels, 3, 3)), "primary_bias": np.ones(primary),
            "cheap_weight": np.ones((primary, 1, 3, 3)), "cheap_bias": np.ones(primary)}


def prefixed(prefix: str, arrays: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    return {prefix + name: array for name, array in arrays.items()}


def detect(**fields: Any) -> ir.SDDetect:
    stages = {f"{branch}_{part}{stage}": np.ones((4, 2, 3, 3) if part == "w" else 4)
              for branch in ("cv2", "cv3") for stage in range(3) for part in ("w", "b")}
    return ir.SDDetect(num_classes=1, reg_max=1, stride=8, **{**stages, **fields})


def nms_rows() -> ir.Graph:
    return chain(ir.NMS(score_threshold=0.5, iou_threshold=0.5, max_detections=0), (6,))


def two_then_one_detection() -> list[Any]:
    """Two rows far apart, both kept at step 0; at step 1 the second scores nothing."""
    import torch

    rows = torch.tensor([[0.0, 0.0, 1.0, 1.0, 1.0, 1.0], [9.0, 9.0, 1.0, 1.0, 1.0, 1.0]])
    later = rows.clone()
    later[1, 4] = 0.0
    return [torch.stack([rows, later])]


FINDINGS = [
    # Arrays of the wrong rank failed deep in the conversion with a bare IndexError.
    Finding("affine-weight-of-rank-1", lambda: chain(affine(weight=np.ones(4)), (4,)), "import",
            ValueError, ("node 'x' (Affine)", "field 'weight'", "2-D")),
    # Fields that hold no array failed with "'list' object has no attribute 'shape'".
    Finding("conv-weight-as-list", lambda: chain(ir.Conv2d(weight=[[[[1.0]]]], bias=np.ones(1)),
                                                 (1, 2, 2)),
            "import", TypeError, ("node 'x' (Conv2d)", "field 'weight'", "NumPy array, got list")),
    Finding("lif-tau-as-tensor", lambda: chain(lif(4, tau=__import__("torch").ones(4)), (4,)),
            "import", TypeError, ("node 'x' (LIF)", "field 'tau'", "got Tensor")),
    Finding("prelu-weight-as-numpy-scalar", lambda: chain(ir.PReLU(weight=np.float32(0.2)), (4,)),
            "import", TypeError, ("node 'x' (PReLU)", "field 'weight'", "got float32")),
    # Complex weights imported with the imaginary part dropped, with only a NumPy warning.
    Finding("complex-weight", lambda: chain(affine(weight=np.ones((3, 4)) * 1j), (4,)), "import",
            TypeError, ("node 'x' (Affine)", "field 'weight'", "dtype complex128")),
    Finding("object-bias", lambda: chain(affine(bias=np.array(["a", "b", "c"], object)), (4,)),
            "import", TypeError, ("field 'bias'", "dtype object")),
    # None where the kind needs an array: an AttributeError that named no field.
    Finding("lif-without-r", lambda: chain(lif(4, r=None), (4,)), "import", ValueError,
            ("node 'x' (LIF)", "field 'r'", "is None")),
    # The documented AttributeError for a bias of None stays, and now says which field.
    Finding("affine-bias-none", lambda: chain(affine(bias=None), (4,)), "import", AttributeError,
            ("'NoneType' object has no attribute 'astype'", "in field 'bias'",
             "while importing node 'x' (Affine)")),
    # Numbers: NaN, infinities and text failed in int() without a name, or as OverflowError.
    Finding("nms-max-detections-inf",
            lambda: chain(ir.NMS(max_detections=float("inf")), (6,)), "import", ValueError,
            ("node 'x' (NMS)", "field 'max_detections'", "finite")),
    Finding("conv1d-groups-nan",
            lambda: chain(ir.Conv1d(weight=np.ones((2, 1, 1)), bias=np.ones(2),
                                    groups=np.float32("nan")), (1, 3)),
            "import", ValueError, ("field 'groups'", "finite")),
    Finding("flatten-start-dim-as-str", lambda: chain(ir.Flatten(start_dim="1"), (2, 2)), "import",
            TypeError, ("node 'x' (Flatten)", "field 'start_dim'")),
    Finding("channel-split-section-inf",
            lambda: chain(ir.ChannelSplit(split_sections=(float("inf"), 1)), (2,)), "import",
            ValueError, ("field 'split_sections'", "entry 0")),
    # Counts beyond 64 bits imported and failed at the first step in torch's argument parser.
    Finding("elu-alpha-of-41-digits", lambda: chain(ir.ELU(alpha=10**40), (4,)), "import",
            ValueError, ("node 'x' (ELU)", "field 'alpha'", "64 bits")),
    # A view claiming 10**12 values: PReLU's layer allocated 4 TB from the array's size before
    # converting it; now NumPy refuses the copy first, and the notes name node and field.
    Finding("prelu-weight-of-10e12-values", prelu_huge, "import", MemoryError,
            ("Unable to allocate", "in field 'weight'", "while importing node 'x' (PReLU)")),
    Finding("batch-norm-of-10e12-features",
            lambda: chain(ir.BatchNorm1d(num_features=10**12, weight=huge(10**12),
                                         bias=huge(10**12), running_mean=huge(10**12),
                                         running_var=huge(10**12)), (3,)),
            "import", MemoryError, ("in field 'weight'", "while importing node 'x'")),
    # A pair given as a huge array was listed (10**12 Python ints) before being refused.
    Finding("ghost-padding-of-10e12-values",
            lambda: chain(ir.SGhostConv(**ghost(1, 1), primary_padding=huge(10**6, 10**6)),
                          (1, 3, 3)),
            "import", TypeError, ("Expected int or length-2 iterable", "in field 'primary_padding'",
                                  "while importing node 'x' (SGhostConv)")),
    Finding("conv-stride-of-10e12-values",
            lambda: chain(ir.Conv2d(weight=np.ones((1, 1, 1, 1)), bias=np.ones(1),
                                    stride=huge(10**6, 10**6)), (1, 2, 2)),
            "import", ValueError, ("field 'stride'", "array of 1000000000000 values")),
    # A size beyond 64 bits reached torch, whose refusal at the first step held a C++ backtrace.
    Finding("pool-kernel-of-64-bits", lambda: chain(ir.MaxPool2d(kernel_size=2**63), (1, 2, 2)),
            "import", ValueError, ("field 'kernel_size'", "64 bits", "while importing node 'x'")),
    # Port shapes of more than 32 entries broke NumPy's broadcasting inside the shape rules.
    Finding("lif-port-of-40-dimensions",
            lambda: chain(lif(1, input_type={"input": np.ones(40, np.int64)}), (1,) * 40),
            "validate", None),
    Finding("layer-norm-shape-inf",
            lambda: chain(ir.LayerNorm(normalized_shape=float("inf"), weight=np.ones(2),
                                       bias=np.ones(2)), (2,)),
            "validate", None),
    # validate_graph read a field the node lacked without a default.
    Finding("upsample-without-scale-factor", lambda: _without(
        chain(ir.Upsample(size=(2, 2)), (1, 2, 2)), "x", "scale_factor"), "validate", None),
    # A class of two kinds converts as the first; it was checked as the other.
    Finding("affine-and-input-class",
            lambda: chain(AffineAndInput(weight=np.ones(3)), (3,)), "import", None),
    # Run-time faults the executor and the modules now refuse by name.
    Finding("residual-across-the-batch", lambda: residual((1, 3, 1), (3, 4), lif(1)), "step",
            ValueError, ("residual merge", "(2, 1, 3, 1) and (2, 3, 4)", "'sum'")),
    Finding("lif-array-widening-the-input",
            lambda: chain(lif(4, v_leak=np.zeros((1,) * 9, np.float32)), (4,)), "step",
            ValueError, ("LIFModule", "gives membranes of shape", "while running node 'x'")),
    Finding("sddetect-weight-of-rank-1",
            lambda: chain(detect(cv2_w0=np.ones(9)), (2, 3, 3)), "step", ValueError,
            ("SDDetect weights must be 4D", "cv2_w0", "while running node 'x'")),
    Finding("torch-error-at-run-time",
            lambda: chain(affine(), (5,)), "step", RuntimeError,
            ("mat1 and mat2", "GraphExecutor: while running node 'x' (Linear)")),
    # Stacking outputs that change shape failed in torch.stack without naming anything.
    Finding("run-of-varying-detections", nms_rows, "run", ValueError,
            ("GraphExecutor.run: the output of node 'out' is (1, 6) at step 1 but (2, 6)",),
            two_then_one_detection),
    # Samples without dimensions: layer by layer, dim=-1 would have been the batch of all steps.
    Finding("softmax-of-scalar-samples", lambda: chain(ir.Softmax(dim=-1), ()), "sequence", None),
    Finding("conversion-error-names-the-node",
            lambda: chain(ir.Conv2d(weight=np.ones((3, 1, 1, 1)), bias=np.ones(3), groups=2),
                          (2, 2, 2)),
            "import", ValueError, ("divisible by groups", "while importing node 'x' (Conv2d)")),
]


def _without(graph: ir.Graph, name: str, field: str) -> ir.Graph:
    delattr(graph.nodes[name], field)
    return graph
