"""Reading and writing graphs as .vx2 files.

A .vx2 file is one safetensors container. Its string metadata holds:

- ``"format"``: ``"vx2"``
- ``"version"``: ``"1"``
- ``"graph"``: JSON ``{"nodes": [{"name": ..., "kind": ..., "fields": {...}}, ...],
  "edges": [[source, destination], ...]}``, where ``fields`` maps every field of the kind, plus
  ``input_type`` and ``output_type``, to its encoded value (see ``_codec``).

Arrays are container tensors named ``<node>/<field>`` (nested ones ``<node>/<field>/<key>``),
referenced from the JSON by their exact key, each tensor by one reference only. As the container
format requires, the tensors' byte ranges tile the data that follows the header exactly.
"""

from __future__ import annotations

import json
import os
from typing import Any, Union

from ._codec import ValueEncoder, decode
from ._container import parse
from ._container_write import serialize
from ._errors import FormatError, brief, strict_json
from ._replace import replace_file
from .graph import Graph
from .node import PORT_FIELDS, Node
from .nodes import NODE_CLASSES
from .completeness import check_graph
from .shapes import check_node_shapes

FORMAT_NAME = "vx2"
FORMAT_VERSION = 1

_KEY_FORMAT = "format"
_KEY_VERSION = "version"
_KEY_GRAPH = "graph"
_GRAPH_KEYS = {"nodes", "edges"}

_NODE_KEYS = {"name", "kind", "fields"}

StrPath = Union[str, "os.PathLike[str]"]


def write(path: StrPath, graph: Graph, *, check: bool = True) -> None:
    """Store ``graph`` at ``path`` (conventionally ending in ".vx2").

    With ``check`` (the default) the graph must be complete first (``check_graph``): every
    edge names nodes of the graph, every node has the fields its kind needs, and its arrays fit
    its kind and its ports; else ValueError names the edge or the node and field, and nothing
    is written. ``check=False`` stores an incomplete graph as it is.

    The whole file is built in memory first and then written to a temporary file in the same
    folder (``.<name>.<random>.partial``) that is renamed into place, so a failure leaves any
    earlier file at ``path`` as it was. A symbolic link at ``path`` is written through to its
    target; an existing file keeps its permissions. Equal graphs give identical bytes. Raises
    TypeError if ``graph`` is not a Graph and ValueError (naming the node and field) for content
    that cannot be stored.
    """
    data = _serialize(graph)  # refuses what is no graph at all first
    if check:
        check_graph(graph)
    replace_file(os.fsdecode(os.fspath(path)), data)


def read(path: StrPath) -> Graph:
    """Load the graph stored at ``path``.

    Never executes code from the file. A missing or unreadable file raises the usual OSError;
    any malformed content raises ValueError with a message that starts with the path.
    """
    source = os.fsdecode(os.fspath(path))
    with open(source, "rb") as stream:
        data = stream.read()
    try:
        return _deserialize(data)
    except FormatError as err:
        raise ValueError(f"{source}: {err}") from err.__cause__
    except RecursionError as err:
        raise ValueError(f"{source}: graph description is nested too deeply") from err
    except MemoryError:
        raise
    except Exception as err:  # last line of defence: malformed content never escapes otherwise
        raise ValueError(f"{source}: malformed vx2 file ({type(err).__name__}: {err})") from err


# Writing ----------------------------------------------------------------------------------------


def _serialize(graph: Graph) -> bytes:
    if not isinstance(graph, Graph):
        raise TypeError(f"write() expects an ir.Graph, got {type(graph).__qualname__}")
    if not isinstance(graph.nodes, dict):
        raise ValueError(f"cannot write graph: nodes is a {type(graph.nodes).__qualname__}, "
                         "expected a dict")
    if not isinstance(graph.edges, (list, tuple)):
        raise ValueError(f"cannot write graph: edges is a {type(graph.edges).__qualname__}, "
                         "expected a list")
    encoder = ValueEncoder()
    nodes = [_node_document(name, node, encoder) for name, node in graph.nodes.items()]
    edges = [_edge_document(index, edge) for index, edge in enumerate(graph.edges)]
    document = json.dumps({"nodes": nodes, "edges": edges}, allow_nan=False, separators=(",", ":"))
    metadata = {
        _KEY_FORMAT: FORMAT_NAME,
        _KEY_VERSION: str(FORMAT_VERSION),
        _KEY_GRAPH: document,
    }
    return serialize(encoder.tensors, metadata)


def _node_document(name: Any, node: Any, encoder: ValueEncoder) -> dict[str, Any]:
    if type(name) is not str:
        raise ValueError(f"cannot write graph: node name {name!r} is not a string")
    if not isinstance(node, Node):
        raise ValueError(f"cannot write node '{name}': {type(node).__qualname__} is not a Node")
    if NODE_CLASSES.get(node.kind) is not type(node):
        raise ValueError(
            f"cannot write node '{name}': {type(node).__qualname__} is not a node kind of "
            "the IR library"
        )
    fields = {}
    for field in node.fields() + PORT_FIELDS:
        where = f"node '{name}' field '{field}'"
        if not hasattr(node, field):
            raise ValueError(f"cannot write {where}: the attribute is missing")
        fields[field] = encoder.encode(getattr(node, field), f"{name}/{field}", where)
    return {"name": name, "kind": node.kind, "fields": fields}


def _edge_document(index: int, edge: Any) -> list[str]:
    if (
        not isinstance(edge, (tuple, list))
        or len(edge) != 2
        or not all(type(end) is str for end in edge)
    ):
        raise ValueError(f"cannot write graph: edge {index} ({edge!r}) is not a pair of names")
    return [edge[0], edge[1]]


# Reading ----------------------------------------------------------------------------------------


def _deserialize(data: bytes) -> Graph:
    metadata, tensors = parse(data)
    _check_format(metadata)
    try:
        document = strict_json(metadata[_KEY_GRAPH])
    except ValueError as err:  # JSONDecodeError
        raise FormatError(f"graph description is not JSON ({err})") from err
    except FormatError as err:
        raise FormatError(f"graph description: {err}") from err
    if not isinstance(document, dict) or document.keys() != _GRAPH_KEYS:
        raise FormatError("graph description is not an object with 'nodes' and 'edges'")
    node_entries, edge_entries = document["nodes"], document["edges"]
    if not isinstance(node_entries, list) or not isinstance(edge_entries, list):
        raise FormatError("graph 'nodes' and 'edges' must be lists")
    nodes: dict[str, Node] = {}
    for index, entry in enumerate(node_entries):
        name, node = _read_node(index, entry, tensors)
        if name in nodes:
            raise FormatError(f"node name {brief(name)} appears twice")
        nodes[name] = node
    edges = [_read_edge(index, entry) for index, entry in enumerate(edge_entries)]
    return Graph(nodes=nodes, edges=edges)


def _check_format(metadata: dict[str, str]) -> None:
    name = metadata.get(_KEY_FORMAT)
    if name is None:
        raise FormatError("not a vx2 file (no format name in the metadata)")
    if name != FORMAT_NAME:
        raise FormatError(f"not a vx2 file (format name {brief(name)}, expected '{FORMAT_NAME}')")
    version = metadata.get(_KEY_VERSION)
    if version is None:
        raise FormatError("vx2 format version is missing")
    if version != str(FORMAT_VERSION):
        raise FormatError(
            f"unsupported vx2 format version {brief(version)} (this library reads version "
            f"{FORMAT_VERSION})"
        )
    if _KEY_GRAPH not in metadata:
        raise FormatError("graph description is missing")


def _read_node(index: int, entry: Any, tensors: Any) -> tuple[str, Node]:
    if not isinstance(entry, dict) or entry.keys() != _NODE_KEYS:
        raise FormatError(f"node entry {index} is not an object with name, kind and fields")
    name, kind, fields = entry["name"], entry["kind"], entry["fields"]
    if not isinstance(name, str) or not isinstance(kind, str) or not isinstance(fields, dict):
        raise FormatError(f"node entry {index} has a malformed name, kind or fields")
    label = brief(name)
    cls = NODE_CLASSES.get(kind)
    if cls is None:
        raise FormatError(f"node {label} has unknown kind {brief(kind)}")
    expected = cls.fields() + PORT_FIELDS
    for field in fields:
        if field not in expected:
            raise FormatError(f"node {label} has unknown field {brief(field)} for kind {kind}")
    missing = [field for field in expected if field not in fields]
    if missing:
        raise FormatError(f"node {label} lacks field(s) {', '.join(missing)}")
    values = {
        field: decode(fields[field], tensors, f"node {label} field '{field}'")
        for field in expected
    }
    node = cls(**values)
    try:
        check_node_shapes(name, node)
    except ValueError as err:
        raise FormatError(str(err)) from None
    return name, node


def _read_edge(index: int, entry: Any) -> tuple[str, str]:
    if not (isinstance(entry, list) and len(entry) == 2 and all(type(e) is str for e in entry)):
        raise FormatError(f"edge {index} ({brief(entry)}) is not a pair of strings")
    return entry[0], entry[1]
