"""Coverage-guided fuzzing of ``ir.read`` with atheris (libFuzzer options pass through).

    python tests/fuzz/fuzz_vx2_read.py [libFuzzer options] [CORPUS_DIR ...]

An empty or missing corpus folder is seeded with writer-made files. Most mutations go to the
JSON header or to the graph description inside it, with the length prefix kept right, so that
the fuzzer spends its time past the container's first check; a tenth mutate the raw bytes.
``scripts/fuzz.sh`` runs it for long; the test suite runs it for a bounded number of inputs.
"""

from __future__ import annotations

import gc
import json
import os
import random
import sys
import types

import atheris

sys.path.insert(0, os.path.dirname(__file__))
from vx2_read_target import check, seed_files  # noqa: E402


def _instrument_reader() -> int:
    """Adds coverage feedback to every function of the IR library; returns how many.

    The functions are patched in place after import: import hooks miss modules that an
    editable install loads through its own finder.
    """
    functions = [
        obj for obj in gc.get_objects()
        if isinstance(obj, types.FunctionType) and (obj.__module__ or "").startswith("vantle.ir")
    ]
    for function in functions:
        atheris.instrument_func(function)
    return len(functions)


def _mutate_header(header: bytes, seed: int, rng: random.Random) -> bytes:
    # Half the time, mutate the graph description inside a header that still parses.
    if rng.random() < 0.5:
        try:
            parsed = json.loads(header)
            graph = parsed["__metadata__"]["graph"].encode("utf-8", "surrogatepass")
        except (ValueError, TypeError, KeyError, AttributeError):
            parsed = None
        if parsed is not None:
            mutated = atheris.Mutate(graph, 2 * len(graph) + 64)
            parsed["__metadata__"]["graph"] = mutated.decode("utf-8", "surrogateescape")
            return json.dumps(parsed).encode("utf-8", "surrogatepass")
    return atheris.Mutate(header, 2 * len(header) + 64)


def mutate(data: bytes, max_size: int, seed: int) -> bytes:
    """libFuzzer's mutation, aimed past the length prefix."""
    rng = random.Random(seed)
    size = int.from_bytes(data[:8], "little") if len(data) >= 8 else -1
    if rng.random() < 0.1 or not 0 <= size <= len(data) - 8:
        return atheris.Mutate(data, max_size)
    header, body = data[8 : 8 + size], data[8 + size :]
    if rng.random() < 0.85:
        header = _mutate_header(header, seed, rng)
    else:
        body = atheris.Mutate(body, max(len(body), 64))
    return (len(header).to_bytes(8, "little") + header + body)[:max_size]


def _seed_corpus(paths: list[str]) -> None:
    # A file argument is one input to replay; a folder argument is a corpus.
    for folder in (path for path in paths if not os.path.isfile(path)):
        os.makedirs(folder, exist_ok=True)
        if not os.listdir(folder):
            for label, data in seed_files().items():
                with open(os.path.join(folder, f"seed-{label}.vx2"), "wb") as stream:
                    stream.write(data)


def main() -> None:
    _seed_corpus([arg for arg in sys.argv[1:] if not arg.startswith("-")])
    print(f"INFO: instrumented {_instrument_reader()} functions of vantle.ir", file=sys.stderr)
    atheris.Setup(sys.argv, check, custom_mutator=mutate)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
