"""A small spiking object detector: IR graph -> .vx2 -> torch modules -> boxes.

The graph is a Ghost backbone (SGhostEncoderLite, GhostBasicBlock1, GhostBasicBlock2),
a layer of LIF neurons and an SDDetect head. The head's channels are split into the
box distributions and the class scores; DFLDecode and Dist2BBox turn the box part
into centre-size boxes in pixels. NMSModule then filters the detections.

Run it on its own to keep the graph: ``python examples/detector_demo.py`` writes
``detector.vx2`` (or the path given) and runs the detector on it; then
``vantle-bridge draw detector.vx2 -o detector.svg`` draws it.
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import torch

from vantle import ir
from vantle.bridge import GraphExecutor
from vantle.bridge.import_ir import NMSModule, import_ir

IMAGE = (3, 32, 32)
NUM_CLASSES, REG_MAX, HEAD_STRIDE = 2, 8, 4


def _random(rng: np.random.Generator, *shape: int, scale: float = 0.3) -> np.ndarray:
    return (rng.normal(size=shape) * scale).astype(np.float32)


def _ghost(rng: np.random.Generator, prefix: str, c_in: int, primary: int, k: int) -> dict:
    """Arrays of one Ghost convolution: a primary convolution and its cheap depthwise twin."""
    return {
        f"{prefix}primary_weight": _random(rng, primary, c_in, k, k),
        f"{prefix}primary_bias": _random(rng, primary, scale=0.1),
        f"{prefix}cheap_weight": _random(rng, primary, 1, 3, 3),
        f"{prefix}cheap_bias": _random(rng, primary, scale=0.1),
    }


def _head_branch(rng: np.random.Generator, prefix: str, c_in: int, c_out: int, scale: float) -> dict:
    channels, kernels = (c_in, 16, 16, c_out), (3, 3, 1)
    arrays = {}
    for stage, k in enumerate(kernels):
        arrays[f"{prefix}w{stage}"] = _random(rng, channels[stage + 1], channels[stage], k, k, scale=scale)
        arrays[f"{prefix}b{stage}"] = _random(rng, channels[stage + 1], scale=0.1)
    return arrays


def build_detector_graph(seed: int = 0) -> ir.Graph:
    rng = np.random.default_rng(seed)
    features = (14, 8, 8)  # channels x height x width after the backbone
    nodes = {
        "image": ir.Input(input_type={"input": np.array(IMAGE)}),
        "stem": ir.SGhostEncoderLite(
            conv1_weight=_random(rng, 8, 3, 3, 3), conv1_bias=_random(rng, 8, scale=0.1),
            **_ghost(rng, "ghost_", 8, 4, 3), stride=2,
        ),
        "down": ir.GhostBasicBlock1(
            **_ghost(rng, "cvres_", 8, 4, 1), **_ghost(rng, "cv0_", 8, 4, 3),
            **_ghost(rng, "cv2_", 4, 4, 3), stride=2,
        ),
        "refine": ir.GhostBasicBlock2(**_ghost(rng, "cv0_", 12, 6, 1), **_ghost(rng, "cv2_", 6, 4, 3)),
        "lif": ir.LIF(
            tau=np.full(features, 2.0, np.float32), r=np.full(features, 2.0, np.float32),
            v_leak=np.zeros(features, np.float32), v_threshold=np.full(features, 0.5, np.float32),
        ),
        "head": ir.SDDetect(
            num_classes=NUM_CLASSES, reg_max=REG_MAX, stride=HEAD_STRIDE,
            **_head_branch(rng, "cv2_", features[0], 4 * REG_MAX, scale=0.3),
            **_head_branch(rng, "cv3_", features[0], NUM_CLASSES, scale=0.1),
        ),
        "split": ir.ChannelSplit(split_sections=(4 * REG_MAX, NUM_CLASSES), dim=0),
        "dfl": ir.DFLDecode(reg_max=REG_MAX, dfl_weights=np.arange(REG_MAX, dtype=np.float32)),
        "bbox": ir.Dist2BBox(stride=HEAD_STRIDE),
        "boxes": ir.Output(output_type={"output": np.array([4, 8, 8])}),
        "scores": ir.Output(output_type={"output": np.array([NUM_CLASSES, 8, 8])}),
    }
    chain = ["image", "stem", "down", "refine", "lif", "head", "split"]
    # A split node hands its chunks to its outgoing edges in edge order: boxes first.
    edges = list(zip(chain, chain[1:]))
    edges += [("split", "dfl"), ("split", "scores"), ("dfl", "bbox"), ("bbox", "boxes")]
    return ir.Graph(nodes=nodes, edges=edges)


def detection_rows(boxes: torch.Tensor, class_logits: torch.Tensor) -> torch.Tensor:
    """One row per grid cell: centre x, centre y, width, height, objectness, class scores."""
    cells = boxes.flatten(2).transpose(1, 2)[0]  # (H*W, 4), first image of the batch
    classes = torch.sigmoid(class_logits.flatten(2).transpose(1, 2)[0])
    objectness = torch.ones(cells.shape[0], 1)
    return torch.cat([cells, objectness, classes], dim=1)


def run_detector_demo(folder: Path, steps: int = 4, file_name: str = "spiking_detector.vx2") -> None:
    path = folder / file_name
    ir.write(path, build_detector_graph())
    graph = ir.read(path)
    executor = GraphExecutor(import_ir(graph), graph.edges)
    print(f"\ndetector: wrote and re-read {path.name}: {len(graph.nodes)} nodes")

    image = torch.rand(1, *IMAGE, generator=torch.Generator().manual_seed(2))
    with torch.no_grad():
        for _ in range(steps):  # the same frame for a few time steps; membranes carry over
            boxes, class_logits = executor(image)
    executor.reset_state()

    rows = detection_rows(boxes, class_logits)
    kept = NMSModule(score_threshold=0.5, iou_threshold=0.45, max_detections=5)(rows)
    print(f"{rows.shape[0]} candidate boxes after {steps} steps, {kept.shape[0]} kept by NMS:")
    for cx, cy, w, h, _, *scores in kept.tolist():
        best = int(np.argmax(scores))
        print(f"  centre ({cx:6.2f}, {cy:6.2f})  size {w:6.2f} x {h:6.2f}  class {best}  score {scores[best]:.3f}")


if __name__ == "__main__":
    target = Path(sys.argv[1] if len(sys.argv) > 1 else "detector.vx2")
    run_detector_demo(target.parent, file_name=target.name)
