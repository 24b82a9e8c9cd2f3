"""Greedy suppression: the C++ kernel behind ``NMSModule._nms_fallback`` against the same
algorithm written plainly in Python with torch operations, on clustered boxes.

    .venv/bin/python bench/bench_nms.py

The kernel against the all-pairs algorithm it replaced, up to a million boxes:
``bench/nms_scale.cpp``.
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

THRESHOLD = 0.45
# (boxes, objects they cluster around, timing repeats for the kernel, for the reference)
CASES = [(500, 300, 20, 3), (5_000, 300, 20, 3), (20_000, 300, 10, 1), (300_000, 10_000, 3, 1)]


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
    print(f"greedy NMS on clustered boxes, IoU threshold {THRESHOLD}")
    print(f"{'boxes':>9} {'objects':>8} {'kept':>6} {'python ms':>10} {'kernel ms':>10} "
          f"{'speed-up':>9}")
    for count, objects, kernel_repeats, python_repeats in CASES:
        boxes, scores = clustered_boxes(count, objects, seed=count)
        start = time.perf_counter()
        expected = greedy_nms(boxes, scores, THRESHOLD)
        python = min(time.perf_counter() - start,
                     best_time(lambda: greedy_nms(boxes, scores, THRESHOLD), python_repeats - 1))
        kept = NMSModule._nms_fallback(boxes, scores, THRESHOLD)
        if not torch.equal(kept, expected):
            raise SystemExit(f"kernel and reference disagree on {count} boxes")
        kernel = best_time(lambda: NMSModule._nms_fallback(boxes, scores, THRESHOLD),
                           kernel_repeats)
        print(f"{count:>9} {objects:>8} {len(kept):>6} {python * 1e3:>10.1f} "
              f"{kernel * 1e3:>10.2f} {python / kernel:>8.1f}x", flush=True)


if __name__ == "__main__":
    main()
