"""``vantle-bridge draw``: a picture of the graph, top to bottom, through Graphviz.

The DOT text is written here, so ``.dot`` output needs nothing installed; SVG, PNG and PDF are
rendered by Graphviz's ``dot`` program when it is on the PATH.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
from pathlib import Path
from typing import Any, List

from vantle import ir

from .errors import CliError
from .info import edge_labels
from .budget import MemoryBudget, add_budget_option
from .shapes import infer_shapes
from .summary import NodeSummary, shapes_text, summarise

RENDERED = ("svg", "png", "pdf")
INSTALL_HINT = ("install Graphviz (Debian/Ubuntu: apt-get install graphviz; macOS: brew install "
                "graphviz), or write DOT text with -o graph.dot")


def add_parser(commands: Any) -> None:
    draw = commands.add_parser("draw", help="draw the graph (.dot, or .svg/.png/.pdf via Graphviz)")
    draw.add_argument("path")
    draw.add_argument("-o", "--output", required=True,
                      help="picture to write; the extension picks the format: "
                           + ", ".join(("dot",) + RENDERED))
    add_budget_option(draw)
    draw.set_defaults(handler=command_draw)


def command_draw(args: argparse.Namespace) -> int:
    target = Path(args.output)
    suffix = target.suffix.lower().lstrip(".")
    if suffix not in ("dot", "gv") + RENDERED:
        raise CliError(f"cannot tell the picture format of {str(target)!r}: "
                       "use .dot, .svg, .png or .pdf")
    budget = MemoryBudget.from_args(args)
    graph = ir.read(args.path)
    inferred = infer_shapes(graph, budget)
    nodes = [summarise(name, node, inferred) for name, node in graph.nodes.items()]
    text = to_dot(graph, nodes, edge_labels(graph, inferred))
    if suffix in ("dot", "gv"):
        target.write_text(text, encoding="utf-8")
    else:
        render(text, suffix, target)
    print(f"wrote {target} ({len(graph.nodes)} nodes, {len(graph.edges)} edges)")
    return 0


def render(text: str, fmt: str, target: Path) -> None:
    program = shutil.which("dot")
    if program is None:
        raise CliError(f"drawing {fmt.upper()} needs Graphviz's 'dot' program, which is not on "
                       f"the PATH: {INSTALL_HINT}")
    done = subprocess.run([program, f"-T{fmt}", "-o", os.fspath(target)], input=text.encode(),
                          capture_output=True, check=False)
    if done.returncode != 0:
        message = done.stderr.decode(errors="replace").strip().splitlines()
        raise CliError(f"Graphviz failed to draw {str(target)!r}: "
                       + (message[0] if message else f"exit code {done.returncode}"))


def quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def to_dot(graph: ir.Graph, nodes: List[NodeSummary], labels: List[str]) -> str:
    """DOT text: nodes labelled name / kind / output shape; merges and splits stand out."""
    incoming = {name: 0 for name in graph.nodes}
    outgoing = {name: 0 for name in graph.nodes}
    for source, destination in graph.edges:
        outgoing[source] = outgoing.get(source, 0) + 1
        incoming[destination] = incoming.get(destination, 0) + 1
    lines = [
        "digraph vantle {",
        "  rankdir=TB;",
        '  node [shape=box, style="rounded,filled", fillcolor="#f4f4f4", fontname="Helvetica",'
        " fontsize=10];",
        '  edge [fontname="Helvetica", fontsize=9];',
    ]
    for node in nodes:
        label = f"{node.name}\n{node.kind}\n{shapes_text(node.output_shapes)}"
        style = _style(node.kind, incoming.get(node.name, 0), outgoing.get(node.name, 0))
        lines.append(f"  {quoted(node.name)} [label={quoted(label)}{style}];")
    named_only_by_edges = {end for edge in graph.edges for end in edge} - set(graph.nodes)
    for name in sorted(named_only_by_edges):
        lines.append(f"  {quoted(name)} [style=dashed, label={quoted(name + ' (no node)')}];")
    for (source, destination), label in zip(graph.edges, labels):
        attributes = f" [label={quoted(label.replace('chunk ', '#'))}]" if label else ""
        lines.append(f"  {quoted(source)} -> {quoted(destination)}{attributes};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _style(kind: str, fan_in: int, fan_out: int) -> str:
    if kind in ("Input", "Output"):
        return ', shape=ellipse, fillcolor="#dbe9f6"'
    if kind == "LIF":
        return ', fillcolor="#fde9c9"'
    if fan_in > 1:  # a merge: several edges come together
        return ', shape=invtrapezium, fillcolor="#d9f0d3"'
    if fan_out > 1:  # a split or fan-out
        return ', shape=trapezium, fillcolor="#e7d4e8"'
    return ""
