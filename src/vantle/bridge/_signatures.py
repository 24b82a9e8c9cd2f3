"""Real signatures for the compiled modules' callables, taken from their stubs.

The C++ functions carry only untyped parameter lists, which ``inspect.signature`` cannot
read. Each compiled module calls :func:`publish` once it is loaded: every function and
method its ``.pyi`` stub declares is replaced by the same compiled callable, signed: held
in a small compiled object that forwards each call directly (no Python frame between) and
carries the stub's parameters, defaults and annotations as ``__signature__``. The stub is
thereby the one description of the interface that editors, type checkers and ``inspect``
all read.
"""

from __future__ import annotations

import ast
import importlib
import inspect
import sys
from pathlib import Path
from types import ModuleType
from typing import Any, Callable, Dict, List, Optional

__all__ = ["publish"]

Sign = Callable[[Any, Dict[str, Any]], Any]


def publish(module: ModuleType, sign: Sign) -> None:
    """Give the compiled callables of ``module`` the signatures of its stub (a missing stub:
    none); ``sign(callable, attributes)`` makes the signed object."""
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
            setattr(module, node.name,
                    sign(target, _attributes(target, node, namespace, module.__name__)))
        elif isinstance(node, ast.ClassDef) and isinstance(target, type):
            _publish_methods(target, node, namespace, module.__name__, sign)


def _stub_namespace(tree: ast.Module, module: ModuleType) -> Dict[str, Any]:
    """What the stub's annotations and defaults name: its imports and type aliases, and the
    module's own classes."""
    namespace: Dict[str, Any] = {}
    for node in tree.body:
        if isinstance(node, ast.Import):
            for alias in node.names:
                top = importlib.import_module(alias.name.partition(".")[0])
                namespace[alias.asname or top.__name__] = (
                    importlib.import_module(alias.name) if alias.asname else top)
        elif isinstance(node, ast.ImportFrom) and node.module is not None:
            source = importlib.import_module(node.module)
            for alias in node.names:
                namespace[alias.asname or alias.name] = (
                    getattr(source, alias.name) if hasattr(source, alias.name)
                    else importlib.import_module(f"{node.module}.{alias.name}"))
        elif isinstance(node, ast.Assign):  # a type alias
            value = _evaluate(node.value, namespace)
            for target in node.targets:
                if isinstance(target, ast.Name):
                    namespace[target.id] = value
        elif isinstance(node, ast.ClassDef) and node.name in module.__dict__:
            namespace[node.name] = module.__dict__[node.name]
    return namespace


def _compiled(value: Any) -> bool:
    # The binding library's functions list their C++ overloads here.
    return callable(value) and hasattr(value, "__nb_signature__")


def _publish_methods(cls: type, node: ast.ClassDef, namespace: Dict[str, Any], module: str,
                     sign: Sign) -> None:
    for item in node.body:
        if not isinstance(item, ast.FunctionDef):
            continue
        current = cls.__dict__.get(item.name)
        # A static method stays one; an instance method is held as its function, which the
        # signed object binds like a Python function does.
        compiled = getattr(current, "__func__", None)
        if not _compiled(compiled):
            continue
        signed = sign(compiled, _attributes(compiled, item, namespace, module, cls.__qualname__))
        setattr(cls, item.name, staticmethod(signed) if isinstance(current, staticmethod)
                else signed)


def _evaluate(expression: Optional[ast.expr], namespace: Dict[str, Any]) -> Any:
    text = ast.unparse(expression) if expression is not None else None
    if text is None:
        return None
    try:
        return eval(text, namespace)  # noqa: S307 - the stub is ours
    except Exception:  # a name only type checkers know: keep the text
        return text


def _attributes(compiled: Any, node: ast.FunctionDef, namespace: Dict[str, Any], module: str,
                owner: str = "") -> Dict[str, Any]:
    """What the signed ``compiled`` carries: the stub's signature and the function's names."""
    signature = _signature(node, namespace)
    annotations = {name: p.annotation for name, p in signature.parameters.items()
                   if p.annotation is not inspect.Parameter.empty}
    if signature.return_annotation is not inspect.Signature.empty:
        annotations["return"] = signature.return_annotation
    return {
        "__signature__": signature,
        "__annotations__": annotations,
        "__name__": node.name,
        "__qualname__": f"{owner}.{node.name}" if owner else node.name,
        "__module__": module,
        "__doc__": _docstring(compiled),
    }


def _signature(node: ast.FunctionDef, namespace: Dict[str, Any]) -> inspect.Signature:
    args = node.args
    empty = inspect.Parameter.empty

    def parameter(arg: ast.arg, kind: Any, default: Optional[ast.expr] = None) -> Any:
        annotation = empty if arg.annotation is None else _evaluate(arg.annotation, namespace)
        value = empty if default is None else _evaluate(default, namespace)
        return inspect.Parameter(arg.arg, kind, default=value, annotation=annotation)

    positional = args.posonlyargs + args.args
    defaults: List[Optional[ast.expr]] = [None] * (len(positional) - len(args.defaults))
    defaults += list(args.defaults)
    parameters = [
        parameter(arg, inspect.Parameter.POSITIONAL_ONLY if index < len(args.posonlyargs)
                  else inspect.Parameter.POSITIONAL_OR_KEYWORD, default)
        for index, (arg, default) in enumerate(zip(positional, defaults))]
    if args.vararg is not None:
        parameters.append(parameter(args.vararg, inspect.Parameter.VAR_POSITIONAL))
    parameters += [parameter(arg, inspect.Parameter.KEYWORD_ONLY, default)
                   for arg, default in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg is not None:
        parameters.append(parameter(args.kwarg, inspect.Parameter.VAR_KEYWORD))
    returns = (inspect.Signature.empty if node.returns is None
               else _evaluate(node.returns, namespace))
    return inspect.Signature(parameters, return_annotation=returns)


def _docstring(compiled: Any) -> Optional[str]:
    """The compiled function's own text, without the generated signature line."""
    signatures = getattr(compiled, "__nb_signature__", None)
    if signatures:
        return signatures[0][1]
    return compiled.__doc__
