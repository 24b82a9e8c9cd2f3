"""Checks the release files in a folder: the sdist builds what the checkout builds, and the
wheel carries the licence, the four extensions, their stubs and a manylinux tag.

    python scripts/check_dist.py dist
"""

from __future__ import annotations

import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

EXTENSIONS = ("import_ir", "export_ir", "quantize", "dag_tools")
# What a build from the sdist reads; every tracked file under these must be in it.
BUILD_INPUTS = ("csrc/", "src/", "CMakeLists.txt", "pyproject.toml", "LICENSE", "README.md")


def check_sdist(path: Path) -> list[str]:
    with tarfile.open(path) as sdist:
        root, *_ = sdist.getnames()[0].split("/")
        held = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    tracked = subprocess.run(["git", "ls-files", *BUILD_INPUTS], capture_output=True,
                             text=True, check=True).stdout.split()
    missing = sorted(set(tracked) - held)
    return [f"{path.name} lacks {name}" for name in missing] + (
        [] if "PKG-INFO" in held else [f"{path.name} has no PKG-INFO under {root}/"])


def check_wheel(path: Path) -> list[str]:
    problems = []
    platform = path.stem.split("-")[-1]
    if not platform.startswith("manylinux_"):
        problems.append(f"{path.name}: platform tag {platform!r} is no manylinux tag")
    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
    if not any(name.endswith(".dist-info/licenses/LICENSE") for name in names):
        problems.append(f"{path.name} carries no licence file")
    for extension in EXTENSIONS:
        if not any(name.startswith(f"vantle/bridge/{extension}.") and name.endswith(".so")
                   for name in names):
            problems.append(f"{path.name} lacks the {extension} extension")
        if f"vantle/bridge/{extension}.pyi" not in names:
            problems.append(f"{path.name} lacks vantle/bridge/{extension}.pyi")
    return problems


def main(folder: str) -> int:
    sdists = sorted(Path(folder).glob("*.tar.gz"))
    wheels = sorted(Path(folder).glob("*.whl"))
    problems = [] if len(sdists) == 1 and len(wheels) == 1 else [
        f"{folder} should hold one sdist and one wheel, not {[p.name for p in sdists + wheels]}"]
    for sdist in sdists:
        problems += check_sdist(sdist)
    for wheel in wheels:
        problems += check_wheel(wheel)
    for problem in problems:
        print(f"check_dist: {problem}", file=sys.stderr)
    if not problems:
        print("check_dist: " + ", ".join(p.name for p in sdists + wheels) + ": complete")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "dist"))
