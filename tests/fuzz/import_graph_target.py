"""What fuzzing ``import_ir``, ``GraphExecutor`` and ``dag_tools`` on hostile graphs checks.

``check(graph)`` runs one graph through every stage a user's script would: ``import_ir``, the
graph tools (validation, cycle test, reachability, both topological orders), the executor's
construction, one step on a random input of the declared input shape, and, in evaluation mode,
three steps against one ``run`` over the same three-step sequence. It returns the stages'
outcomes as labels ("imported", "refused import ValueError", ...) for the counts, and raises
``Finding`` for anything that is not a run or a clear refusal.

The rules for a clear refusal:

- Only the types in ``CLEAR`` (ValueError, TypeError and their subclasses, which include the IR
  library's ShapeError); at run time also torch's RuntimeError and NotImplementedError (a layer
  refusing the tensor it got) and its IndexError "Dimension out of range". Everything else
  (AttributeError, KeyError, IndexError, ZeroDivisionError, OverflowError, MemoryError,
  SystemError, ...) is a finding, but for three refusals that keep the interpreter's types: a
  bias of None in the kinds that always load one fails with the documented AttributeError
  "'NoneType' object has no attribute 'astype'", a node missing a field fails with the
  AttributeError of the attribute read, and an array whose float32 copy cannot be allocated (a
  zero-stride view claiming 10**12 values) fails with NumPy's MemoryError "Unable to allocate
  ..." before allocating anything; each must name the node and the field (in a note).
- An import error must name the node that failed (its name in the message or in a note).
- A run error must name a node of the graph, for torch's errors through the note the executor
  adds.
- No text of an untranslated C++ exception ("std::bad_cast", ...), at any stage.
- Graph tools and the executor must agree: a graph the tools find cyclic has no executor, a
  topological order holds every node once and keeps every edge, and stepping and ``run`` give
  the same outputs.
"""

from __future__ import annotations

import math
import operator
import re
from collections.abc import Mapping, Sequence
from typing import Any, Optional

import torch

import vantle.ir as ir
from vantle.bridge import dag_tools
from vantle.bridge.executor import GraphExecutor
from vantle.bridge.import_ir import import_ir, node_to_module

CLEAR: tuple[type[BaseException], ...] = (ValueError, TypeError)
CLEAR_AT_RUN: tuple[type[BaseException], ...] = CLEAR + (RuntimeError, NotImplementedError)
# Declared inputs above this many elements are not run (the CLI bounds its own inputs).
MAX_INPUT_ELEMENTS = 10**6
STEPS = 3


class Finding(AssertionError):
    """An outcome that is neither a run nor a clear refusal."""


def text_of(error: BaseException) -> str:
    """The message and the notes of ``error``, as a traceback shows them."""
    return "\n".join([str(error), *getattr(error, "__notes__", ())])


def _named(name: Any, text: str) -> bool:
    return repr(name) in text or f"'{name}'" in text


# Texts of C++ exceptions that escaped untranslated (nanobind turns them into RuntimeError or
# SystemError): never a clear refusal, whatever the type.
_ESCAPED_CPP = re.compile(r"std::|bad_cast|bad_alloc|basic_string|nanobind|Unable to cast")


def _check_not_escaped(stage: str, error: BaseException) -> None:
    if isinstance(error, SystemError) or _ESCAPED_CPP.search(str(error)):
        raise Finding(f"{stage}: a C++ exception escaped: {type(error).__name__}: "
                      f"{text_of(error)}") from error


def _documented_attribute_error(graph: Any, error: BaseException) -> bool:
    """A bias of None (the note names the field) or a field the node lacks (the message does)."""
    message = str(error)
    if message == "'NoneType' object has no attribute 'astype'":
        return "in field '" in text_of(error)
    missing = re.fullmatch(r"'(\w+)' object has no attribute '(\w+)'", message)
    return missing is not None and any(type(node).__name__ == missing.group(1)
                                       for node in graph.nodes.values())


def _failing_node(graph: Any) -> Optional[Any]:
    """The name of the first node whose checks or conversion alone raise (None if none do)."""
    for name, node in graph.nodes.items():
        try:
            ir.check_node_types(name, node)
            ir.check_node_shapes(name, node)
            node_to_module(node)
        except Exception:
            return name
    return None


def _refused_copy(error: BaseException) -> bool:
    """NumPy refusing to allocate the float32 copy of a (zero-stride, huge) array field."""
    return str(error).startswith("Unable to allocate") and "in field '" in text_of(error)


def _check_import_error(graph: Any, error: Exception) -> str:
    _check_not_escaped("import", error)
    text = text_of(error)
    if not isinstance(error, CLEAR) and not (
            isinstance(error, AttributeError) and _documented_attribute_error(graph, error)) \
            and not (isinstance(error, MemoryError) and _refused_copy(error)):
        raise Finding(f"import raised {type(error).__name__}: {text}") from error
    name = _failing_node(graph)
    if name is not None and not _named(name, text):
        raise Finding(f"import error does not name node {name!r}: "
                      f"{type(error).__name__}: {text}") from error
    return f"refused import {type(error).__name__}"


def _check_run_error(stage: str, graph: Any, error: Exception) -> str:
    _check_not_escaped(stage, error)
    text = text_of(error)
    clear = isinstance(error, CLEAR_AT_RUN) or (
        isinstance(error, IndexError) and str(error).startswith("Dimension out of range"))
    if not clear:
        raise Finding(f"{stage} raised {type(error).__name__}: {text}") from error
    if not any(_named(name, text) for name in _all_names(graph)):
        raise Finding(f"{stage} error names no node: {type(error).__name__}: {text}") from error
    return f"refused {stage} {type(error).__name__}"


def _all_names(graph: Any) -> list[Any]:
    """The graph's node names and the names its edges give (the executor runs both)."""
    names = list(graph.nodes)
    for edge in _edge_pairs(graph) or []:
        names.extend(edge)
    return names


def _edge_pairs(graph: Any) -> Optional[list[tuple[Any, Any]]]:
    edges = getattr(graph, "edges", None)
    if type(edges) is not list:
        return None
    pairs = []
    for edge in edges:
        if not isinstance(edge, (tuple, list)) or len(edge) != 2:
            return None
        pairs.append(tuple(edge))
    return pairs


def _check_order(graph: Any, order: Sequence[Any]) -> None:
    names = list(graph.nodes)
    if sorted(map(repr, order)) != sorted(map(repr, names)):
        raise Finding(f"topological order {order!r} is not the nodes {names!r}")
    pairs = _edge_pairs(graph)
    if pairs is None:
        return
    position = {name: i for i, name in enumerate(order)}
    for source, destination in pairs:
        try:
            before = position[source] < position[destination]
        except (KeyError, TypeError):
            continue  # an edge to no node is dropped
        if not before:
            raise Finding(f"topological order {order!r} breaks edge {source!r} -> {destination!r}")


def _graph_tools(graph: Any, labels: list[str]) -> Optional[bool]:
    """Runs every graph tool; returns whether the graph has a cycle (None if unknown)."""
    cyclic = None
    calls = [
        ("validate", lambda: dag_tools.validate_graph(graph)),
        ("has_cycles", lambda: dag_tools.has_cycles(graph)),
        ("disconnected", lambda: dag_tools.get_disconnected_nodes(graph)),
        ("order", lambda: dag_tools.get_topological_order_from_graph(graph)),
        ("order_lists", lambda: dag_tools.get_topological_order(list(graph.nodes),
                                                                list(graph.edges))),
    ]
    for stage, call in calls:
        try:
            result = call()
        except CLEAR as error:
            _check_not_escaped(f"dag_tools {stage}", error)
            labels.append(f"refused {stage} {type(error).__name__}")
            continue
        except Exception as error:
            raise Finding(f"dag_tools {stage} raised {type(error).__name__}: "
                          f"{text_of(error)}") from error
        if stage == "validate":
            labels.append("valid")
        elif stage == "has_cycles":
            cyclic = bool(result)
        elif stage == "order":
            _check_order(graph, result)
    return cyclic


def _input_shape(graph: Any, source: str) -> Optional[tuple[int, ...]]:
    """The declared sample shape of a source node, when it is one small enough to run."""
    node = graph.nodes.get(source)
    ports = getattr(node, "input_type", None)
    shape = ports.get("input") if isinstance(ports, dict) else None
    if shape is None or getattr(shape, "size", 0) > 64:
        return None
    try:
        dims = tuple(operator.index(d) for d in (shape.tolist() if hasattr(shape, "tolist")
                                                  else shape))
    except TypeError:
        return None
    if len(dims) > 8 or any(d < 0 for d in dims) or math.prod(dims) > MAX_INPUT_ELEMENTS:
        return None
    return dims


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, torch.Tensor) and isinstance(b, torch.Tensor):
        if a.shape != b.shape:
            return False
        if a.numel() > MAX_INPUT_ELEMENTS:  # the comparison would need more memory than the run
            return True
        return bool(torch.allclose(a, b, rtol=1e-4, atol=1e-4, equal_nan=True))
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    return False


def _stacked(outputs: list[Any]) -> Any:
    if isinstance(outputs[0], (tuple, list)):
        return tuple(_stacked(list(items)) for items in zip(*outputs))
    return torch.stack(outputs)


def _run(graph: Any, executor: GraphExecutor, labels: list[str]) -> None:
    shapes = [_input_shape(graph, source) for source in executor._source_names()]
    if any(shape is None for shape in shapes):
        labels.append("not run (no usable input shape)")
        return
    generator = torch.Generator().manual_seed(0)
    steps = [tuple(torch.rand(2, *shape, generator=generator) for shape in shapes)
             for _ in range(STEPS)]
    try:
        executor(*steps[0])
    except Exception as error:
        labels.append(_check_run_error("step", graph, error))
        return
    labels.append("ran")
    executor.eval()
    executor.reset_state()
    try:
        outputs = [executor(*xs) for xs in steps]
    except Exception as error:
        labels.append(_check_run_error("steps", graph, error))
        return
    executor.reset_state()
    sequences = [torch.stack([xs[i] for xs in steps]) for i in range(len(shapes))]
    try:
        stepped = _stacked(outputs)
    except RuntimeError:  # outputs that change shape from step to step do not stack
        stepped = None
    try:
        whole = executor.run(*sequences)
    except Exception as error:
        # Stepping may have run what a layer-major run refuses: a declared sample shape of the
        # wrong rank, read by torch's layers as an unbatched input, runs step by step with the
        # batch axis taken for channels. Refusing that clearly is fine.
        labels.append(_check_run_error("run", graph, error))
        return
    if stepped is None or not _same(stepped, whole):
        raise Finding("stepping and run give different outputs")
    labels.append("sequence")


def check(graph: Any) -> list[str]:
    """Outcome labels of one graph through every stage; raises Finding on a finding."""
    labels: list[str] = []
    try:
        modules = import_ir(graph)
    except Exception as error:
        modules = None
        labels.append(_check_import_error(graph, error))
    else:
        labels.append("imported")
    cyclic = _graph_tools(graph, labels) if isinstance(getattr(graph, "nodes", None), Mapping) \
        else None
    if modules is None:
        return labels
    try:
        executor = GraphExecutor(modules, graph.edges)
    except CLEAR as error:
        _check_not_escaped("GraphExecutor", error)
        labels.append(f"refused executor {type(error).__name__}")
        return labels
    except Exception as error:
        raise Finding(f"GraphExecutor raised {type(error).__name__}: {text_of(error)}") from error
    if cyclic and _edge_pairs(graph) is not None:
        raise Finding("GraphExecutor accepted a graph the graph tools find cyclic")
    _run(graph, executor, labels)
    return labels


def is_valid_graph(graph: ir.Graph) -> bool:
    """Whether ``validate_graph`` accepts ``graph``."""
    try:
        dag_tools.validate_graph(graph)
    except (ValueError, TypeError):
        return False
    return True
