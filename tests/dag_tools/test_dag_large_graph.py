"""A graph of 100,000 nodes: validation, reachability and order at full size."""

import random

import pytest

import vantle.ir as ir
from vantle.bridge import dag_tools

COUNT = 100_000


@pytest.fixture(scope="module")
def large_graph():
    rng = random.Random(7)
    names = [f"layer_{i}" for i in range(COUNT)]
    nodes = {name: ir.ReLU() for name in names}
    nodes[names[0]], nodes[names[-1]] = ir.Input(), ir.Output()
    edges = {(rng.randrange(max(0, i - 500), i), i) for i in range(1, COUNT)}
    while len(edges) < COUNT * 3 // 2:
        src = rng.randrange(COUNT - 1)
        edges.add((src, rng.randrange(src + 1, COUNT)))
    ordered = sorted(edges, key=lambda edge: rng.random())
    return ir.Graph(nodes=nodes, edges=[(names[s], names[d]) for s, d in ordered])


def test_a_large_dag_validates_and_orders(large_graph):
    assert dag_tools.validate_graph(large_graph) is None
    assert dag_tools.has_cycles(large_graph) is False
    assert dag_tools.get_disconnected_nodes(large_graph) == set()
    order = dag_tools.get_topological_order_from_graph(large_graph)
    assert len(order) == COUNT and set(order) == set(large_graph.nodes)
    position = {name: i for i, name in enumerate(order)}
    assert all(position[src] < position[dst] for src, dst in large_graph.edges)


def test_large_graph_faults_are_found(large_graph):
    edges = large_graph.edges
    try:
        large_graph.nodes["stray"] = ir.ReLU()
        large_graph.nodes["tail"] = ir.ReLU()
        edges.append(("stray", "tail"))
        with pytest.raises(ValueError) as raised:
            dag_tools.validate_graph(large_graph)
        listed = str(raised.value).split(": ", 1)[1].split(". All", 1)[0]
        assert listed in ("{'stray', 'tail'}", "{'tail', 'stray'}")
        edges.append(("layer_99999", "layer_0"))
        with pytest.raises(ValueError, match="Graph contains cycles. VANTLE"):
            dag_tools.validate_graph(large_graph)
        edges.append(edges[COUNT // 2])
        with pytest.raises(ValueError, match="^Duplicate edge detected: "):
            dag_tools.validate_graph(large_graph)
    finally:
        del large_graph.nodes["stray"], large_graph.nodes["tail"]
        del edges[COUNT * 3 // 2 :]
