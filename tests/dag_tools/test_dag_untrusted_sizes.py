"""Sizes a graph object claims are bounded by what it really holds: a clear error, no huge request."""

import os
import subprocess
import sys
import textwrap

import pytest
from dag_graphs import PlainGraph, nodes_of

from vantle.bridge import dag_tools


class ClaimsToBeHuge(list):
    """Edges whose length hint says 2^62 while only a few are there."""

    def __len__(self):
        return 2**62


@pytest.mark.parametrize(
    "function, expected",
    [(dag_tools.validate_graph, None), (dag_tools.has_cycles, False),
     (dag_tools.get_disconnected_nodes, set()), (dag_tools.get_topological_order_from_graph,
                                                 ["a", "b", "c"])],
)
def test_a_length_hint_is_not_trusted(function, expected):
    graph = PlainGraph(nodes_of("INO"), ClaimsToBeHuge([("a", "b"), ("b", "c")]))
    assert function(graph) == expected


class StandIn:
    """An index graph as a graph object may offer it: a length and an edge list."""

    def __init__(self, length, edges):
        self.length, self.edges = length, edges

    def __len__(self):
        return self.length

    def edge_list(self):
        return self.edges

    def successor_indices(self, index):
        return []


class Offers(PlainGraph):
    def __init__(self, rx_graph):
        super().__init__(nodes_of("INO"), [("a", "b"), ("b", "c")])
        self._rx_graph = rx_graph
        self._node_to_idx = {"a": 0, "b": 1, "c": 2}
        self._idx_to_node = {0: "a", 1: "b", 2: "c"}

    def _get_rx_graph(self):
        return self._rx_graph


@pytest.mark.parametrize(
    "rx_graph, words",
    [
        (StandIn(2**62, [(0, 1)]), "has 4611686018427387904 nodes, more than the graph's 3"),
        (StandIn(3, [(0, -1)]), "invalid node index: -1"),
        (StandIn(3, [(0, 2**70)]), "invalid node index: 1180591620717411303424"),
        (StandIn(3, [(0, "b")]), "invalid node index: b"),
    ],
)
def test_an_offered_index_graph_that_cannot_describe_the_graph_is_refused(rx_graph, words):
    with pytest.raises(ValueError, match="^Index graph from _get_rx_graph[(][)] ") as info:
        dag_tools.get_disconnected_nodes(Offers(rx_graph))
    assert words in str(info.value)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the cap allows")
def test_far_offered_indices_cost_memory_by_edge_not_by_value():
    # In a child whose address space is capped at 2 GiB: an index of 3e9 must not size anything.
    # The path a -> far -> c passes through the far node, which must still be followed.
    code = textwrap.dedent(
        """
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        from test_dag_untrusted_sizes import Offers, StandIn
        from vantle.bridge import dag_tools
        far = 3_000_000_000
        print(sorted(dag_tools.get_disconnected_nodes(Offers(StandIn(3, [(0, far), (far, 2)])))))
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            cwd=__file__.rsplit("/", 1)[0], timeout=120)
    assert result.stdout.strip() == "['b']", result.stderr[-2000:]

