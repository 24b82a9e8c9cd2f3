"""Writing and reading .vx2 files: every kind and value form comes back exactly."""

import math
import os
import pathlib
from collections import namedtuple

import numpy as np
import pytest
import safetensors.numpy

import vantle.ir as ir

# Value forms the format must keep; field i of kind k gets VALUES[(i + k) % len(VALUES)], so
# every form lands on many kinds and fields.
VALUES = [
    np.arange(6, dtype=np.float32).reshape(2, 3),
    np.array([3, 64, 64], dtype=np.int64),
    np.array(2.5, dtype=np.float16),
    np.zeros((0, 4), dtype=np.int32),
    np.array([True, False, True]),
    np.arange(12, dtype=np.uint8).reshape(3, 4).T,  # non-contiguous
    np.arange(5, dtype=">f8") / 3,  # big-endian
    (3, 3),
    [1, 2],
    None,
    True,
    7,
    -(2**70),
    0.5,
    math.nan,
    -math.inf,
    "bilinear",
    "",
    np.int64(5),
    np.float32(1.5),
    np.bool_(True),
    np.uint16(65535),
    {"a": [np.arange(3, dtype=np.int16), (1, None)], "b": {}},
    ((), [], (np.float64(np.nan),)),
]


def assert_same(read_back, original):
    """Exact equality: same types throughout, arrays by dtype, shape and values."""
    if isinstance(original, np.ndarray):
        assert type(read_back) is np.ndarray
        assert read_back.dtype == original.dtype.newbyteorder("=")
        assert read_back.shape == original.shape
        assert np.array_equal(read_back, original, equal_nan=original.dtype.kind == "f")
        assert read_back.flags.writeable and read_back.flags.owndata
        return
    assert type(read_back) is type(original)
    if isinstance(original, dict):
        assert list(read_back) == list(original)
        for key in original:
            assert_same(read_back[key], original[key])
    elif isinstance(original, (list, tuple)):
        assert len(read_back) == len(original)
        for got, want in zip(read_back, original):
            assert_same(got, want)
    elif isinstance(original, (float, np.floating)) and math.isnan(original):
        assert math.isnan(read_back)
    else:
        assert read_back == original


def every_kind_graph():
    nodes = {}
    for k, (kind, cls) in enumerate(ir.NODE_CLASSES.items()):
        values = {f: VALUES[(i + k) % len(VALUES)] for i, f in enumerate(cls.fields())}
        shape = np.array([k + 1, 8], dtype=np.int64)
        node = cls(**values, input_type={"input": shape}, output_type={"output": shape[::-1]})
        while True:  # the reader refuses arrays whose shape the kind does not allow
            try:
                ir.check_node_shapes(kind, node)
                break
            except ir.ShapeError as err:
                setattr(node, err.field, None)
        nodes[f"n{k}/{kind}"] = node
    names = list(nodes)
    return ir.Graph(nodes=nodes, edges=[(a, b) for a, b in zip(names, names[1:])] + [["x", "y"]])


def test_every_kind_and_value_form_round_trips(tmp_path):
    graph = every_kind_graph()
    ir.write(tmp_path / "all.vx2", graph, check=False)  # any value, as the format stores it
    back = ir.read(str(tmp_path / "all.vx2"))
    assert back == graph and list(back.nodes) == list(graph.nodes)
    for name, node in graph.nodes.items():
        for field in node.fields() + ("input_type", "output_type"):
            assert_same(getattr(back.nodes[name], field), getattr(node, field))
    assert back.edges == [tuple(edge) for edge in graph.edges]
    assert all(type(edge) is tuple for edge in back.edges)


def test_arrays_read_back_are_independent(tmp_path):
    shape = np.array([3, 4])
    graph = ir.Graph(nodes={"a": ir.Input(input_type={"input": shape}),
                            "b": ir.Output(output_type={"output": shape})})
    ir.write(tmp_path / "g.vx2", graph)
    back = ir.read(tmp_path / "g.vx2")
    first, second = back.nodes["a"].input_type["input"], back.nodes["b"].output_type["output"]
    first[0] = 99
    assert second[0] == 3 and not np.shares_memory(first, second)


def test_odd_node_names_keep_their_arrays_apart(tmp_path):
    graph = ir.Graph(nodes={
        "p": ir.Affine(input_type={"weight": np.array([1.0])}),
        "p/input_type": ir.Affine(weight=np.array([[2.0]])),
        "p\ud800": ir.Affine(weight=np.array([[3.0]])),
        "p\\ud800": ir.Affine(weight=np.array([[4.0]])),
    })
    ir.write(tmp_path / "g.vx2", graph, check=False)
    assert ir.read(tmp_path / "g.vx2") == graph


def test_file_is_a_plain_safetensors_container(tmp_path):
    weight = np.ones((2, 3), np.float32)
    ir.write(tmp_path / "g.vx2", ir.Graph(nodes={"fc": ir.Affine(weight=weight)}), check=False)
    tensors = safetensors.numpy.load((tmp_path / "g.vx2").read_bytes())
    assert np.array_equal(tensors["fc/weight"], weight)


def test_empty_graph_round_trips(tmp_path):
    ir.write(tmp_path / "e.vx2", ir.Graph())
    assert ir.read(tmp_path / "e.vx2") == ir.Graph()


class Odd:
    pass


@pytest.mark.parametrize(
    "value, words",
    [
        (np.array([object()]), "dtype object"),
        (np.zeros(2, np.complex64), "complex64"),
        (1j, "complex"),
        ({1, 2}, "set"),
        (Odd(), "Odd"),
        (np.str_("x"), "scalar"),
        ({3: "x"}, "dict key 3"),
        (namedtuple("Pair", "a b")(1, 2), "Pair"),
        (np.ma.masked_array([1.0]), "MaskedArray"),
    ],
)
def test_unsupported_value_fails_and_keeps_earlier_file(tmp_path, value, words):
    target = tmp_path / "model.vx2"
    ir.write(target, ir.Graph(nodes={"in": ir.Input()}))
    before = target.read_bytes()
    graph = ir.Graph(nodes={"in": ir.Input(), "bad": ir.ReLU(features=[1, value])})
    with pytest.raises(ValueError, match="node 'bad' field 'features'") as info:
        ir.write(target, graph)
    assert words in str(info.value)
    assert target.read_bytes() == before and os.listdir(tmp_path) == ["model.vx2"]


def test_self_containing_value_is_refused(tmp_path):
    loop = [1]
    loop.append(loop)
    with pytest.raises(ValueError, match="contains itself"):
        ir.write(tmp_path / "g.vx2", ir.Graph(nodes={"n": ir.Dropout(p=loop)}))


@pytest.mark.parametrize("failing", ["fsync", "replace"])
def test_failure_while_writing_leaves_no_trace(tmp_path, monkeypatch, failing):
    target = tmp_path / "model.vx2"
    ir.write(target, ir.Graph(nodes={"in": ir.Input()}))
    before = target.read_bytes()

    def fail(*args):
        raise OSError("disk full")

    monkeypatch.setattr(os, failing, fail)
    with pytest.raises(OSError, match="disk full"):
        ir.write(target, ir.Graph(nodes={"out": ir.Output()}))
    monkeypatch.undo()
    assert target.read_bytes() == before and os.listdir(tmp_path) == ["model.vx2"]


def graph_with(**attributes):
    graph = ir.Graph()
    vars(graph).update(attributes)
    return graph


@pytest.mark.parametrize(
    "graph, error, words",
    [
        ({"nodes": {}}, TypeError, "ir.Graph"),
        (ir.Graph(nodes={3: ir.Input()}), ValueError, "node name 3"),
        (ir.Graph(nodes={"a": "Input"}), ValueError, "node 'a'"),
        (ir.Graph(edges=[("a", "b", "c")]), ValueError, "edge 0"),
        (ir.Graph(edges=[("a", "b"), ("a", 1)]), ValueError, "edge 1"),
        (ir.Graph(edges="ab"), ValueError, "edge 0"),
        (graph_with(edges={"a": "b"}), ValueError, "edges is a dict"),
        (graph_with(nodes=[("a", ir.Input())]), ValueError, "nodes is a list"),
    ],
)
def test_malformed_graph_is_refused(tmp_path, graph, error, words):
    with pytest.raises(error, match=words):
        ir.write(tmp_path / "g.vx2", graph)
    assert os.listdir(tmp_path) == []


def test_foreign_node_subclass_is_refused(tmp_path):
    class MyConv(ir.Conv2d):
        pass

    with pytest.raises(ValueError, match="MyConv"):
        ir.write(tmp_path / "g.vx2", ir.Graph(nodes={"c": MyConv()}))


def test_paths_may_be_pathlike(tmp_path):
    class Where(os.PathLike):
        def __fspath__(self):
            return str(tmp_path / "p.vx2")

    graph = ir.Graph(nodes={"in": ir.Input()}, edges=[])
    ir.write(Where(), graph)
    assert ir.read(pathlib.Path(tmp_path, "p.vx2")) == graph
    with pytest.raises(FileNotFoundError):
        ir.read(tmp_path / "missing.vx2")
