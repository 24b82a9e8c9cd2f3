"""Running the installed ``vantle-bridge`` script from the command-line tests."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path
from typing import Dict, Optional

SCRIPT = Path(sys.executable).with_name("vantle-bridge")


def cli(*args: str, env: Optional[Dict[str, str]] = None) -> subprocess.CompletedProcess:
    """Runs the installed script; stdout and stderr come back as text."""
    return subprocess.run([str(SCRIPT), *map(str, args)], capture_output=True, text=True,
                          timeout=120, env=env, check=False)


def assert_one_line_error(done: subprocess.CompletedProcess, *parts: str) -> None:
    assert done.returncode == 1, done.stderr
    assert "Traceback" not in done.stderr
    lines = [line for line in done.stderr.splitlines() if line.startswith("vantle-bridge: error:")]
    assert len(lines) == 1, done.stderr
    for part in parts:
        assert part in lines[0], lines[0]
