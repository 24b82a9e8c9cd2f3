"""Small valid IR graphs of every node kind the importer converts, for the hostile-graph fuzzer.

Each builder takes the shape of one sample (batch not counted) and returns a node that runs on
it together with the shape it gives, or None when the kind does not fit that shape. The
templates string builders into graphs that import and run: chains, a split merged again by a
Concat or a Skip, a residual pair, a detection tail and a suppression tail. Everything is drawn
from the ``random.Random`` passed in, so a graph is reproducible from its seed.
"""

from __future__ import annotations

import math
import random
from collections.abc import Callable
from typing import Any, Optional

import numpy as np

import vantle.ir as ir

Shape = tuple[int, ...]
Built = Optional[tuple[ir.Node, Shape]]


def _arrays(rng: random.Random) -> np.random.Generator:
    return np.random.default_rng(rng.getrandbits(32))


def _normal(rng: random.Random, *shape: int) -> np.ndarray:
    return (_arrays(rng).standard_normal(shape) * 0.5).astype(rng.choice((np.float32, np.float64)))


def _conv_size(size: int, kernel: int, stride: int, padding: int, dilation: int = 1) -> int:
    return (size + 2 * padding - dilation * (kernel - 1) - 1) // stride + 1


def _divisor(rng: random.Random, *counts: int) -> int:
    """A common divisor of ``counts`` (for groups)."""
    common = math.gcd(*counts)
    return rng.choice([d for d in range(1, common + 1) if common % d == 0])


# --- kinds that keep the shape ------------------------------------------------------------


def _activation(rng: random.Random, shape: Shape) -> Built:
    make = rng.choice([
        lambda: ir.ReLU(negative_slope=rng.choice((0.0, 0.1))),
        lambda: ir.Sigmoid(), lambda: ir.Tanh(), lambda: ir.HybridRegion(),
        lambda: ir.GELU(approximate=rng.random() < 0.5),
        lambda: ir.ELU(alpha=rng.choice((0.5, 1.0))),
        lambda: ir.Dropout(p=rng.choice((0.0, 0.2))),
        lambda: ir.Softmax(dim=rng.choice((-1, len(shape)))),
        lambda: ir.Skip(skip_type=rng.choice(("passthrough", "residual", "concatenate"))),
    ])
    return make(), shape


def _lif(rng: random.Random, shape: Shape) -> Built:
    neurons = rng.choice((shape, (1,), shape[-1:]))

    def values(low: float, high: float) -> np.ndarray:
        return _arrays(rng).uniform(low, high, neurons).astype(np.float32)

    node = ir.LIF(tau=values(1.5, 4.0), r=values(0.5, 2.0), v_leak=values(-0.1, 0.1),
                  v_threshold=values(0.3, 1.2))
    return node, shape


def _prelu(rng: random.Random, shape: Shape) -> Built:
    count = rng.choice((1, shape[0]))
    return ir.PReLU(weight=_arrays(rng).uniform(0.0, 0.5, count)), shape


def _layer_norm(rng: random.Random, shape: Shape) -> Built:
    normalized = shape[-rng.randint(1, len(shape)):]
    given: Any = normalized[0] if len(normalized) == 1 and rng.random() < 0.5 else normalized
    return ir.LayerNorm(normalized_shape=given, eps=1e-5, weight=_normal(rng, *normalized),
                        bias=_normal(rng, *normalized)), shape


def _batch_norm(rng: random.Random, shape: Shape) -> Built:
    kind = {1: ir.BatchNorm1d, 2: ir.BatchNorm1d, 3: ir.BatchNorm2d}.get(len(shape))
    if kind is None:
        return None
    count = shape[0]
    node = kind(num_features=count, eps=1e-5, momentum=0.1, weight=_normal(rng, count),
                bias=_normal(rng, count), running_mean=_normal(rng, count),
                running_var=_arrays(rng).uniform(0.5, 2.0, count))
    return node, shape


# --- kinds that change the shape ----------------------------------------------------------


def _affine(rng: random.Random, shape: Shape) -> Built:
    out = rng.randint(1, 6)
    kind = rng.choice((ir.Affine, ir.SpikingAffine))
    return kind(weight=_normal(rng, out, shape[-1]), bias=_normal(rng, out)), shape[:-1] + (out,)


def _flatten(rng: random.Random, shape: Shape) -> Built:
    start = rng.randrange(len(shape))
    return ir.Flatten(start_dim=start, end_dim=-1), shape[:start] + (math.prod(shape[start:]),)


def _conv1d(rng: random.Random, shape: Shape) -> Built:
    if len(shape) != 2:
        return None
    channels, length = shape
    out = rng.randint(1, 6)
    groups = _divisor(rng, channels, out)
    kernel, stride, padding, dilation = rng.randint(1, 3), rng.randint(1, 2), rng.randint(0, 1), 1
    if _conv_size(length, kernel, stride, padding, dilation) < 1:
        return None
    node = ir.Conv1d(weight=_normal(rng, out, channels // groups, kernel), bias=_normal(rng, out),
                     stride=stride, padding=padding, dilation=dilation, groups=groups)
    return node, (out, _conv_size(length, kernel, stride, padding, dilation))


def _conv2d(rng: random.Random, shape: Shape) -> Built:
    if len(shape) != 3:
        return None
    channels, height, width = shape
    out = rng.randint(1, 6)
    groups = _divisor(rng, channels, out)
    kernel, stride, padding = rng.randint(1, 3), rng.randint(1, 2), rng.randint(0, 1)
    sizes = tuple(_conv_size(n, kernel, stride, padding) for n in (height, width))
    if min(sizes) < 1:
        return None
    node = ir.Conv2d(weight=_normal(rng, out, channels // groups, kernel, kernel),
                     bias=_normal(rng, out), stride=rng.choice((stride, (stride, stride))),
                     padding=padding, dilation=1, groups=groups)
    return node, (out, *sizes)


def _sepconv(rng: random.Random, shape: Shape) -> Built:
    if len(shape) != 3:
        return None
    channels, height, width = shape
    out, kernel = rng.randint(1, 6), rng.choice((1, 3))
    padding = kernel // 2
    node = ir.SepConv2d(depthwise_weight=_normal(rng, channels, 1, kernel, kernel),
                        pointwise_weight=_normal(rng, out, channels, 1, 1),
                        depthwise_bias=rng.choice((None, _normal(rng, channels))),
                        pointwise_bias=rng.choice((None, _normal(rng, out))),
                        stride=1, padding=padding, dilation=1)
    return node, (out, height, width)


def _pool(rng: random.Random, shape: Shape) -> Built:
    if len(shape) != 3 or min(shape[1:]) < 2:
        return None
    channels, height, width = shape
    kernel = 2
    stride = rng.choice((None, 1, 2))
    step = kernel if stride is None else stride
    sizes = (_conv_size(height, kernel, step, 0), _conv_size(width, kernel, step, 0))
    if rng.random() < 0.5:
        node: ir.Node = ir.MaxPool2d(kernel_size=kernel, stride=stride, padding=0, dilation=1,
                                     ceil_mode=False)
    else:
        node = ir.AvgPool2d(kernel_size=kernel, stride=stride, padding=0, ceil_mode=False,
                            count_include_pad=True)
    return node, (channels, *sizes)


def _upsample(rng: random.Random, shape: Shape) -> Built:
    if len(shape) != 3:
        return None
    channels, height, width = shape
    mode = rng.choice(("nearest", "bilinear"))
    if rng.random() < 0.5:
        size = (height + 1, width * 2)
        return ir.Upsample(size=size, scale_factor=None, mode=mode, align_corners=False), (
            channels, *size)
    return ir.Upsample(size=None, scale_factor=2, mode=mode, align_corners=True), (
        channels, height * 2, width * 2)


def _ghost_arrays(rng: random.Random, prefix: str, c_in: int, primary: int,
                  kernel: int) -> dict[str, np.ndarray]:
    return {f"{prefix}primary_weight": _normal(rng, primary, c_in, kernel, kernel),
            f"{prefix}primary_bias": _normal(rng, primary),
            f"{prefix}cheap_weight": _normal(rng, primary, 1, 3, 3),
            f"{prefix}cheap_bias": _normal(rng, primary)}


def _ghost_conv(rng: random.Random, shape: Shape) -> Built:
    if len(shape) != 3:
        return None
    channels, height, width = shape
    primary, kernel = rng.randint(1, 4), rng.choice((1, 3))
    node = ir.SGhostConv(**_ghost_arrays(rng, "", channels, primary, kernel),
                         primary_stride=1, primary_padding=kernel // 2, cheap_stride=(1, 1),
                         cheap_padding=np.array([1, 1]))
    return node, (2 * primary, height, width)


def _ghost_encoder(rng: random.Random, shape: Shape) -> Built:
    if len(shape) != 3:
        return None
    channels, height, width = shape
    stem, primary, stride = rng.randint(1, 4), rng.randint(1, 4), rng.choice((1, 2))
    node = ir.SGhostEncoderLite(conv1_weight=_normal(rng, stem, channels, 3, 3),
                                conv1_bias=_normal(rng, stem),
                                **_ghost_arrays(rng, "ghost_", stem, primary, 3), stride=stride)
    return node, (2 * primary, _conv_size(height, 3, stride, 1), _conv_size(width, 3, stride, 1))


def _ghost_block1(rng: random.Random, shape: Shape) -> Built:
    if len(shape) != 3:
        return None
    channels, height, width = shape
    main, refined, stride = rng.randint(1, 3), rng.randint(1, 3), rng.choice((1, 2))
    node = ir.GhostBasicBlock1(**_ghost_arrays(rng, "cvres_", channels, refined, 1),
                               **_ghost_arrays(rng, "cv0_", channels, main, 3),
                               **_ghost_arrays(rng, "cv2_", main, refined, 3), stride=stride)
    return node, (main + 2 * refined, _conv_size(height, 3, stride, 1),
                  _conv_size(width, 3, stride, 1))


def _ghost_block2(rng: random.Random, shape: Shape) -> Built:
    if len(shape) != 3:
        return None
    channels, height, width = shape
    main, refined = rng.randint(1, 3), rng.randint(1, 3)
    node = ir.GhostBasicBlock2(**_ghost_arrays(rng, "cv0_", channels, main, 1),
                               **_ghost_arrays(rng, "cv2_", main, refined, 3))
    return node, (main + 2 * refined, height, width)


def _head_stages(rng: random.Random, branch: str, c_in: int, out: int) -> dict[str, np.ndarray]:
    channels = (c_in, rng.randint(1, 4), rng.randint(1, 4), out)
    stages = {}
    for stage, kernel in enumerate((3, 3, 1)):
        stages[f"{branch}_w{stage}"] = _normal(rng, channels[stage + 1], channels[stage],
                                               kernel, kernel)
        stages[f"{branch}_b{stage}"] = _normal(rng, channels[stage + 1])
    return stages


def _detect(rng: random.Random, shape: Shape, classes: int, reg_max: int) -> ir.Node:
    return ir.SDDetect(num_classes=classes, reg_max=reg_max, stride=rng.choice((8, 16)),
                       **_head_stages(rng, "cv2", shape[0], 4 * reg_max),
                       **_head_stages(rng, "cv3", shape[0], classes))


BUILDERS: list[Callable[[random.Random, Shape], Built]] = [
    _activation, _lif, _prelu, _layer_norm, _batch_norm, _affine, _flatten, _conv1d, _conv2d,
    _sepconv, _pool, _upsample, _ghost_conv, _ghost_encoder, _ghost_block1, _ghost_block2,
]


def _sample_shape(rng: random.Random) -> Shape:
    rank = rng.choice((1, 2, 3, 3))
    return tuple(rng.randint(1, 6) for _ in range(rank))


def _port(shape: Shape) -> np.ndarray:
    return np.array(shape, dtype=np.int64)


def _chain_nodes(rng: random.Random, shape: Shape, length: int) -> tuple[list[ir.Node], Shape]:
    nodes: list[ir.Node] = []
    while len(nodes) < length:
        built = rng.choice(BUILDERS)(rng, shape)
        if built is None:
            continue
        node, out = built
        node.input_type, node.output_type = {"input": _port(shape)}, {"output": _port(out)}
        nodes.append(node)
        shape = out
    return nodes, shape


class Recipe:
    """Nodes by name and edges by name, built up in order."""

    def __init__(self) -> None:
        self.nodes: dict[str, ir.Node] = {}
        self.edges: list[tuple[str, str]] = []

    def add(self, name: str, node: ir.Node, *sources: str) -> str:
        self.nodes[name] = node
        self.edges.extend((source, name) for source in sources)
        return name

    def graph(self) -> ir.Graph:
        return ir.Graph(nodes=self.nodes, edges=self.edges)


def _input(recipe: Recipe, shape: Shape, name: str = "in") -> str:
    return recipe.add(name, ir.Input(input_type={"input": _port(shape)}))


def _output(recipe: Recipe, shape: Shape, source: str, name: str = "out") -> str:
    return recipe.add(name, ir.Output(output_type={"output": _port(shape)}), source)


def _chain(rng: random.Random, recipe: Recipe) -> None:
    shape = _sample_shape(rng)
    last = _input(recipe, shape)
    nodes, shape = _chain_nodes(rng, shape, rng.randint(1, 4))
    for i, node in enumerate(nodes):
        last = recipe.add(f"n{i}.{node.kind}", node, last)
    _output(recipe, shape, last)


def _split_merge(rng: random.Random, recipe: Recipe) -> None:
    """Input -> ChannelSplit -> one branch per chunk -> Concat or Skip("concatenate") -> Output."""
    sections = tuple(rng.randint(1, 3) for _ in range(rng.randint(2, 3)))
    rest = tuple(rng.randint(1, 5) for _ in range(rng.randint(0, 2)))
    shape = (sum(sections), *rest)
    split = recipe.add("split", ir.ChannelSplit(split_sections=sections, dim=0,
                                                input_type={"input": _port(shape)}),
                       _input(recipe, shape))
    branches = []
    for i, size in enumerate(sections):
        branch = _activation if rng.random() < 0.7 else _lif
        node, _ = branch(rng, (size, *rest))
        branches.append(recipe.add(f"branch{i}", node, split))
    if rng.random() < 0.5:
        merge: ir.Node = ir.Concat(num_inputs=len(sections), dim=0)
    else:
        merge = ir.Skip(skip_type="concatenate")
    _output(recipe, shape, recipe.add("merge", merge, *branches))


def _residual(rng: random.Random, recipe: Recipe) -> None:
    """Two branches of one shape summed by a Skip; sometimes fed by two inputs."""
    shape = _sample_shape(rng)
    first = _input(recipe, shape)
    second = _input(recipe, shape, "in2") if rng.random() < 0.3 else first
    left = recipe.add("left", _activation(rng, shape)[0], first)
    right = recipe.add("right", _lif(rng, shape)[0], second)
    merged = recipe.add("sum", ir.Skip(skip_type=rng.choice(("residual", "passthrough"))),
                        left, right)
    _output(recipe, shape, merged)


def _detection(rng: random.Random, recipe: Recipe) -> None:
    """Input -> SDDetect -> ChannelSplit -> DFLDecode -> Dist2BBox -> boxes, and the scores."""
    classes, reg_max = rng.randint(1, 3), rng.randint(1, 4)
    shape = (rng.randint(1, 4), rng.randint(1, 5), rng.randint(1, 5))
    head = recipe.add("head", _detect(rng, shape, classes, reg_max), _input(recipe, shape))
    split = recipe.add("split", ir.ChannelSplit(split_sections=(4 * reg_max, classes), dim=0),
                       head)
    dfl = recipe.add("dfl", ir.DFLDecode(reg_max=reg_max,
                                         dfl_weights=np.arange(reg_max, dtype=np.float32)), split)
    _output(recipe, (classes, *shape[1:]), split, "scores")
    boxes = recipe.add("bbox", ir.Dist2BBox(stride=rng.choice((8, 16))), dfl)
    _output(recipe, (4, *shape[1:]), boxes, "boxes")


def _suppression(rng: random.Random, recipe: Recipe) -> None:
    """Detection rows [batch, D] (the batch is the row count) -> NMS -> Output."""
    width = rng.randint(5, 8)
    rows = recipe.add("nms", ir.NMS(score_threshold=rng.choice((0.0, 0.25)),
                                    iou_threshold=rng.choice((0.45, 0.7)),
                                    max_detections=rng.choice((0, 2, 300))),
                      _input(recipe, (width,)))
    _output(recipe, (width,), rows)


TEMPLATES: list[Callable[[random.Random, Recipe], None]] = [
    _chain, _chain, _chain, _split_merge, _residual, _detection, _suppression,
]


def valid_graph(rng: random.Random) -> ir.Graph:
    """A graph that imports and runs: one of the templates, drawn from ``rng``."""
    recipe = Recipe()
    rng.choice(TEMPLATES)(rng, recipe)
    return recipe.graph()
