"""Every Python code block of the guides in docs/ runs, in order, one namespace per guide."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


@pytest.mark.parametrize("guide", sorted(DOCS.glob("*.md")), ids=lambda path: path.stem)
def test_guide_code_runs(guide, tmp_path, monkeypatch):
    blocks = BLOCK.findall(guide.read_text(encoding="utf-8"))
    assert blocks, f"{guide.name} shows no Python code"
    monkeypatch.chdir(tmp_path)  # files the guide writes land in a fresh folder
    namespace: dict = {"__name__": f"docs_{guide.stem}"}
    for number, block in enumerate(blocks, 1):
        code = compile(block, f"{guide.name} block {number}", "exec")
        exec(code, namespace)  # noqa: S102 - the guides are ours
