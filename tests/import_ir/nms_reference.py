"""Greedy suppression written plainly with torch operations, and detection data to feed it.

This is the algorithm ``NMSModule._nms_fallback`` implements, kept independent of the extension
so tests can compare against it and benchmarks can time it.
"""

from __future__ import annotations

import torch


def greedy_nms(boxes: torch.Tensor, scores: torch.Tensor, iou_threshold: float,
               stable: bool = False) -> torch.Tensor:
    """Indices of the boxes kept, best score first (equal scores in index order if ``stable``)."""
    order = torch.argsort(scores, descending=True, stable=stable)
    ordered = boxes[order]
    x1, y1, x2, y2 = ordered[:, 0], ordered[:, 1], ordered[:, 2], ordered[:, 3]
    keep = []
    suppressed = torch.zeros(len(ordered), dtype=torch.bool, device=boxes.device)
    for i in range(len(ordered)):
        if suppressed[i]:
            continue
        keep.append(i)
        remaining = torch.where(~suppressed)[0]
        remaining = remaining[remaining > i]
        if remaining.numel() == 0:
            continue
        xi1 = torch.maximum(x1[i], x1[remaining])
        yi1 = torch.maximum(y1[i], y1[remaining])
        xi2 = torch.minimum(x2[i], x2[remaining])
        yi2 = torch.minimum(y2[i], y2[remaining])
        inter = torch.clamp(xi2 - xi1, min=0) * torch.clamp(yi2 - yi1, min=0)
        area_i = (x2[i] - x1[i]) * (y2[i] - y1[i])
        area_r = (x2[remaining] - x1[remaining]) * (y2[remaining] - y1[remaining])
        iou = inter / torch.clamp(area_i + area_r - inter, min=1e-7)
        suppressed[remaining[iou > iou_threshold]] = True
    return order[torch.tensor(keep, device=boxes.device, dtype=torch.long)]


def clustered_boxes(count: int, objects: int, seed: int = 0) -> tuple[torch.Tensor, torch.Tensor]:
    """``count`` corner boxes jittered around ``objects`` objects in a 640x640 image.

    Scores are distinct (a shuffled ramp), so the visiting order does not depend on how equal
    scores are ordered.
    """
    generator = torch.Generator().manual_seed(seed)
    centres = torch.rand(objects, 2, generator=generator) * 640
    sizes = 16 + torch.rand(objects, 2, generator=generator) * 112
    owner = torch.randint(0, objects, (count,), generator=generator)
    jitter = 1 + (torch.rand(count, 4, generator=generator) - 0.5) * 0.3
    centre = centres[owner] + (jitter[:, :2] - 1) * sizes[owner]
    size = sizes[owner] * jitter[:, 2:]
    boxes = torch.cat((centre - size / 2, centre + size / 2), dim=1)
    scores = (torch.randperm(count, generator=generator).float() + 1) / (count + 1)
    return boxes, scores
