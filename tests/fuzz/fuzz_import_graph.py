"""Fuzz ``import_ir``, ``GraphExecutor`` and ``dag_tools`` with hostile in-memory graphs.

    python tests/fuzz/fuzz_import_graph.py --seed 1 --count 200000
    python tests/fuzz/fuzz_import_graph.py --seed 7 --seconds 3600      # until the time is up
    python tests/fuzz/fuzz_import_graph.py --seed 1 --first 1234 --count 1 --show

Inputs ``first`` .. ``first + count - 1`` of the seed (``hostile_graphs.hostile_graph``) run
in a child process, one at a time, under a memory limit. The child reports each input before
and after it runs, so a crash or a hang (no report within ``--timeout`` seconds) pins the input;
a new child goes on after it. At the end the counts are printed: inputs, outcomes by stage and
exception type, findings, crashes, hangs, and the child's memory over the run. Findings go to
``--findings`` as JSON lines (seed, index, kind, message, mutations); the exit status is 1 when
there is any.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import re
import selectors
import signal
import subprocess
import sys
import time
from typing import Any, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
# The child's memory report comes every this many inputs.
MEMORY_EVERY = 1000


# --- child --------------------------------------------------------------------------------------


def _rss_kb() -> int:
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def _child(seed: int, first: int, last: int, memory_mb: int) -> None:
    import resource
    import warnings

    if memory_mb > 0:
        limit = memory_mb * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    sys.path.insert(0, HERE)
    import torch

    from hostile_graphs import hostile_graph
    from import_graph_target import Finding, check

    torch.set_num_threads(1)
    warnings.simplefilter("ignore")
    out = sys.stdout
    for index in range(first, last):
        print(f"> {index}", file=out, flush=True)
        try:
            case = hostile_graph(seed, index)
        except Exception as error:  # the generator's own fault: fix it, it is no finding
            report = {"message": f"generator: {type(error).__name__}: {error}", "mutations": []}
            print(f"F {index} {json.dumps(report)}", file=out, flush=True)
            continue
        try:
            labels = check(case.graph)
        except Finding as finding:
            report = {"message": str(finding), "mutations": case.mutations}
            print(f"F {index} {json.dumps(report)}", file=out, flush=True)
            continue
        except Exception as error:  # escaped the harness itself: a finding too
            report = {"message": f"harness: {type(error).__name__}: {error}",
                      "mutations": case.mutations}
            print(f"F {index} {json.dumps(report)}", file=out, flush=True)
            continue
        print(f"< {index} {'|'.join(labels)}", file=out, flush=True)
        if (index - first) % MEMORY_EVERY == 0:
            print(f"M {index} {_rss_kb()}", file=out, flush=True)
    print(f"M {last} {_rss_kb()}", file=out, flush=True)


# --- parent -------------------------------------------------------------------------------------


class Tally:
    """Counts over the whole run, across children."""

    def __init__(self) -> None:
        self.inputs = 0
        self.labels: collections.Counter[str] = collections.Counter()
        self.findings: list[dict[str, Any]] = []
        self.memory: list[tuple[int, int]] = []  # (index, RSS in kB) per report, per child
        self.memory_growth_kb = 0

    def finding(self, seed: int, index: int, kind: str, message: str,
                mutations: Optional[list[str]] = None) -> None:
        self.findings.append({"seed": seed, "index": index, "kind": kind, "message": message,
                              "mutations": mutations or []})

    def summary(self) -> dict[str, Any]:
        kinds = collections.Counter(f["kind"] for f in self.findings)
        return {
            "inputs": self.inputs,
            "imported": self.labels["imported"],
            "valid (validate_graph passed)": self.labels["valid"],
            "ran a step": self.labels["ran"],
            "ran a sequence (run == steps)": self.labels["sequence"],
            "not run (no usable input shape)": self.labels["not run (no usable input shape)"],
            "refused": {k: v for k, v in sorted(self.labels.items()) if k.startswith("refused")},
            "findings": kinds["finding"],
            "crashes": kinds["crash"],
            "hangs": kinds["hang"],
            "max child RSS (MB)": max((kb for _, kb in self.memory), default=0) // 1024,
            "child RSS growth after warm-up (MB)": self.memory_growth_kb // 1024,
            "child RSS samples (input, MB)": [(index, kb // 1024) for index, kb in
                                              self.memory[:: max(1, len(self.memory) // 8)]],
        }


def _signature(message: str) -> str:
    """A finding's message without the numbers and names that vary between inputs."""
    first = message.splitlines()[0] if message else ""
    return re.sub(r"'[^']*'|\d+", "_", first)[:160]


def _run_child(args: argparse.Namespace, first: int, last: int, tally: Tally) -> int:
    """Runs inputs first..last-1 in one child; returns the index to go on from."""
    command = [sys.executable, os.path.abspath(__file__), "--child", "--seed", str(args.seed),
               "--first", str(first), "--last", str(last), "--memory-mb", str(args.memory_mb)]
    env = {**os.environ, "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                             start_new_session=True, text=True, bufsize=1)
    selector = selectors.DefaultSelector()
    selector.register(child.stdout, selectors.EVENT_READ)
    started: Optional[int] = None
    memory: list[tuple[int, int]] = []
    deadline = args.deadline
    try:
        while True:
            if not selector.select(timeout=args.timeout):
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
                index = started if started is not None else first
                tally.inputs += 1
                tally.finding(args.seed, index, "hang", f"no report in {args.timeout} s")
                return index + 1
            line = child.stdout.readline()
            if not line:
                break
            mark, index_text, *rest = line.rstrip("\n").split(" ", 2)
            index = int(index_text)
            if mark == ">":
                started = index
            elif mark == "<":
                started = None
                tally.inputs += 1
                tally.labels.update(rest[0].split("|") if rest and rest[0] else [])
            elif mark == "F":
                started = None
                tally.inputs += 1
                report = json.loads(rest[0])
                tally.finding(args.seed, index, "finding", report["message"], report["mutations"])
            elif mark == "M":
                memory.append((index, int(rest[0])))
            if args.progress and mark in "<F" and tally.inputs % args.progress == 0:
                print(f"... {tally.inputs} inputs, {len(tally.findings)} findings",
                      file=sys.stderr, flush=True)
            if deadline is not None and time.monotonic() > deadline:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
                return -1
    finally:
        selector.close()
        tally.memory.extend(memory)
        # Growth from the second report (after the first MEMORY_EVERY inputs warmed the caches).
        if len(memory) > 2:
            tally.memory_growth_kb = max(tally.memory_growth_kb, memory[-1][1] - memory[1][1])
    stderr = child.stderr.read()
    code = child.wait()
    if code == 0 and started is None:
        return last
    index = started if started is not None else first
    tally.inputs += 1
    tally.finding(args.seed, index, "crash", f"child exited with {code}: {stderr[-2000:]}")
    return index + 1


def _parent(args: argparse.Namespace) -> int:
    tally = Tally()
    last = args.first + args.count if args.count else sys.maxsize
    position = args.first
    begun = time.monotonic()
    args.deadline = begun + args.seconds if args.seconds else None
    while 0 <= position < last:
        position = _run_child(args, position, last, tally)
    summary = tally.summary()
    summary["seed"], summary["first"], summary["seconds"] = args.seed, args.first, round(
        time.monotonic() - begun)
    print(json.dumps(summary, indent=2))
    signatures = collections.Counter(_signature(f["message"]) for f in tally.findings)
    for signature, count in signatures.most_common():
        example = next(f for f in tally.findings if _signature(f["message"]) == signature)
        print(f"{count:6d} x [{example['kind']} at index {example['index']}] {signature}")
    if args.findings and tally.findings:
        os.makedirs(os.path.dirname(os.path.abspath(args.findings)), exist_ok=True)
        with open(args.findings, "a", encoding="utf-8") as stream:
            for finding in tally.findings:
                stream.write(json.dumps(finding) + "\n")
    return 1 if tally.findings else 0


def _show(args: argparse.Namespace) -> None:
    """Runs inputs in this process, printing each graph, its mutations and the outcome."""
    sys.path.insert(0, HERE)
    from hostile_graphs import hostile_graph
    from import_graph_target import check

    for index in range(args.first, args.first + (args.count or 1)):
        case = hostile_graph(args.seed, index)
        print(f"--- {index}: {case.graph!r}\n    nodes: {case.graph.nodes!r}\n"
              f"    edges: {case.graph.edges!r}\n    mutations: {case.mutations}")
        print("   ", check(case.graph))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--first", type=int, default=0)
    parser.add_argument("--count", type=int, default=1000, help="0: no limit (use --seconds)")
    parser.add_argument("--seconds", type=float, default=0, help="stop after this long")
    parser.add_argument("--timeout", type=float, default=60, help="seconds per input")
    parser.add_argument("--memory-mb", type=int, default=6144, help="child address space")
    parser.add_argument("--findings", help="append findings to this JSON-lines file")
    parser.add_argument("--progress", type=int, default=0, help="report every N inputs")
    parser.add_argument("--show", action="store_true", help="run here, printing each input")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--last", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        _child(args.seed, args.first, args.last, args.memory_mb)
        return 0
    if args.show:
        _show(args)
        return 0
    return _parent(args)


if __name__ == "__main__":
    sys.exit(main())
