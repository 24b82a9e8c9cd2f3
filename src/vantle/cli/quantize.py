"""``vantle-bridge quantize``: import, quantize, export back with precision metadata, report."""

from __future__ import annotations

import argparse
import json
import math
import warnings
from typing import Any, Dict, List, Optional

from vantle import ir

from .budget import MemoryBudget, add_budget_option, check_file_batch
from .errors import CliError, one_line
from .graphs import build_modules, input_shapes, read_valid_graph, source_nodes
from .inputs import add_input_options, make_feed

DEFAULT_CALIBRATION_STEPS = 8


def add_parser(commands: Any) -> None:
    quantize = commands.add_parser(
        "quantize", help="quantize a graph's weights and write it with precision metadata")
    quantize.add_argument("path")
    quantize.add_argument("-o", "--output", required=True, help="the quantized .vx2 file to write")
    quantize.add_argument("--precision", default="int8",
                          help="precision of every node not named by --per-node (default int8)")
    quantize.add_argument("--per-node", action="append", default=[], metavar="NAME=PREC",
                          help="precision of one node, e.g. --per-node fc2=fp32 (repeatable)")
    quantize.add_argument("--asymmetric", action="store_true",
                          help="asymmetric grids with a zero point (default: symmetric)")
    quantize.add_argument("--accumulator-bits", type=int, default=16,
                          help="accumulator width written as accum_t (default 16)")
    add_input_options(quantize, "--calibrate", None,
                      "measure activation ranges on calibration input (default: none)")
    quantize.add_argument("--calibration-steps", type=int, default=None,
                          help="calibration batches (default 8, or every step of a .npy sequence)")
    quantize.add_argument("--batch", type=int, default=None,
                          help="batch size of random calibration input (default 1)")
    quantize.add_argument("--json", action="store_true",
                          help="print the quantization report as JSON instead of a table")
    add_budget_option(quantize)
    quantize.set_defaults(handler=command_quantize)


def per_node_precision(pairs: List[str], child_names: Dict[str, str],
                       modules: Dict[str, Any]) -> Dict[str, str]:
    """``NAME=PREC`` options as the executor's module names -> precision."""
    from vantle.bridge.quantize import _get_bits

    chosen: Dict[str, str] = {}
    for pair in pairs:
        name, separator, precision = pair.rpartition("=")
        if not separator or not name or not precision:
            raise CliError(f"--per-node takes NAME=PRECISION, got {pair!r}")
        if name not in child_names:
            raise CliError(f"--per-node {pair}: the graph has no node {name!r} with a module")
        module = modules.get(name)
        if module is not None and next(module.parameters(), None) is None:
            raise CliError(f"--per-node {pair}: node {name!r} ({type(module).__name__}) has no "
                           "weights for a precision to round")
        _get_bits(precision)  # an unknown name fails here, before any work
        chosen[child_names[name]] = precision
    return chosen


def command_quantize(args: argparse.Namespace) -> int:
    import torch

    from vantle.bridge import GraphExecutor, dag_tools
    from vantle.bridge.export_ir import export_ir
    from vantle.bridge.quant_report import quantization_report
    from vantle.bridge.quantize import QuantizationConfig, _get_bits, quantize

    budget = MemoryBudget.from_args(args)
    graph = read_valid_graph(args.path)
    budget.check_graph(graph, args.batch or 1)
    _get_bits(args.precision)
    modules = build_modules(graph)
    executor = GraphExecutor(modules, graph.edges)
    sources = source_nodes(modules, graph.edges)
    if len(sources) != 1:
        raise CliError(f"quantize handles graphs with one input; this one has {len(sources)}: "
                       f"{sources}")
    config = QuantizationConfig(
        default_precision=args.precision,
        per_node_precision=per_node_precision(args.per_node, executor._sanitized_names,
                                              modules) or None,
        accumulator_bits=args.accumulator_bits,
        symmetric=not args.asymmetric,
    )
    calibration = _calibration_data(args, graph, sources, budget)
    report = quantization_report(executor, config, calibration)
    executor.reset_state()
    quantize(executor, config)
    shape = input_shapes(graph, sources)[0]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        exported = export_ir(executor, torch.zeros((1, *shape)))
    for warning in caught:
        print(f"vantle-bridge: warning: {one_line(Exception(str(warning.message)))}")
    result = _with_original_ends(graph, exported)
    try:
        dag_tools.validate_graph(result)
    except ValueError as error:
        raise CliError(f"the exported graph is not valid: {one_line(error)}") from error
    ir.write(args.output, result)

    names = {child: node for node, child in executor._sanitized_names.items()}
    if args.json:
        rows = [{key: _json_value(value) for key, value in row.items()}
                for row in report.to_dicts()]
        for row in rows:
            row["name"] = names.get(row["name"], row["name"])
        print(json.dumps(rows, indent=2))
    else:
        print(report.table(names) if report else
              "no node has weight or bias parameters of its own: nothing was rounded")
    per_node = ", ".join(f"{pair}" for pair in args.per_node)
    print(f"wrote {args.output}: {len(result.nodes)} nodes, precision {args.precision}"
          + (f" ({per_node})" if per_node else "")
          + (f", calibrated on {len(calibration)} batches" if calibration else ""))
    return 0


def _calibration_data(args: argparse.Namespace, graph: ir.Graph, sources: List[str],
                      budget: MemoryBudget) -> Optional[List[Any]]:
    if args.calibrate is None:
        return None
    from .graphs import port_shape

    shapes = [port_shape(graph.nodes[name], "input_type", "input") if name in graph.nodes
              else None for name in sources]
    feed = make_feed(args.calibrate, shapes, args.batch, args.rate, args.seed, budget=budget)
    check_file_batch(budget, graph, args.batch, args.calibrate, feed.batch)
    steps = args.calibration_steps or feed.steps or DEFAULT_CALIBRATION_STEPS
    if steps < 1 or (feed.steps is not None and steps > feed.steps):
        raise CliError(f"--calibration-steps must lie in [1, {feed.steps or 'any'}], got {steps}")
    # Every calibration batch is held until the ranges are measured.
    budget.check_inputs(f"--calibration-steps {steps}: {steps:,} batches of {feed.batch}",
                        steps * feed.batch * sum(math.prod(shape) for shape in feed.shapes))
    return [feed.step(step)[0] for step in range(steps)]


def _with_original_ends(graph: ir.Graph, exported: ir.Graph) -> ir.Graph:
    """The exported graph in the original node order, with the original Input and Output nodes.

    Export rebuilds an Input node only under the name "input" and Output nodes only under names
    starting with "output", and leaves out nodes that had no module; those come from the source.
    """
    nodes = {}
    for name, node in graph.nodes.items():
        if isinstance(node, (ir.Input, ir.Output)) or name not in exported.nodes:
            nodes[name] = node
        else:
            nodes[name] = exported.nodes[name]
    return ir.Graph(nodes=nodes, edges=exported.edges)


def _json_value(value: Any) -> Any:
    # Strict JSON has no infinities: an exact rounding's SQNR is written "inf".
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    return value
