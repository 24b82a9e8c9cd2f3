"""Seeded fuzzing of ``export_ir``, ``VANTLEExporter.export`` and ``check_export``.

    python tests/fuzz/fuzz_export.py --seed 1 --count 10000        # prints the counts
    python tests/fuzz/fuzz_export.py --seed 1 --start 4711 --count 1 --verbose   # one input again
    python tests/fuzz/fuzz_export.py --seed 1 --seconds 3600        # as many as an hour allows

Input ``i`` of seed ``s`` is always the same model and sample (``export_models.make_case``).
The inputs run in a child interpreter, which reports each one before and after it runs: when
the child dies, the input it had started is a crash; when one takes longer than ``--timeout``
seconds, it is a hang and the child is killed. Either way a new child goes on from the next
input. The child also reports its memory as it goes and every model or sample that is still
alive after an export (a leak). The exit status is 1 when anything was found.
"""

from __future__ import annotations

import argparse
import collections
import gc
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import traceback
import weakref
from typing import Any, Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
LEAK_EVERY = 100  # inputs between collections that look for leaked models
RSS_EVERY = 1000
PROGRESS_EVERY = 10_000  # inputs between progress lines on stderr


def rss_kib() -> int:
    with open("/proc/self/statm") as stream:
        return int(stream.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def emit(line: str) -> None:
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


# --- the child ----------------------------------------------------------------------------------


def watch(objects: List[Any], index: int, alive: List[Any]) -> None:
    import torch

    for obj in objects:
        if not isinstance(obj, (torch.nn.Module, torch.Tensor)):
            continue  # functions and classes of the fuzzer live on
        try:
            alive.append((index, type(obj).__name__, weakref.ref(obj)))
        except TypeError:
            pass  # ints, strings, None: nothing to leak


def worker(seed: int, start: int, stop: int, verbose: bool) -> None:
    sys.path.insert(0, HERE)
    import warnings

    import export_target
    from export_models import make_case
    from vantle.bridge import export_ir as export_module

    export_target.VERBOSE = verbose
    # A model that waits for its own export in another thread fails after this long.
    export_module._TURN_WAIT_SECONDS = 1.0
    warnings.simplefilter("ignore")  # the models' own warnings (a case records its own)
    alive: List[Any] = []
    folder = tempfile.mkdtemp(prefix="export-fuzz-")
    for index in range(start, stop):
        emit(f"> {index}")
        case = make_case(seed, index)
        try:
            outcome = export_target.run_case(case, folder, watch=lambda objs, i=index: watch(
                objs, i, alive))
            record = outcome.__dict__
        except Exception as error:  # the fuzzer's own fault: a finding to look at, too
            record = {"label": "?", "plain": "?", "export": "harness", "check": "skipped",
                      "inexact": False,
                      "findings": [f"harness: {type(error).__name__}: {error}\n"
                                   + traceback.format_exc()[-2000:]]}
        emit(f"< {index} " + json.dumps(record))
        if (index - start + 1) % LEAK_EVERY == 0 or index == stop - 1:
            gc.collect()
            for where, kind, ref in alive:
                if ref() is not None:
                    emit(f"! {where} " + json.dumps(f"a {kind} is still alive after its export"))
            alive.clear()
        if (index - start) % RSS_EVERY == 0 or index == stop - 1:
            emit(f"= {index} {rss_kib()}")


# --- the parent -----------------------------------------------------------------------------------


class Summary:
    def __init__(self) -> None:
        self.inputs = 0
        self.plain: collections.Counter = collections.Counter()
        self.export: collections.Counter = collections.Counter()
        self.check: collections.Counter = collections.Counter()
        self.inexact: List[Any] = []
        self.findings: List[Any] = []  # (seed, index, label, text)
        self.crashes: List[Any] = []
        self.hangs: List[Any] = []
        self.rss: List[Any] = []  # (child, index, KiB)

    def add(self, seed: int, index: int, record: Dict[str, Any]) -> None:
        self.inputs += 1
        self.plain[record["plain"]] += 1
        self.export[record["export"]] += 1
        self.check[record["check"]] += 1
        if record.get("inexact"):
            self.inexact.append((seed, index, record["label"]))
        for text in record["findings"]:
            self.findings.append((seed, index, record["label"], text))

    def growth(self) -> List[str]:
        """Memory growth of each child, from its first thousand inputs to its end."""
        lines = []
        by_child: Dict[int, List[Any]] = collections.defaultdict(list)
        for child, index, kib in self.rss:
            by_child[child].append((index, kib))
        for child, points in sorted(by_child.items()):
            if len(points) >= 3:
                (i0, k0), (i1, k1) = points[1], points[-1]
                per = (k1 - k0) / max(i1 - i0, 1) * 1000
                lines.append(f"child {child}: {k0 // 1024} MiB at input {i0}, {k1 // 1024} MiB "
                             f"at {i1} ({per:+.0f} KiB per 1000 inputs)")
        return lines

    def bad(self) -> bool:
        return bool(self.findings or self.crashes or self.hangs)

    def text(self) -> str:
        lines = [f"inputs: {self.inputs}",
                 f"model run plainly: {dict(self.plain.most_common())}",
                 f"export: {dict(self.export.most_common())}",
                 f"check_export: {dict(self.check.most_common())}",
                 f"crashes: {len(self.crashes)}", f"hangs: {len(self.hangs)}",
                 f"findings: {len(self.findings)}",
                 f"exports without warning whose check failed: {len(self.inexact)}"]
        lines += ["memory: " + line for line in self.growth()]
        for seed, index, label, text in self.crashes + self.hangs:
            lines.append(f"  seed {seed} input {index}: {label}\n    {text}")
        shown = collections.Counter()
        for seed, index, label, text in self.findings:
            key = text.split(":")[0] + text.split(":")[1][:40] if ":" in text else text
            shown[key] += 1
            if shown[key] <= 3:
                lines.append(f"  seed {seed} input {index}: {label[:200]}\n    {text[:1500]}")
        for seed, index, label in self.inexact[:10]:
            lines.append(f"  inexact: seed {seed} input {index}: {label[:200]}")
        return "\n".join(lines)

    def as_json(self) -> Dict[str, Any]:
        return {"inputs": self.inputs, "plain": self.plain, "export": self.export,
                "check": self.check, "crashes": self.crashes, "hangs": self.hangs,
                "findings": self.findings, "inexact": self.inexact, "memory": self.growth()}


class Lines:
    """Lines from a pipe, read without buffering so that select() sees what is left."""

    def __init__(self, fd: int):
        self.fd, self.pending = fd, b""

    def next(self, timeout: float) -> Optional[str]:
        """The next line; "" at the end of the stream; None when none came in time."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                return None
            chunk = os.read(self.fd, 1 << 16)
            if not chunk:
                return ""
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode("utf-8", "replace")


def run(seed: int, start: int, count: int, timeout: float, verbose: bool = False,
        deadline: Optional[float] = None, summary: Optional[Summary] = None) -> Summary:
    summary = summary or Summary()
    position, stop, children = start, start + count, 0
    while position < stop and (deadline is None or time.monotonic() < deadline):
        children += 1
        stderr = tempfile.TemporaryFile()
        command = [sys.executable, os.path.abspath(__file__), "--worker", "--seed", str(seed),
                   "--start", str(position), "--count", str(stop - position)]
        if verbose:
            command.append("--verbose")
        child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr,
                                 start_new_session=True)
        assert child.stdout is not None
        lines = Lines(child.stdout.fileno())
        current: Optional[int] = None
        labels: Dict[int, str] = {}
        while True:
            if deadline is not None and time.monotonic() > deadline and current is None:
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
                return summary
            line = lines.next(timeout if current is not None else max(timeout, 300.0))
            if line is None:  # no word in time: a hang
                os.killpg(child.pid, signal.SIGKILL)
                child.wait()
                where = current if current is not None else position
                summary.hangs.append((seed, where, labels.get(where, "?"),
                                      f"no result within {timeout:g} s"))
                position = where + 1
                break
            if line == "":
                code = child.wait()
                stderr.seek(0)
                tail = stderr.read()[-3000:].decode("utf-8", "replace")
                if current is not None or code != 0:
                    where = current if current is not None else position
                    summary.crashes.append((seed, where, labels.get(where, "?"),
                                            f"exit status {code}: {tail}"))
                    position = where + 1
                else:
                    position = stop
                break
            mark, rest = line[0], line[2:]
            index_text, _, payload = rest.partition(" ")
            index = int(index_text)
            if mark == ">":
                current = index
            elif mark == "<":
                record = json.loads(payload)
                labels[index] = record["label"]
                summary.add(seed, index, record)
                current, position = None, index + 1
                if summary.inputs % PROGRESS_EVERY == 0:
                    print(f"{summary.inputs} inputs, {len(summary.findings)} findings, "
                          f"{len(summary.crashes)} crashes, {len(summary.hangs)} hangs",
                          file=sys.stderr, flush=True)
            elif mark == "!":
                summary.findings.append((seed, index, labels.get(index, "?"),
                                         "leak: " + json.loads(payload)))
            elif mark == "=":
                summary.rss.append((children, index, int(payload)))
        stderr.close()
    return summary


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=None,
                        help="stop after this long (the count is then only an upper bound)")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds one input may take")
    parser.add_argument("--report", help="also write the summary as JSON to this file")
    parser.add_argument("--verbose", action="store_true", help="tracebacks in the findings")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.seed, args.start, args.start + args.count, args.verbose)
        return
    count = args.count if args.seconds is None else max(args.count, 10**9)
    deadline = None if args.seconds is None else time.monotonic() + args.seconds
    began = time.monotonic()
    summary = run(args.seed, args.start, count, args.timeout, args.verbose, deadline)
    print(summary.text())
    print(f"seconds: {time.monotonic() - began:.0f}")
    if args.report:
        with open(args.report, "w") as stream:
            json.dump(summary.as_json(), stream, indent=1, default=str)
    sys.exit(1 if summary.bad() else 0)


if __name__ == "__main__":
    main()
