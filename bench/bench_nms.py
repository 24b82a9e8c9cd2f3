"""Greedy suppression: the C++ kernel behind ``NMSModule._nms_fallback`` against the same
algorithm written plainly in Python with torch operations, on clustered boxes.

    .venv/bin/python bench/bench_nms.py
"""

from __future__ import annotations

import sys
import time
from pathlib import Path
from typing import Callable

import torch

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "import_ir"))
from nms_reference import clustered_boxes, greedy_nms  # noqa: E402

from vantle.bridge.import_ir import NMSModule  # noqa: E402

OBJECTS = 300
THRESHOLD = 0.45


def best_time(run: Callable[[], object], repeats: int) -> float:
    """Fastest of ``repeats`` runs, in seconds."""
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    torch.set_num_threads(1)
    print(f"greedy NMS, boxes clustered around {OBJECTS} objects, IoU threshold {THRESHOLD}")
    print(f"{'boxes':>7} {'kept':>6} {'python ms':>10} {'kernel ms':>10} {'speed-up':>9}")
    for count in (500, 5_000, 20_000):
        boxes, scores = clustered_boxes(count, OBJECTS, seed=count)
        kept = NMSModule._nms_fallback(boxes, scores, THRESHOLD)
        if not torch.equal(kept, greedy_nms(boxes, scores, THRESHOLD)):
            raise SystemExit(f"kernel and reference disagree on {count} boxes")
        python = best_time(lambda: greedy_nms(boxes, scores, THRESHOLD), 3)
        kernel = best_time(lambda: NMSModule._nms_fallback(boxes, scores, THRESHOLD), 20)
        print(f"{count:>7} {len(kept):>6} {python * 1e3:>10.2f} {kernel * 1e3:>10.3f} "
              f"{python / kernel:>8.1f}x")


if __name__ == "__main__":
    main()
