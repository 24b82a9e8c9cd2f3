"""The index graph: how it is built, handed to rustworkx, or taken from the graph object."""

import collections
import types

import pytest
import rustworkx as rx
from dag_graphs import PlainGraph, nodes_of

import vantle.ir as ir
from vantle.bridge import dag_tools


def test_module_binds_its_dependencies():
    assert dag_tools.rx is rx and dag_tools.ir is ir and dag_tools.deque is collections.deque


def test_built_graph_numbers_names_in_order_and_drops_edges_to_unknown_nodes(make_graph):
    edges = [("c", "a"), ("a", "x"), ("y", "b"), ("a", "b"), ("a", "b"), ("b", "b")]
    graph, node_to_idx, idx_to_node = dag_tools._get_or_build_rx_graph(make_graph("INO", edges))
    assert isinstance(graph, rx.PyDiGraph)
    assert graph.nodes() == ["a", "b", "c"] and list(graph.node_indices()) == [0, 1, 2]
    assert node_to_idx == {"a": 0, "b": 1, "c": 2} and idx_to_node == {0: "a", 1: "b", 2: "c"}
    # Repeated edges and self-loops are kept; edges carry no payload.
    assert list(graph.edge_list()) == [(2, 0), (0, 1), (0, 1), (1, 1)]
    assert graph.edges() == [None] * 4


def test_a_repeated_name_gets_two_nodes_and_edges_attach_to_the_later():
    graph = PlainGraph(["x", "y", "x"], [("y", "x"), ("x", "y")])
    rx_graph, node_to_idx, idx_to_node = dag_tools._get_or_build_rx_graph(graph)
    assert rx_graph.nodes() == ["x", "y", "x"]
    assert node_to_idx == {"x": 2, "y": 1} and idx_to_node == {0: "x", 1: "y", 2: "x"}
    assert list(rx_graph.edge_list()) == [(1, 2), (2, 1)]


def test_edges_reach_rustworkx_in_one_batch_of_index_pairs(monkeypatch):
    calls = []

    class RecordingDiGraph(rx.PyDiGraph):
        def add_edges_from_no_data(self, pairs):
            calls.append(pairs)
            return super().add_edges_from_no_data(pairs)

        def add_edge(self, *args):  # pragma: no cover - must not be used
            raise AssertionError("edges must be added in one batch")

    fake_rx = types.SimpleNamespace(
        PyDiGraph=RecordingDiGraph,
        is_directed_acyclic_graph=rx.is_directed_acyclic_graph,
        topological_sort=rx.topological_sort,
        DAGHasCycle=rx.DAGHasCycle,
    )
    monkeypatch.setattr(dag_tools, "rx", fake_rx)
    graph = PlainGraph(nodes_of("INNO"), [("a", "b"), ("b", "c"), ("q", "c"), ("c", "d")])
    assert dag_tools.get_topological_order_from_graph(graph) == ["a", "b", "c", "d"]
    assert dag_tools.has_cycles(graph) is False
    assert len(calls) == 2
    # A replaced method gets the documented list of index pairs.
    for pairs in calls:
        assert type(pairs) is list and pairs == [(0, 1), (1, 2), (2, 3)]
        assert all(type(pair) is tuple for pair in pairs)


def test_validation_tests_for_cycles_on_its_own_index_graph(monkeypatch):
    # validate_graph checks every edge itself, so it needs no rustworkx graph.
    unusable = types.SimpleNamespace(PyDiGraph=None, is_directed_acyclic_graph=None)
    monkeypatch.setattr(dag_tools, "rx", unusable)
    graph = PlainGraph(nodes_of("INNO"), [("a", "b"), ("b", "c"), ("c", "d")])
    assert dag_tools.validate_graph(graph) is None
    graph.edges.append(("c", "b"))
    with pytest.raises(ValueError, match="Graph contains cycles. VANTLE IR graphs"):
        dag_tools.validate_graph(graph)


class OffersIndexGraph:
    """Keeps its own index graph; deliberately unlike its nodes and edges."""

    def __init__(self, nodes, edges, rx_graph, node_to_idx, idx_to_node):
        self.nodes, self.edges = nodes, edges
        self._rx_graph = rx_graph
        self._node_to_idx, self._idx_to_node = node_to_idx, idx_to_node
        self.fetches = 0

    def _get_rx_graph(self):
        self.fetches += 1
        return self._rx_graph


def offered_cycle():
    rx_graph = rx.PyDiGraph()
    rx_graph.add_nodes_from(["A", "B", "C"])
    rx_graph.add_edges_from_no_data([(0, 1), (1, 2), (2, 1)])
    return rx_graph


def test_an_offered_index_graph_is_returned_unchanged_and_unverified():
    rx_graph, to_idx, to_node = offered_cycle(), {"a": 0}, {0: "a"}
    graph = OffersIndexGraph(None, None, rx_graph, to_idx, to_node)
    result = dag_tools._get_or_build_rx_graph(graph)
    assert result[0] is rx_graph and result[1] is to_idx and result[2] is to_node
    assert graph.fetches == 1


def test_queries_use_the_offered_index_graph():
    to_idx = {"a": 0, "b": 1, "c": 2}
    to_node = {0: "A", 1: "B", 2: "C"}
    graph = OffersIndexGraph(nodes_of("INO"), [("a", "b")], offered_cycle(), to_idx, to_node)
    assert dag_tools.has_cycles(graph) is True
    with pytest.raises(ValueError, match="^Graph contains cycles$"):
        dag_tools.get_topological_order_from_graph(graph)
    graph._rx_graph = rx.PyDiGraph()
    graph._rx_graph.add_nodes_from([None] * 3)
    graph._rx_graph.add_edges_from_no_data([(2, 1), (0, 2)])
    assert dag_tools.get_topological_order_from_graph(graph) == ["A", "C", "B"]
    assert dag_tools.get_disconnected_nodes(graph) == set()
    graph._rx_graph.remove_edge(0, 2)
    assert dag_tools.get_disconnected_nodes(graph) == {"B", "C"}


def test_validation_fetches_the_offered_graph_for_each_test():
    rx_graph = rx.PyDiGraph()
    rx_graph.add_nodes_from([None] * 3)
    rx_graph.add_edges_from_no_data([(0, 1), (1, 2)])
    graph = OffersIndexGraph(
        nodes_of("INO"), [("a", "b"), ("b", "c")], rx_graph, {"a": 0, "b": 1, "c": 2}, {}
    )
    assert dag_tools.validate_graph(graph) is None
    assert graph.fetches == 2
    # Edge checks still read the graph's own edges; an edgeless graph never fetches.
    graph.edges = [("a", "b"), ("a", "b")]
    with pytest.raises(ValueError, match="Duplicate edge"):
        dag_tools.validate_graph(graph)
    graph.edges, graph.fetches = [], 0
    assert dag_tools.has_cycles(graph) is False and graph.fetches == 0


def test_an_input_missing_from_the_offered_index_raises_key_error():
    rx_graph = rx.PyDiGraph()
    rx_graph.add_nodes_from([None, None])
    rx_graph.add_edge(0, 1, None)
    graph = OffersIndexGraph(nodes_of("IO"), [("a", "b")], rx_graph, {"b": 1}, {0: "a", 1: "b"})
    with pytest.raises(KeyError, match="'a'"):
        dag_tools.get_disconnected_nodes(graph)


def test_offered_graphs_with_removed_nodes_count_indices_up_to_their_length():
    rx_graph = rx.PyDiGraph()
    rx_graph.add_nodes_from(["a", "gone", "b", "c"])
    rx_graph.remove_node(1)
    rx_graph.add_edge(0, 3, None)
    graph = OffersIndexGraph(
        nodes_of("INO"), [("a", "c")], rx_graph, {"a": 0, "b": 2, "c": 3}, {1: "gone", 2: "b"}
    )
    # Indices 0 .. len - 1 = 0, 1, 2 are counted: 0 is reached, 1 and 2 are not.
    assert dag_tools.get_disconnected_nodes(graph) == {"gone", "b"}


@pytest.mark.parametrize(
    "function",
    [
        dag_tools.has_cycles,
        dag_tools.get_disconnected_nodes,
        dag_tools.get_topological_order_from_graph,
    ],
)
def test_missing_graph_attributes_raise_attribute_error(function):
    class NodesOnly:
        nodes = nodes_of("IO")

    with pytest.raises(AttributeError, match="edges"):
        function(NodesOnly())
    with pytest.raises(AttributeError, match="nodes"):
        function(types.SimpleNamespace(edges=[("a", "b")]))
