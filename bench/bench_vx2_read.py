"""ir.read on hostile 1-2 MB .vx2 files, against reading a valid file of about the same size.

Each hostile file is built to make a careless reader spend time or memory far beyond its size:
one 1 MiB tensor claimed by thousands of nodes, shapes of numbers with thousands of digits,
shapes of a million dimensions, graph values built of many tiny objects. The baseline is a valid
graph of the same size (a chain of Affine layers); each row prints the file size, the time and
the peak memory that tracemalloc sees (NumPy's buffers included), and the ratios to the baseline.
Times are the best of three runs.

Usage: python bench/bench_vx2_read.py
"""

from __future__ import annotations

import json
import os
import sys
import tempfile
import time
import tracemalloc
from typing import Callable

import numpy as np

from vantle import ir

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "ir"))
import test_vx2_hostile as hostile  # noqa: E402
from vx2_bytes import join, vx2_header  # noqa: E402


def valid_chain(target_size: int) -> bytes:
    """A valid Affine chain of about ``target_size`` bytes."""
    layers = max(1, target_size // (64 * 64 * 4 + 300))
    nodes = {f"fc{i}": ir.Affine(weight=np.ones((64, 64), np.float32)) for i in range(layers)}
    names = list(nodes)
    graph = ir.Graph(nodes=nodes, edges=list(zip(names, names[1:])))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "valid.vx2")
        ir.write(path, graph)
        with open(path, "rb") as stream:
            return stream.read()


def many_tiny_values(count: int = 120_000) -> bytes:
    """A valid graph whose one field is a list of ``count`` empty lists."""
    field = {"list": [{"list": []}] * count}
    node = hostile.node("d", "Dropout", p=field, features=None)
    return join(vx2_header(hostile.graph_of(node)))


def many_long_integers(count: int = 380) -> bytes:
    """A valid graph holding ``count`` integers of 4300 digits, the most that are read."""
    text = json.dumps(hostile.graph_of(hostile.node("d", "Dropout", p="X", features=None)))
    numbers = ",".join(["9" * 4300] * count)
    header = vx2_header({})
    header["__metadata__"]["graph"] = text.replace('"X"', '{"list": [' + numbers + "]}")
    return join(header)


def many_nodes(count: int = 12_000) -> bytes:
    """A valid graph of ``count`` ReLU nodes and a chain of edges."""
    nodes = [hostile.node(f"r{i}", "ReLU", negative_slope=0.0, features=None) for i in range(count)]
    edges = [[f"r{i}", f"r{i + 1}"] for i in range(count - 1)]
    return join(vx2_header(hostile.graph_of(*nodes, edges=edges)))


def many_tensors(count: int = 20_000) -> bytes:
    """A valid graph whose one field is a list of ``count`` one-byte tensors."""
    tensors = {f"t{i}": {"dtype": "U8", "shape": [1], "data_offsets": [i, i + 1]}
               for i in range(count)}
    field = {"list": [{"array": f"t{i}"} for i in range(count)]}
    node = hostile.node("d", "Dropout", p=field, features=None)
    return join(vx2_header(hostile.graph_of(node), **tensors), bytes(count))


HOSTILE: dict[str, Callable[[], bytes]] = {
    "1 MiB tensor x 2000 references": lambda: hostile.one_tensor_many_references(2000),
    "shape of 400 numbers x 4000 digits": lambda: hostile.shape_of_long_numbers(400, 4000),
    "shape of 600k dimensions": lambda: hostile.shape_of_many_dimensions(600_000),
    "120k empty lists (valid)": many_tiny_values,
    "380 ints x 4300 digits (valid)": many_long_integers,
    "12k nodes and edges (valid)": many_nodes,
    "20k tensors (valid)": many_tensors,
}


def measure(path: str) -> tuple[float, int, str]:
    """Best time of three reads, peak traced memory of one, and the outcome."""
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        try:
            ir.read(path)
            outcome = "read"
        except ValueError as err:
            outcome = "ValueError: " + str(err)[len(path) + 2 :][:60]
        best = min(best, time.perf_counter() - start)
    tracemalloc.start()
    try:
        ir.read(path)
    except ValueError:
        pass
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return best, peak, outcome


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        rows = []
        for name, make in {"valid Affine chain (baseline)": lambda: valid_chain(1_500_000),
                           **HOSTILE}.items():
            path = os.path.join(folder, "file.vx2")
            with open(path, "wb") as stream:
                stream.write(make())
            rows.append((name, os.path.getsize(path), *measure(path)))
    base_time, base_peak = rows[0][2], rows[0][3]
    print(f"{'file':36} {'size MB':>8} {'time ms':>8} {'x base':>7} {'peak MB':>8} "
          f"{'x base':>7}  outcome")
    for name, size, seconds, peak, outcome in rows:
        print(f"{name:36} {size / 1e6:8.2f} {seconds * 1e3:8.1f} {seconds / base_time:7.2f} "
              f"{peak / 1e6:8.1f} {peak / base_peak:7.2f}  {outcome}")


if __name__ == "__main__":
    main()
