"""Real signatures for the compiled modules' callables, taken from their stubs.

The C++ functions carry only untyped parameter lists, which ``inspect.signature`` cannot
read. Each compiled module calls :func:`publish` once it is loaded: every function and
method its ``.pyi`` stub declares is replaced by a thin Python function with the stub's
parameters, defaults and annotations, which calls the compiled one. The stub is thereby
the one description of the interface that editors, type checkers and ``inspect`` all read.
"""

from __future__ import annotations

import ast
import sys
from pathlib import Path
from types import ModuleType
from typing import Any, Callable, Dict, List, Optional

__all__ = ["publish"]


def publish(module: ModuleType) -> None:
    """Give the callables of ``module`` the signatures of its stub (a missing stub: none)."""
    # Called while the module loads, before the import machinery sets its __file__:
    # the stub lies beside the package's own files.
    package, _, short_name = module.__name__.rpartition(".")
    stub = Path(str(sys.modules[package].__file__)).with_name(short_name + ".pyi")
    if not stub.is_file():
        return
    tree = ast.parse(stub.read_text(encoding="utf-8"), str(stub))
    namespace = _stub_namespace(tree, module)
    for node in tree.body:
        target = module.__dict__.get(getattr(node, "name", ""))
        if isinstance(node, ast.FunctionDef) and _compiled(target):
            setattr(module, node.name, _wrapper(target, node, namespace, module.__name__))
        elif isinstance(node, ast.ClassDef) and isinstance(target, type):
            _publish_methods(target, node, namespace, module.__name__)


def _stub_namespace(tree: ast.Module, module: ModuleType) -> Dict[str, Any]:
    """What the stub's annotations and defaults name: its imports and type aliases, and the
    module's own classes."""
    namespace: Dict[str, Any] = {}
    header = [node for node in tree.body
              if isinstance(node, (ast.Import, ast.ImportFrom, ast.Assign))]
    exec(compile(ast.Module(body=header, type_ignores=[]), "<stub header>", "exec"),  # noqa: S102
         namespace)
    for node in tree.body:
        if isinstance(node, ast.ClassDef) and node.name in module.__dict__:
            namespace[node.name] = module.__dict__[node.name]
    return namespace


def _compiled(value: Any) -> bool:
    return type(value).__name__ == "nb_func"


def _publish_methods(cls: type, node: ast.ClassDef, namespace: Dict[str, Any],
                     module: str) -> None:
    for item in node.body:
        if not isinstance(item, ast.FunctionDef):
            continue
        current = cls.__dict__.get(item.name)
        if isinstance(current, staticmethod) and _compiled(current.__func__):
            wrapper = _wrapper(current.__func__, item, namespace, module, cls.__qualname__)
            setattr(cls, item.name, staticmethod(wrapper))
        elif type(current).__name__ == "instancemethod" and _compiled(current.__func__):
            setattr(cls, item.name,
                    _wrapper(current.__func__, item, namespace, module, cls.__qualname__))


def _evaluate(expression: Optional[ast.expr], namespace: Dict[str, Any]) -> Any:
    text = ast.unparse(expression) if expression is not None else None
    if text is None:
        return None
    try:
        return eval(text, namespace)  # noqa: S307 - the stub is ours
    except Exception:  # a name only type checkers know: keep the text
        return text


def _wrapper(compiled: Callable[..., Any], node: ast.FunctionDef, namespace: Dict[str, Any],
             module: str, owner: str = "") -> Callable[..., Any]:
    """A Python function with the stub's parameters that calls ``compiled`` with them."""
    args = node.args
    defaults: List[Any] = []

    def parameter(arg: ast.arg, default: Optional[ast.expr]) -> str:
        if default is None:
            return arg.arg
        defaults.append(_evaluate(default, namespace))
        return f"{arg.arg}=__defaults[{len(defaults) - 1}]"

    positional = args.posonlyargs + args.args
    leading: List[Optional[ast.expr]] = [None] * (len(positional) - len(args.defaults))
    params = [parameter(a, d) for a, d in zip(positional, leading + list(args.defaults))]
    passed = [a.arg for a in positional]
    if args.posonlyargs:
        params.insert(len(args.posonlyargs), "/")
    if args.vararg is not None:
        params.append(f"*{args.vararg.arg}")
        passed.append(f"*{args.vararg.arg}")
    elif args.kwonlyargs:
        params.append("*")
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        params.append(parameter(arg, default))
        passed.append(f"{arg.arg}={arg.arg}")
    if args.kwarg is not None:
        params.append(f"**{args.kwarg.arg}")
        passed.append(f"**{args.kwarg.arg}")

    source = (f"def {node.name}({', '.join(params)}):\n"
              f"    return __compiled({', '.join(passed)})\n")
    scope = {"__compiled": compiled, "__defaults": defaults}
    exec(compile(source, f"<{module} stub>", "exec"), scope)  # noqa: S102
    function = scope[node.name]

    annotations = {a.arg: _evaluate(a.annotation, namespace)
                   for a in positional + args.kwonlyargs + [args.vararg, args.kwarg]
                   if a is not None and a.annotation is not None}
    if node.returns is not None:
        annotations["return"] = _evaluate(node.returns, namespace)
    function.__annotations__ = annotations
    function.__module__ = module
    function.__qualname__ = f"{owner}.{node.name}" if owner else node.name
    function.__doc__ = _docstring(compiled)
    function.__globals__.update(namespace)  # typing.get_type_hints resolves names here
    return function


def _docstring(compiled: Any) -> Optional[str]:
    """The compiled function's own text, without the generated signature line."""
    signatures = getattr(compiled, "__nb_signature__", None)
    if signatures:
        return signatures[0][1]
    return compiled.__doc__
