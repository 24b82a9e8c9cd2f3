"""The ``vantle-bridge`` command-line tool: look into, draw, check, run and quantize .vx2 graphs.

    vantle-bridge info model.vx2 [--json]
    vantle-bridge draw model.vx2 -o graph.svg
    vantle-bridge validate model.vx2
    vantle-bridge run model.vx2 --steps 20 --input spikes --rate 0.3
    vantle-bridge quantize model.vx2 -o model_int8.vx2 --precision int8 --per-node fc2=fp32

Every failure prints one line, ``vantle-bridge: error: ...``, and exits with status 1; a wrong
command line exits with status 2.
"""

from __future__ import annotations

import argparse
import sys
from typing import Optional, Sequence

from . import draw, info, quantize, run
from .errors import CliError, one_line

__all__ = ["build_parser", "main"]


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("vantle-bridge")
    except PackageNotFoundError:
        return "unknown"


def command_validate(args: argparse.Namespace) -> int:
    from vantle.bridge import dag_tools

    from .graphs import read_valid_graph

    graph = read_valid_graph(args.path)
    order = dag_tools.get_topological_order_from_graph(graph)
    print(f"{args.path}: valid, {len(graph.nodes)} nodes in order: {' -> '.join(order)}")
    return 0


def build_parser() -> argparse.ArgumentParser:
    """The argument parser with every command; each sets ``handler`` on its namespace."""
    parser = argparse.ArgumentParser(prog="vantle-bridge",
                                     description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True)
    info.add_parser(commands)
    draw.add_parser(commands)
    validate = commands.add_parser("validate", help="check a graph's structure and print its order")
    validate.add_argument("path")
    validate.set_defaults(handler=command_validate)
    run.add_parser(commands)
    quantize.add_parser(commands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns the exit status (0 done, 1 failed, 2 bad command line)."""
    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except KeyboardInterrupt:
        print("vantle-bridge: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # every failure is one line, never a traceback
        message = str(error) if isinstance(error, CliError) else one_line(error)
        print(f"vantle-bridge: error: {message}", file=sys.stderr)
        return 1
