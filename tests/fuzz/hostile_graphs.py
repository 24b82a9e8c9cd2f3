"""Hostile in-memory IR graphs: valid graphs of every kind, then mutated fields and structure.

``hostile_graph(seed, index)`` is deterministic: the same pair always gives the same graph and
the same list of mutations (``Case.mutations``, short texts for a report). Mutations replace a
field with a value of the wrong type or range, reshape or retype an array, change a port shape,
or break the structure: cycles, self-loops, dangling and duplicate edges, edges that are no
pairs, missing inputs or outputs, odd node names, values that are no nodes.

Nothing here allocates much: a "huge" array is a zero-stride view claiming up to 10**12
elements over a single value, and a huge shape is just numbers in a field.
"""

from __future__ import annotations

import collections
import math
import random
import types
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import vantle.ir as ir
from valid_graphs import valid_graph


@dataclass
class Case:
    """One fuzzing input: the graph and what was done to it."""

    graph: ir.Graph
    mutations: list[str] = field(default_factory=list)


class Stranger(ir.Node):
    """A node kind no conversion knows."""

    _defaults = {"weight": None}


class AffineAndInput(ir.Affine, ir.Input):
    """A node of two kinds at once: instance tests decide which row it takes."""


HUGE = 10**12


def _huge_view(rng: random.Random, ndim: int) -> np.ndarray:
    """A read-only view claiming about 10**12 elements (or overflowing sizes) over one value."""
    ndim = max(ndim, 1)
    side = max(2, round(HUGE ** (1 / ndim)))
    shape = [side] * ndim
    base = np.zeros(1, np.float32)
    if rng.random() < 0.2:  # bytes, whose float32 copy would need more than 2**64 bytes
        base = np.zeros(1, np.uint8)
        shape[0] = 2**62 // side ** (ndim - 1)
    return np.lib.stride_tricks.as_strided(base, shape=shape, strides=(0,) * ndim,
                                           writeable=False)


def _scalars(rng: random.Random) -> list[Any]:
    """Values of every Python and NumPy scalar type, in and out of range."""
    return [
        None, "", "x", "3", b"3", 0, 1, -1, 7, 2**31, 2**63, -(2**63) - 1, 10**30, -(10**30),
        True, False, 0.0, -0.0, 0.5, 2.0, -2.5, math.nan, math.inf, -math.inf, 1e308, 5e-324,
        complex(1, 1), np.int64(-3), np.int8(3), np.uint64(2**64 - 1), np.float32(math.nan),
        np.float16(0.1), np.bool_(True), np.complex64(1), np.array(3), np.array(2.5),
        np.array([]), np.array([1, 2]), np.array([[1, 2]]), object(), Ellipsis,
        rng.randint(-10, 10),
    ]


def _containers(rng: random.Random) -> list[Any]:
    return [
        (), [], {}, set(), (1,), [2], (2, 2), [2, 2], (1, 2, 3), (0, 0), (-1, 1), (2.5, 2),
        ("a", "b"), ((1, 2), (3, 4)), [[1, 2], [3]], {"a": 1}, (None, None), (True, False),
        (10**12, 1), (2**63, 2**63), (math.nan, 1), range(3), (rng.randint(-3, 9),),
        tuple(rng.randint(0, 5) for _ in range(rng.randint(1, 4))),
    ]


def hostile_value(rng: random.Random) -> Any:
    """A value of any type, mostly wrong for whatever field it lands in."""
    return rng.choice(_scalars(rng) + _containers(rng) + ["same", "valid", "bilinear"])


def _retyped(rng: random.Random, array: np.ndarray) -> np.ndarray:
    values = np.resize(array, array.shape) if array.size else array
    dtype = rng.choice([object, np.complex128, np.bool_, np.int8, np.uint64, np.float16, "U3",
                        "S2", "M8[s]", "m8[s]", [("a", np.float32), ("b", np.int8)], ">f8"])
    try:
        return values.astype(dtype)
    except (TypeError, ValueError):
        return np.zeros(array.shape, dtype=dtype)


def _filled(rng: random.Random, array: np.ndarray) -> np.ndarray:
    out = np.array(array, dtype=np.float64)
    value = rng.choice([math.nan, math.inf, -math.inf, 0.0, -1.0, 1e38, 1e39, -1e300, 5e-324])
    if out.size and out.ndim <= 32 and rng.random() < 0.5:  # flat indexing stops at 32
        out.flat[rng.randrange(out.size)] = value
    else:
        out[...] = value
    return out


def _reshaped(rng: random.Random, array: np.ndarray) -> np.ndarray:
    choice = rng.randrange(6)
    if choice == 0:
        return array.reshape(-1)  # rank 1
    if choice == 1:
        return array[..., None]  # one more axis
    if choice == 2:
        return np.asarray(array.flat[0] if array.size else 0.0)  # 0-d
    if choice == 3:  # an axis of length 0
        shape = list(array.shape) or [1]
        shape[rng.randrange(len(shape))] = 0
        return np.zeros(shape, np.float32)
    if choice == 4:  # one axis longer or shorter
        shape = list(array.shape) or [1]
        axis = rng.randrange(len(shape))
        shape[axis] = max(1, shape[axis] + rng.choice((-1, 1, 5)))
        return np.ones(shape, np.float32)
    return np.zeros((1,) * rng.randint(5, 33), np.float32)  # many axes


def hostile_array(rng: random.Random, array: Any) -> Any:
    """An array of the wrong rank, size, dtype or values, a huge view, or no array at all."""
    if not isinstance(array, np.ndarray) or array.size > 10**6:  # none, or a huge view
        array = np.ones((2, 2), np.float32)
    choice = rng.randrange(10)
    if choice <= 2:
        return _reshaped(rng, array)
    if choice == 3:
        return _retyped(rng, array)
    if choice == 4:
        return _filled(rng, array)
    if choice == 5:
        return _huge_view(rng, array.ndim)
    if choice == 6:  # other array-likes and views
        return rng.choice([
            array.tolist, lambda: tuple(array.reshape(-1).tolist()),
            lambda: np.ma.masked_array(array), lambda: np.asmatrix(array.reshape(1, -1)),
            lambda: array.T, lambda: np.flip(array),
            lambda: memoryview(np.ascontiguousarray(array)),
        ])()
    if choice == 7:
        import torch

        return torch.ones(array.shape) if array.dtype.kind not in "biuf" else torch.as_tensor(
            np.array(array, dtype=np.float32))
    return hostile_value(rng)


def hostile_number(rng: random.Random, value: Any) -> Any:
    """Numbers out of range or of the wrong type, for counts, strides, thresholds, eps..."""
    finite = isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(
        value) and abs(value) < 2**62
    near = value if finite else 1
    return rng.choice([
        0, -1, -near, near + 1, near * 1000, 10**9, 2**63, -(2**63), 10**40, 0.5, near + 0.5,
        float(near), math.nan, math.inf, -math.inf, 1e-300, True, False, None, str(near),
        np.int64(near), np.float64(near), np.array(near), np.array([near, near]), [near],
        complex(near, 0),
    ])


def _mutate_field(rng: random.Random, graph: ir.Graph) -> str:
    name = rng.choice(list(graph.nodes))
    node = graph.nodes[name]
    fields = list(type(node).fields()) + ["input_type", "output_type"]
    chosen = rng.choice(fields)
    old = getattr(node, chosen, None)
    kind = rng.random()
    if kind < 0.08:
        try:
            delattr(node, chosen)
        except AttributeError:
            pass
        return f"del {name}.{chosen}"
    if chosen in ("input_type", "output_type"):
        new = _hostile_port(rng, old)
    elif isinstance(old, np.ndarray) and kind < 0.85:
        new = hostile_array(rng, old)
    elif isinstance(old, (int, float, np.number)) and kind < 0.8:
        new = hostile_number(rng, old)
    elif isinstance(old, tuple) and kind < 0.8:
        new = rng.choice(_containers(rng) + [list(old), old + old, old[:1], np.array(old, object),
                                             (0,) + old[1:], (None,) * len(old)])
    elif kind < 0.25:
        new = hostile_array(rng, old)
    else:
        new = hostile_value(rng)
    setattr(node, chosen, new)
    return f"{name}.{chosen} = {_brief(new)}"


def _hostile_port(rng: random.Random, old: Any) -> Any:
    shape = next(iter(old.values()), None) if isinstance(old, dict) and old else None
    if not isinstance(shape, np.ndarray) or shape.ndim != 1 or shape.dtype.kind not in "iu" \
            or shape.size > 64:
        shape = np.array([2])
    return rng.choice([
        None, {}, [], "input", {"input": None}, {"input": "3"}, {"input": [3, 4]},
        {"input": np.array([10**6, 10**6])}, {"input": np.array([-1, 3])},
        {"input": np.array([2.5, 3.0])}, {"input": np.array([[2, 3]])},
        {"input": np.array([], np.int64)}, {"input": np.array([2**62, 2**62])},
        {"input": np.array([0, 3])}, {"input": np.array(["a"])}, {"input": np.array([1] * 40)},
        {"input": shape + 1}, {"input": shape[:-1]}, {"input": shape, "other": shape},
        {"output": shape}, {"input": hostile_value(rng)},
        {"input": np.broadcast_to(np.int64(1), (10**9,))},
    ])


def _brief(value: Any) -> str:
    if isinstance(value, np.ndarray):
        return f"array(shape={value.shape}, dtype={value.dtype})"
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


# --- structure ---------------------------------------------------------------------------------


def _names(graph: ir.Graph) -> list[Any]:
    return list(graph.nodes)


def _some_node(rng: random.Random, graph: ir.Graph) -> Any:
    """A node name drawn from ``graph``; None when it has no nodes."""
    names = _names(graph)
    return rng.choice(names) if names else None


def _self_loop(rng: random.Random, graph: ir.Graph) -> str:
    name = rng.choice(_names(graph))
    graph.edges.append((name, name))
    return f"self-loop {name!r}"


def _cycle(rng: random.Random, graph: ir.Graph) -> str:
    if not graph.edges:
        return _self_loop(rng, graph)
    source, destination = rng.choice(graph.edges)
    graph.edges.append((destination, source))
    return f"back edge {destination!r} -> {source!r}"


def _dangling(rng: random.Random, graph: ir.Graph) -> str:
    name = rng.choice(_names(graph) or ["x"])
    edge = rng.choice([(name, "missing"), ("missing", name), ("ghost1", "ghost2")])
    graph.edges.insert(rng.randint(0, len(graph.edges)), edge)
    return f"dangling edge {edge!r}"


def _duplicate(rng: random.Random, graph: ir.Graph) -> str:
    if not graph.edges:
        return _dangling(rng, graph)
    edge = rng.choice(graph.edges)
    graph.edges.append(list(edge) if rng.random() < 0.5 else edge)
    return f"duplicate edge {edge!r}"


def _drop_edge(rng: random.Random, graph: ir.Graph) -> str:
    if not graph.edges:
        return "no edge to drop"
    edge = graph.edges.pop(rng.randrange(len(graph.edges)))
    return f"dropped edge {edge!r}"


def _reverse_edge(rng: random.Random, graph: ir.Graph) -> str:
    if not graph.edges:
        return "no edge to reverse"
    i = rng.randrange(len(graph.edges))
    source, destination = graph.edges[i]
    graph.edges[i] = (destination, source)
    return f"reversed edge {i}"


def _bad_edge(rng: random.Random, graph: ir.Graph) -> str:
    names = _names(graph) or ["x"]
    a, b = rng.choice(names), rng.choice(names)
    edge = rng.choice([(a,), (a, b, a), a, None, 7, {a: b}, {a, b}, (a, None), (0, b), (a, 1.5),
                       (b"in", a), ((a,), b), [a, [b]], "ab", (a, b.encode() if isinstance(
                           b, str) else b)])
    graph.edges.insert(rng.randint(0, len(graph.edges)), edge)
    return f"bad edge {_brief(edge)}"


def _edges_container(rng: random.Random, graph: ir.Graph) -> str:
    edges = graph.edges
    graph.edges = rng.choice([tuple(edges), None, iter(edges), set(map(tuple, edges)), {},
                              "edges", [list(e) for e in edges], 3])
    return f"edges as {type(graph.edges).__name__}"


def _drop_kind(rng: random.Random, graph: ir.Graph) -> str:
    kind = rng.choice((ir.Input, ir.Output))
    for name in [n for n, node in graph.nodes.items() if isinstance(node, kind)]:
        del graph.nodes[name]
    return f"no {kind.__name__} nodes"


def _empty(rng: random.Random, graph: ir.Graph) -> str:
    graph.nodes.clear()
    if rng.random() < 0.5:
        graph.edges.clear()
    return "no nodes"


def _odd_name(rng: random.Random, graph: ir.Graph) -> str:
    old = _some_node(rng, graph)
    if old is None:
        return "no node to rename"
    new = rng.choice(["", ".", "a.b", "a_b", "__init__", "forward", "training", "_modules",
                      "edges", "_states", "\x00", "\ud800", "é" * 300, 0, None, ("t",), 1.5,
                      old + ".x", old.replace(".", "_") if isinstance(old, str) else "x"])
    if new in graph.nodes:
        return f"name {new!r} taken"
    graph.nodes = {new if n == old else n: node for n, node in graph.nodes.items()}
    graph.edges = [tuple(new if end == old else end for end in e) if isinstance(e, tuple) else e
                   for e in graph.edges]
    return f"renamed {old!r} -> {new!r}"


def _not_a_node(rng: random.Random, graph: ir.Graph) -> str:
    name = _some_node(rng, graph)
    if name is None:
        return "no node to replace"
    graph.nodes[name] = rng.choice([None, 3, "Affine", {"weight": 1}, ir.Affine, object(),
                                    Stranger(weight=np.ones(2)), AffineAndInput(),
                                    AffineAndInput(weight=np.ones((2, 2)), bias=np.ones(2))])
    return f"{name!r} is {type(graph.nodes[name]).__name__}"


def _extra_node(rng: random.Random, graph: ir.Graph) -> str:
    kind = rng.choice(list(ir.NODE_CLASSES.values()))
    graph.nodes[f"extra.{kind.kind}"] = kind()
    if rng.random() < 0.5 and graph.nodes:
        graph.edges.append((rng.choice(_names(graph)), f"extra.{kind.kind}"))
    return f"default {kind.kind}"


def _shared_node(rng: random.Random, graph: ir.Graph) -> str:
    name = _some_node(rng, graph)
    if name is None:
        return "no node to share"
    graph.nodes["shared"] = graph.nodes[name]
    graph.edges.append((name, "shared"))
    return f"node object of {name!r} also under 'shared'"


def _other_mapping(rng: random.Random, graph: ir.Graph) -> str:
    graph.nodes = rng.choice([collections.OrderedDict, types.MappingProxyType])(graph.nodes)
    return f"nodes as {type(graph.nodes).__name__}"


STRUCTURE: list[Callable[[random.Random, ir.Graph], str]] = [
    _self_loop, _cycle, _dangling, _duplicate, _drop_edge, _reverse_edge, _bad_edge,
    _edges_container, _drop_kind, _empty, _odd_name, _not_a_node, _extra_node, _shared_node,
    _other_mapping,
]


def hostile_graph(seed: int, index: int) -> Case:
    """Input ``index`` of the run with ``seed``: a valid graph with 0 to 4 mutations.

    About one input in ten stays valid (the baseline must run); most get one to three field
    mutations, a third also a structural one.
    """
    rng = random.Random(f"{seed}:{index}")
    case = Case(valid_graph(rng))
    if rng.random() < 0.1:
        return case
    for _ in range(rng.choice((1, 1, 1, 2, 2, 3))):
        case.mutations.append(_mutate_field(rng, case.graph) if case.graph.nodes else "empty")
    if rng.random() < 0.35:
        case.mutations.append(rng.choice(STRUCTURE)(rng, case.graph))
    return case
