"""The graph checks of ``vantle.bridge.dag_tools`` written plainly in Python.

The benchmark's baseline: the same algorithm (index graph built name by name,
edges in one batch, cycle test in rustworkx, breadth-first reachability over
``successor_indices``), interpreted instead of compiled.
"""

from __future__ import annotations

from collections import deque
from typing import Any

import rustworkx as rx

from vantle import ir


def build_index_graph(graph: Any) -> tuple[rx.PyDiGraph, dict, dict]:
    rx_graph = rx.PyDiGraph()
    node_to_idx: dict = {}
    idx_to_node: dict = {}
    for name in graph.nodes:
        idx = rx_graph.add_node(name)
        node_to_idx[name] = idx
        idx_to_node[idx] = name
    edge_list = []
    for src, dst in graph.edges:
        if src in node_to_idx and dst in node_to_idx:
            edge_list.append((node_to_idx[src], node_to_idx[dst]))
    rx_graph.add_edges_from_no_data(edge_list)
    return rx_graph, node_to_idx, idx_to_node


def has_cycles(graph: Any) -> bool:
    if not graph.edges:
        return False
    rx_graph, _, _ = build_index_graph(graph)
    return not rx.is_directed_acyclic_graph(rx_graph)


def get_disconnected_nodes(graph: Any) -> set:
    if not graph.nodes:
        return set()
    input_names = {name for name, node in graph.nodes.items() if isinstance(node, ir.Input)}
    if not graph.edges:
        return set(graph.nodes.keys()) - input_names
    rx_graph, node_to_idx, idx_to_node = build_index_graph(graph)
    if not input_names:
        input_names = {
            name
            for name in graph.nodes
            if not rx_graph.predecessor_indices(node_to_idx[name])
        }
    reachable: set = set()
    queue: deque = deque()
    for name in input_names:
        idx = node_to_idx[name]
        if idx not in reachable:
            reachable.add(idx)
            queue.append(idx)
    while queue:
        current = queue.popleft()
        for successor in rx_graph.successor_indices(current):
            if successor not in reachable:
                reachable.add(successor)
                queue.append(successor)
    return {idx_to_node[i] for i in set(range(len(rx_graph))) - reachable}


def validate_graph(graph: Any) -> None:
    if not graph.nodes:
        raise ValueError("Graph cannot be empty (no nodes)")
    node_names = set(graph.nodes.keys())
    seen_edges: set = set()
    for src, dst in graph.edges:
        if src not in node_names:
            raise ValueError(f"Edge references unknown source node: {src}")
        if dst not in node_names:
            raise ValueError(f"Edge references unknown destination node: {dst}")
        if src == dst:
            raise ValueError(f"Self-loop detected: '{src}' -> '{dst}'")
        if (src, dst) in seen_edges:
            raise ValueError(f"Duplicate edge detected: '{src}' -> '{dst}'")
        seen_edges.add((src, dst))
    has_input = any(isinstance(node, ir.Input) for node in graph.nodes.values())
    has_output = any(isinstance(node, ir.Output) for node in graph.nodes.values())
    if not has_input:
        raise ValueError("Graph has no Input nodes")
    if not has_output:
        raise ValueError("Graph has no Output nodes")
    if not graph.edges:
        if len(graph.nodes) > 1:
            raise ValueError(
                f"Graph has {len(graph.nodes)} nodes but no edges. Graph must be connected."
            )
        return
    if has_cycles(graph):
        raise ValueError("Graph contains cycles. VANTLE IR graphs must be acyclic (DAG).")
    disconnected = get_disconnected_nodes(graph)
    if disconnected:
        raise ValueError(
            f"Graph contains disconnected nodes: {disconnected}. "
            "All nodes must be reachable from input nodes."
        )
