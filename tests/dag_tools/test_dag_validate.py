"""validate_graph: each rule's message, and which rule wins when several are broken."""

import pytest
from dag_graphs import PlainGraph, nodes_of

import vantle.ir as ir
from vantle.bridge import dag_tools

DUPLICATE_AB = "Duplicate edge detected: 'a' -> 'b'"
DUPLICATE_BC = "Duplicate edge detected: 'b' -> 'c'"
CYCLE = "Graph contains cycles. VANTLE IR graphs must be acyclic (DAG)."


def disconnected(names: str) -> str:
    return (
        f"Graph contains disconnected nodes: {names}. "
        "All nodes must be reachable from input nodes."
    )


def message_of(graph) -> str:
    with pytest.raises(ValueError) as raised:
        dag_tools.validate_graph(graph)
    return str(raised.value)


@pytest.mark.parametrize(
    "kinds, edges, message",
    [
        ("", [], "Graph cannot be empty (no nodes)"),
        ("", [("x", "y")], "Graph cannot be empty (no nodes)"),
        ("INO", [("a", "b"), ("x", "c")], "Edge references unknown source node: x"),
        ("INO", [("a", "b"), ("b", "y")], "Edge references unknown destination node: y"),
        ("INO", [("x", "y")], "Edge references unknown source node: x"),
        ("INO", [("a", "b"), ("b", "b")], "Self-loop detected: 'b' -> 'b'"),
        ("INO", [("a", "b"), ("b", "c"), ("a", "b")], "Duplicate edge detected: 'a' -> 'b'"),
        # The first bad edge decides, whatever rule a later edge breaks.
        ("INO", [("a", "x"), ("b", "b")], "Edge references unknown destination node: x"),
        ("INO", [("a", "b"), ("a", "b"), ("z", "c")], "Duplicate edge detected: 'a' -> 'b'"),
        ("INO", [("a", "b"), ("a", "b"), ("c", "c")], "Duplicate edge detected: 'a' -> 'b'"),
        ("INO", [("c", "c"), ("a", "b"), ("a", "b")], "Self-loop detected: 'c' -> 'c'"),
        ("INO", [("a", "b"), ("b", "c"), ("a", "b"), ("b", "c")], DUPLICATE_AB),
        ("INO", [("b", "c"), ("a", "b"), ("b", "c"), ("a", "b")], DUPLICATE_BC),
        # Edge checks come before the node-kind checks.
        ("NN", [("a", "b"), ("a", "b")], "Duplicate edge detected: 'a' -> 'b'"),
        ("N", [], "Graph has no Input nodes"),
        ("NO", [("a", "b")], "Graph has no Input nodes"),
        ("NN", [], "Graph has no Input nodes"),
        ("IN", [("a", "b")], "Graph has no Output nodes"),
        ("IO", [], "Graph has 2 nodes but no edges. Graph must be connected."),
        ("INNO", [], "Graph has 4 nodes but no edges. Graph must be connected."),
        ("INO", [("a", "b"), ("b", "a"), ("b", "c")], CYCLE),
        ("INO", [("a", "b"), ("b", "c"), ("c", "b")], CYCLE),
        ("INO", [("a", "b")], disconnected("{'c'}")),
        # Edges are followed forwards only: c points into the input but is not reached.
        ("INO", [("c", "a"), ("a", "b")], disconnected("{'c'}")),
        # A cycle outside the reachable part is still reported as a cycle first.
        ("INNNO", [("a", "e"), ("b", "c"), ("c", "d"), ("d", "b")], CYCLE),
    ],
)
def test_first_broken_rule_decides_the_message(make_graph, kinds, edges, message):
    assert message_of(make_graph(kinds, edges)) == message


@pytest.mark.parametrize(
    "kinds, edges",
    [
        ("INO", [("a", "b"), ("b", "c")]),
        ("IINO", [("a", "c"), ("b", "c"), ("c", "d")]),
        ("INNO", [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")]),
        ("INO", [["a", "b"], ("b", "c")]),
    ],
)
def test_well_formed_graphs_pass(make_graph, kinds, edges):
    assert dag_tools.validate_graph(make_graph(kinds, edges)) is None


class InputAndOutput(ir.Input, ir.Output):
    pass


def test_a_single_node_without_edges_is_valid_once_it_is_input_and_output():
    assert message_of(PlainGraph({"a": ir.Output()}, [])) == "Graph has no Input nodes"
    assert message_of(PlainGraph({"a": ir.Input()}, [])) == "Graph has no Output nodes"
    assert dag_tools.validate_graph(PlainGraph({"a": InputAndOutput()}, [])) is None


def test_several_disconnected_nodes_are_listed_as_a_set():
    graph = PlainGraph(nodes_of("INNNO"), [("a", "e"), ("c", "d")])
    message = message_of(graph)
    assert message == disconnected(str(dag_tools.get_disconnected_nodes(graph)))
    assert dag_tools.get_disconnected_nodes(graph) == {"b", "c", "d"}


@pytest.mark.parametrize(
    "names, edges, message",
    [
        ([1, 2, 3], [(1, 2), (2, 7)], "Edge references unknown destination node: 7"),
        ([1, 2, 3], [(1, 2), (2, 2)], "Self-loop detected: '2' -> '2'"),
        ([1, 2, 3], [(1, 2), (1, 2)], "Duplicate edge detected: '1' -> '2'"),
        (
            ["a", (1, 2), "c"],
            [("a", (1, 2)), ((1, 2), "c"), ((1, 2), "c")],
            "Duplicate edge detected: '(1, 2)' -> 'c'",
        ),
        ([1, 2, 3], [(1, 2)], disconnected("{3}")),
        ([1.5, 2, 3], [(1.5, 2), (None, 2)], "Edge references unknown source node: None"),
    ],
)
def test_names_that_are_not_strings_appear_in_their_string_form(names, edges, message):
    assert message_of(PlainGraph(nodes_of("INO", names), edges)) == message


def test_an_edge_is_matched_by_equality_and_reported_as_written():
    # 1.0 == 1 and True == 1 name the same node; the message shows the edge's own values.
    graph = PlainGraph(nodes_of("INO", [1, 2, 3]), [(1.0, 2), (True, 2.0)])
    assert message_of(graph) == "Duplicate edge detected: 'True' -> '2.0'"
    graph.edges = [(1.0, 2), (2.0, 2)]
    assert message_of(graph) == "Self-loop detected: '2.0' -> '2'"


def test_unhashable_and_unpackable_edges_raise_the_interpreters_errors():
    graph = PlainGraph(nodes_of("INO"), [("a", "b"), (["a"], "c")])
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        dag_tools.validate_graph(graph)
    # ... but an earlier repeated edge is still reported first.
    graph.edges = [("a", "b"), ("a", "b"), (["a"], "c")]
    assert message_of(graph) == "Duplicate edge detected: 'a' -> 'b'"
    graph.edges = [("a", "b"), ("b", "c", "d")]
    with pytest.raises(ValueError, match="too many values to unpack"):
        dag_tools.validate_graph(graph)
    graph.edges = [("a", "b"), ("a", "b"), 5]
    assert message_of(graph) == "Duplicate edge detected: 'a' -> 'b'"


def test_edges_may_be_any_iterable_of_pairs():
    nodes = nodes_of("INO")
    assert dag_tools.validate_graph(PlainGraph(nodes, (("a", "b"), "bc"))) is None
    assert message_of(PlainGraph(nodes, iter([("a", "b"), ["a", "b"]]))) == (
        "Duplicate edge detected: 'a' -> 'b'"
    )


class OnlyNodesAndEdges:
    def __init__(self, nodes, *edges):
        self.nodes = nodes
        if edges:
            self.edges = edges[0]


def test_missing_attributes_fail_when_first_read():
    assert message_of(OnlyNodesAndEdges({})) == "Graph cannot be empty (no nodes)"
    with pytest.raises(AttributeError, match="edges"):
        dag_tools.validate_graph(OnlyNodesAndEdges(nodes_of("IO")))
    with pytest.raises(AttributeError, match="nodes"):
        dag_tools.validate_graph(None)
    # inputs and outputs are never read by validation.
    assert dag_tools.validate_graph(OnlyNodesAndEdges(nodes_of("IO"), [("a", "b")])) is None


def fresh(text: str) -> str:
    """An equal string that is a different object, as reading a file gives."""
    copy = "".join(list(text))
    assert copy == text and copy is not text
    return copy


def test_edge_names_need_not_be_the_node_key_objects():
    graph = PlainGraph(nodes_of("INO", ["in", "mid", "out"]), [])
    graph.edges = [(fresh("in"), fresh("mid")), (fresh("mid"), "out")]
    assert dag_tools.validate_graph(graph) is None
    graph.edges.append(("mid", fresh("mid")))
    assert message_of(graph) == "Self-loop detected: 'mid' -> 'mid'"
    graph.edges[-1] = ("in", fresh("mid"))
    assert message_of(graph) == "Duplicate edge detected: 'in' -> 'mid'"


def test_a_graph_read_back_from_a_file_validates(tmp_path):
    graph = ir.Graph(nodes=nodes_of("INNO"), edges=[("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")])
    ir.write(str(tmp_path / "model.vx2"), graph)
    read_back = ir.read(str(tmp_path / "model.vx2"))
    assert dag_tools.validate_graph(read_back) is None
    order = dag_tools.get_topological_order_from_graph(read_back)
    assert order[0] == "a" and order[-1] == "d"
    read_back.edges.append(("d", "a"))
    assert message_of(read_back) == CYCLE


class OwnOutput(ir.Output):
    """A subclass counts as its base."""


class PosingAsOutput:
    """Not a node class at all, but isinstance believes its __class__."""

    @property
    def __class__(self):
        return ir.Output


class SometimesInput:
    """Its __class__ differs per instance, so no answer may be kept per type."""

    def __init__(self, is_input: bool) -> None:
        self.is_input = is_input

    @property
    def __class__(self):
        return ir.Input if self.is_input else SometimesInput


def test_node_kinds_are_decided_as_isinstance_decides_them():
    # Many node types in turn, so answers kept per type are checked across types.
    chain = ["a", "b", "c", "d", "e", "f"]
    bodies = [ir.ReLU(), ir.Flatten(), ir.ReLU(), ir.Flatten()]
    edges = list(zip(chain, chain[1:]))
    for output in (OwnOutput(), PosingAsOutput()):
        nodes = dict(zip(chain, [ir.Input(), *bodies, output]))
        assert dag_tools.validate_graph(PlainGraph(nodes, edges)) is None
    nodes = dict(zip(chain, [SometimesInput(False), *bodies, ir.Output()]))
    assert message_of(PlainGraph(nodes, edges)) == "Graph has no Input nodes"
    nodes["a"] = SometimesInput(True)
    assert dag_tools.validate_graph(PlainGraph(nodes, edges)) is None
    # The same type answers differently per instance in the reachability search too.
    nodes["c"] = SometimesInput(False)
    nodes["d"] = SometimesInput(True)
    graph = PlainGraph(nodes, [("a", "b"), ("d", "e"), ("e", "f")])
    assert dag_tools.get_disconnected_nodes(graph) == {"c"}
