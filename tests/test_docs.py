"""Every code block of the guides in docs/ runs, in document order: Python blocks in one
namespace per guide, shell blocks with the installed command-line tool on the PATH."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
BLOCK = re.compile(r"^```(python|bash)\n(.*?)^```", re.MULTILINE | re.DOTALL)


# Guides about a peer library that the test command installs beside the package, not with it.
PEERS = {"spikingjelly": "spikingjelly.activation_based"}


@pytest.mark.parametrize("guide", sorted(DOCS.glob("*.md")), ids=lambda path: path.stem)
def test_guide_code_runs(guide, tmp_path, monkeypatch):
    if guide.stem in PEERS:
        pytest.importorskip(PEERS[guide.stem])
    blocks = BLOCK.findall(guide.read_text(encoding="utf-8"))
    assert blocks, f"{guide.name} shows no code"
    monkeypatch.chdir(tmp_path)  # files the guide writes land in a fresh folder
    namespace: dict = {"__name__": f"docs_{guide.stem}"}
    scripts = Path(sys.executable).parent  # where the package installed vantle-bridge
    env = {**os.environ, "PATH": f"{scripts}{os.pathsep}{os.environ.get('PATH', '')}"}
    for number, (language, block) in enumerate(blocks, 1):
        where = f"{guide.name} block {number}"
        if language == "python":
            exec(compile(block, where, "exec"), namespace)  # noqa: S102 - the guides are ours
            continue
        result = subprocess.run(["bash", "-euo", "pipefail", "-c", block], env=env,
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, f"{where}:\n{result.stdout}{result.stderr}"
