"""Every public function of the four extension modules, fed bad input, either returns a correct
result or raises a clear exception; none crashes the interpreter.

The probes (``sweep_probes.py``) run in a child interpreter that reports each probe before and
after it runs. When the child dies, the probe it had started is the one that crashed; a new child
goes on from the probe after it.
"""

import subprocess
import sys
from pathlib import Path

import sweep_probes

PROBES = Path(__file__).with_name("sweep_probes.py")

# What a clear refusal may be: the argument errors, and torch's own errors for tensors it cannot
# take (RuntimeError, NotImplementedError for meta or nested tensors, IndexError for dimensions).
CLEAR = {"TypeError", "ValueError", "RuntimeError", "NotImplementedError", "IndexError",
         "ZeroDivisionError", "OverflowError", "AttributeError", "KeyError", "FileNotFoundError"}


def run_sweep(count: int) -> dict[int, str]:
    """Outcome per probe index; "crashed ..." for a probe during which the child died."""
    outcomes: dict[int, str] = {}
    first = 0
    while first < count:
        child = subprocess.run([sys.executable, str(PROBES), str(first)], capture_output=True,
                               text=True, timeout=600, cwd=PROBES.parent)
        started = None
        for line in child.stdout.splitlines():
            mark, index, *rest = line.split(" ", 2)
            started = int(index) if mark == ">" else None
            if mark == "<":
                outcomes[int(index)] = rest[0]
        if child.returncode == 0 and started is None:
            break
        crashed = started if started is not None else first
        outcomes[crashed] = f"crashed (exit {child.returncode}) {child.stderr[-300:]!r}"
        first = crashed + 1
    return outcomes


def test_no_probe_crashes_and_every_refusal_is_clear():
    names = [name for name, _ in sweep_probes.probes()]
    outcomes = run_sweep(len(names))
    assert len(outcomes) == len(names) > 2000
    bad = []
    for index, name in enumerate(names):
        outcome = outcomes[index]
        kind, _, detail = outcome.partition(" ")
        if kind == "ok":
            continue
        error = detail.split(" ", 1)[0]
        if kind != "raised" or error not in CLEAR:
            bad.append(f"{name}: {outcome}")
    assert not bad, "\n".join(bad)
