"""validate_graph on large branching DAGs, against two baselines timed in the same run.

- plain: the same algorithm written plainly in Python (bench/plain_dag_tools.py);
- rx only: rustworkx alone building the graph (names as payloads, index pairs
  prepared beforehand, outside the timing) and testing it for cycles;
- rx from graph: the same, starting from the IR graph itself: the shortest
  Python that maps the edge names to indices, then one batch add and the test.

validate_graph checks every edge itself and tests for cycles on the native index graph it
builds for those checks; has_cycles and the topological orders build a rustworkx graph.

Each graph has one Input (the first node), one Output (the last), a random
spanning tree whose parents lie a little earlier (branches) and further forward
edges up to 1.5 edges per node. Times are the best of several runs, measured as
CPU time of the calling thread (all three run on it), which a busy machine
disturbs far less than wall-clock time; pass --wall for wall-clock time.

Usage: python bench/bench_dag_tools.py [--wall] [node counts ...]
       (default counts: 10000 100000 1000000)
"""

from __future__ import annotations

import gc
import random
import sys
import time
from typing import Any, Callable

import rustworkx as rx

from vantle import ir
from vantle.bridge import dag_tools

sys.path.insert(0, __file__.rsplit("/", 1)[0])
import plain_dag_tools  # noqa: E402

EDGES_PER_NODE = 1.5
PARENT_WINDOW = 1000  # how far back a node's tree parent may lie


def branching_dag(node_count: int, seed: int = 0) -> tuple[ir.Graph, list[tuple[int, int]]]:
    """A DAG of ``node_count`` named nodes and its edges as index pairs."""
    rng = random.Random(seed)
    names = [f"layer_{i}" for i in range(node_count)]
    body = ir.ReLU()  # one shared body node: only Input and Output matter here
    nodes = {name: body for name in names}
    nodes[names[0]] = ir.Input()
    nodes[names[-1]] = ir.Output()
    pairs = {(rng.randrange(max(0, i - PARENT_WINDOW), i), i) for i in range(1, node_count)}
    wanted = int(node_count * EDGES_PER_NODE)
    while len(pairs) < wanted:
        src = rng.randrange(node_count - 1)
        pairs.add((src, rng.randrange(src + 1, min(node_count, src + PARENT_WINDOW + 1))))
    index_pairs = sorted(pairs, key=lambda pair: pair[1])
    edges = [(names[src], names[dst]) for src, dst in index_pairs]
    return ir.Graph(nodes=nodes, edges=edges), index_pairs


def rx_only(names: list[str], index_pairs: list[tuple[int, int]]) -> bool:
    rx_graph = rx.PyDiGraph()
    rx_graph.add_nodes_from(names)
    rx_graph.add_edges_from_no_data(index_pairs)
    return rx.is_directed_acyclic_graph(rx_graph)


def rx_from_graph(graph: ir.Graph) -> bool:
    rx_graph = rx.PyDiGraph()
    index = {name: i for name, i in zip(graph.nodes, rx_graph.add_nodes_from(list(graph.nodes)))}
    rx_graph.add_edges_from_no_data([(index[s], index[d]) for s, d in graph.edges])
    return rx.is_directed_acyclic_graph(rx_graph)


def best_times(functions: dict[str, Callable[[], Any]], repeat: int, clock) -> dict[str, float]:
    """Best time of each function; the functions take turns so that load changes hit all alike."""
    best = {name: float("inf") for name in functions}
    for _ in range(repeat):
        for name, fn in functions.items():
            gc.collect()
            start = clock()
            fn()
            best[name] = min(best[name], clock() - start)
    return best


def main(sizes: list[int], clock_name: str) -> None:
    # CPU time of this thread (everything here runs on it) is steady on a shared machine.
    clock = time.thread_time if clock_name == "cpu" else time.perf_counter
    print(f"rustworkx {rx.__version__}; {clock_name} time, best of 7 runs (3 at 1M nodes and more)")
    print(
        f"{'nodes':>9} {'edges':>9} {'dag_tools':>11} {'plain':>11} {'rx only':>11}"
        f" {'rx from graph':>14} {'plain/dag_tools':>16} {'dag_tools/rx':>13}"
        f" {'vs rx from graph':>17} {'ns per node+edge':>17}"
    )
    for node_count in sizes:
        graph, index_pairs = branching_dag(node_count)
        names = list(graph.nodes)
        assert dag_tools.validate_graph(graph) is None
        assert plain_dag_tools.validate_graph(graph) is None and rx_only(names, index_pairs)
        times = best_times(
            {
                "ours": lambda: dag_tools.validate_graph(graph),
                "plain": lambda: plain_dag_tools.validate_graph(graph),
                "rx": lambda: rx_only(names, index_pairs),
                "rx_graph": lambda: rx_from_graph(graph),
            },
            3 if node_count >= 1_000_000 else 7,
            clock,
        )
        ours, plain, rx_alone, rx_graph = times["ours"], times["plain"], times["rx"], times["rx_graph"]
        per_item = ours / (node_count + len(graph.edges)) * 1e9
        print(
            f"{node_count:>9} {len(graph.edges):>9} {ours * 1e3:>9.1f}ms {plain * 1e3:>9.1f}ms"
            f" {rx_alone * 1e3:>9.1f}ms {rx_graph * 1e3:>12.1f}ms {plain / ours:>15.2f}x"
            f" {ours / rx_alone:>12.2f}x {ours / rx_graph:>16.2f}x {per_item:>17.0f}"
        )


if __name__ == "__main__":
    arguments = sys.argv[1:]
    chosen_clock = "wall" if "--wall" in arguments else "cpu"
    counts = [int(arg) for arg in arguments if arg != "--wall"]
    main(counts or [10_000, 100_000, 1_000_000], chosen_clock)
