"""The stubs describe the compiled modules exactly, inspect reads real signatures from them
while calls reach the compiled code directly, and the examples type-check against them."""

from __future__ import annotations

import ast
import importlib
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "vantle" / "bridge"
MODULES = ["import_ir", "export_ir", "quantize", "dag_tools"]


def public_objects(module):
    """The module's own public functions and classes (not the names it imports)."""
    return {name: value for name, value in vars(module).items()
            if not name.startswith("_") and getattr(value, "__module__", None) == module.__name__}


def stub_tree(name: str) -> ast.Module:
    return ast.parse((PACKAGE / f"{name}.pyi").read_text(encoding="utf-8"))


def compiled_parameters(function):
    """(name, default) pairs of the compiled function behind a signed one."""
    compiled = function.__wrapped__
    text, _, defaults = compiled.__nb_signature__[0]
    listed = text[text.index("(") + 1:text.rindex(") ->")]
    parameters = []
    for item in re.split(r", (?![^\[]*\])", listed):
        match = re.match(r"\*{0,2}(\w+)(?:: [^=]+)?(?: = \\(\d+))?$", item.strip())
        assert match, item
        name, index = match.groups()
        parameters.append((name, defaults[int(index)] if index else inspect.Parameter.empty))
    return parameters


def callables(module, tree: ast.Module):
    """Every function and method the stub declares, as the module holds it."""
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, getattr(module, node.name)
        elif isinstance(node, ast.ClassDef):
            members = vars(getattr(module, node.name))
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name in members:
                    member = members[item.name]
                    yield f"{node.name}.{item.name}", getattr(member, "__func__", member)


def compiled_behind(function) -> bool:
    return hasattr(getattr(function, "__wrapped__", None), "__nb_signature__")


@pytest.mark.parametrize("name", MODULES)
def test_stub_and_module_name_the_same_callables_with_the_same_parameters(name):
    module = importlib.import_module(f"vantle.bridge.{name}")
    tree = stub_tree(name)
    declared = {node.name for node in tree.body
                if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert declared == set(public_objects(module))

    checked = 0
    for qualified, function in callables(module, tree):
        signature = inspect.signature(function)  # raises for a callable without one
        if not compiled_behind(function):
            continue  # a Python-level callable (a dataclass constructor): nothing compiled
        stub = [(p.name, p.default) for p in signature.parameters.values()]
        assert stub == compiled_parameters(function), qualified
        assert all(p.annotation is not inspect.Parameter.empty
                   for p in signature.parameters.values() if p.name not in ("self", "ctx")), \
            qualified
        checked += 1
    assert checked >= 3
    for cls in (v for v in public_objects(module).values() if isinstance(v, type)):
        inspect.signature(cls)  # the constructor's, from its stub


def test_module_calls_reach_the_compiled_forward_without_a_python_frame():
    import numpy as np
    import torch

    from vantle.bridge.import_ir import LIFModule

    lif = LIFModule(*(np.full(3, value, np.float32) for value in (2.0, 1.0, 0.0, 1.0)))
    x = torch.ones(2, 3)
    package = str(Path(importlib.import_module("vantle").__file__).parent)
    between = []  # Python frames of ours: a wrapper, or code made up at import

    def profile(frame, event, arg):
        name = frame.f_code.co_filename
        if event == "call" and (name.startswith(package) or name.startswith("<")):
            between.append(f"{name}:{frame.f_code.co_name}")

    with torch.no_grad():
        for call in (lambda: lif.forward(x), lambda: LIFModule.forward(lif, x),
                     lambda: lif.scan(x[None])):
            sys.setprofile(profile)
            try:
                spikes, _ = call()
            finally:
                sys.setprofile(None)
            assert spikes.shape[-1] == 3
    assert between == []


def test_examples_type_check_against_the_stubs(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run(
        # The examples are checked against the types the package declares; the package's
        # own modules are read for those types, not checked themselves.
        [sys.executable, "-m", "mypy", "--no-incremental", "--ignore-missing-imports",
         "--follow-imports=silent", "--cache-dir", str(tmp_path), str(ROOT / "examples")],
        capture_output=True, text=True, env={**os.environ, "MYPYPATH": str(ROOT / "src")},
    )
    assert result.returncode == 0, result.stdout + result.stderr
