"""What fuzzing ``ir.read`` checks, and the files it starts from.

``check`` holds for every input: reading gives a Graph or a ValueError whose message starts with
the path and says what is wrong (the reader's catch-all message counts as a finding, since it
means a malformed file met no check of its own); a file that reads is one the safetensors
library reads as well; a graph read back writes and reads again as itself. Any other exception
is a finding.
"""

from __future__ import annotations

import atexit
import os
import shutil
import sys
import tempfile

import safetensors
import safetensors.numpy

import vantle.ir as ir

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "ir"))
from test_vx2_roundtrip import every_kind_graph  # noqa: E402

# The reader's last line of defence: a message of this form means no check caught the fault.
CATCH_ALL = "malformed vx2 file ("


# Writing flushes to the disk; in memory-backed storage that costs nothing.
MEMORY_FOLDER = "/dev/shm" if os.path.isdir("/dev/shm") else None


def _scratch_folder() -> str:
    # Each input becomes a file here. A fuzzing process ends without running exit handlers, so
    # its caller names a folder it cleans up itself; otherwise one is made and removed at exit.
    folder = os.environ.get("VX2_FUZZ_SCRATCH")
    if folder:
        return folder
    folder = tempfile.mkdtemp(prefix="vx2-fuzz-", dir=MEMORY_FOLDER)
    atexit.register(shutil.rmtree, folder, True)
    return folder


_FOLDER = _scratch_folder()
_INPUT = os.path.join(_FOLDER, "input.vx2")
_AGAIN = os.path.join(_FOLDER, "again.vx2")


def seed_files() -> dict[str, bytes]:
    """Writer-made files: each node kind alone (every value form the codec has) and all together."""
    whole = every_kind_graph()
    graphs = {"all-kinds": whole}
    for name, node in whole.nodes.items():
        graphs[node.kind] = ir.Graph(nodes={name: node}, edges=[(name, name)])
    files = {}
    for label, graph in graphs.items():
        ir.write(_AGAIN, graph, check=False)  # the format's every value form, complete or not
        with open(_AGAIN, "rb") as stream:
            files[label] = stream.read()
    return files


def check(data: bytes) -> None:
    """Reads ``data`` as a .vx2 file; raises AssertionError (or the escaping error) on a finding."""
    with open(_INPUT, "wb") as stream:
        stream.write(data)
    try:
        graph = ir.read(_INPUT)
    except ValueError as err:
        message = str(err)
        assert message.startswith(f"{_INPUT}: "), f"message does not name the file: {message}"
        assert CATCH_ALL not in message, f"no check caught this: {message}"
        return
    try:
        safetensors.numpy.load(data)
    except safetensors.SafetensorError as err:
        raise AssertionError(f"read a file the container library refuses: {err}") from err
    ir.write(_AGAIN, graph, check=False)
    assert ir.read(_AGAIN) == graph, "a graph read from a file does not survive writing"
