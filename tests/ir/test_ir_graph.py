"""Graph: copied containers, inputs/outputs derived from the current nodes, equality."""

import vantle.ir as ir


def test_graph_copies_the_containers_it_is_given():
    nodes, edges = {"in": ir.Input()}, [("in", "out")]
    graph = ir.Graph(nodes=nodes, edges=edges)
    nodes["extra"] = ir.Output()
    edges.append(("x", "y"))
    assert list(graph.nodes) == ["in"] and graph.edges == [("in", "out")]
    assert graph.edges[0] is edges[0]
    assert ir.Graph().nodes == {} and ir.Graph().edges == []


def test_inputs_and_outputs_follow_later_edits_in_node_order():
    graph = ir.Graph(nodes={"b": ir.Input(), "relu": ir.ReLU(), "o": ir.Output()})
    graph.nodes["a"] = ir.Input()
    assert list(graph.inputs) == ["b", "a"] and list(graph.outputs) == ["o"]
    del graph.nodes["o"]
    graph.nodes["b"] = ir.Output()
    assert list(graph.inputs) == ["a"] and list(graph.outputs) == ["b"]


def test_equality_respects_node_order_and_treats_edge_lists_as_pairs():
    a, b = ir.Input(), ir.Output()
    forward = ir.Graph(nodes={"a": a, "b": b}, edges=[["a", "b"]])
    assert forward == ir.Graph(nodes={"a": ir.Input(), "b": ir.Output()}, edges=[("a", "b")])
    assert forward != ir.Graph(nodes={"b": b, "a": a}, edges=[("a", "b")])
    assert forward != ir.Graph(nodes={"a": a, "b": b}, edges=[("b", "a")])
    assert "inputs=['a']" in repr(forward)
