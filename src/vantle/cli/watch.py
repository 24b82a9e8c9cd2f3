"""Forward hooks on an executor's nodes: which node is running, and what each one produced."""

from __future__ import annotations

from typing import Any, Callable, Dict, List, Optional

from torch import nn

Observer = Callable[[str, tuple, Any], None]


class NodeWatch:
    """While entered, knows the node whose module is running and shows each node's output.

    ``current`` is the node whose module was entered and has not returned: after an exception
    inside the graph it names the node that raised. ``observer(node, inputs, output)`` is called
    after every module call.
    """

    def __init__(self, executor: nn.Module, observer: Optional[Observer] = None) -> None:
        self.current: Optional[str] = None
        self._executor = executor
        self._observer = observer
        self._handles: List[Any] = []

    def __enter__(self) -> "NodeWatch":
        names: Dict[str, str] = getattr(self._executor, "_sanitized_names")
        for node, child in names.items():
            module: nn.Module = getattr(self._executor, child)
            self._handles.append(module.register_forward_pre_hook(self._entered(node)))
            self._handles.append(module.register_forward_hook(self._left(node)))
        return self

    def __exit__(self, *exc: object) -> None:
        for handle in self._handles:
            handle.remove()
        self._handles.clear()

    def _entered(self, node: str) -> Callable[[nn.Module, tuple], None]:
        def hook(module: nn.Module, inputs: tuple) -> None:
            self.current = node

        return hook

    def _left(self, node: str) -> Callable[[nn.Module, tuple, Any], None]:
        def hook(module: nn.Module, inputs: tuple, output: Any) -> None:
            self.current = None
            if self._observer is not None:
                self._observer(node, inputs, output)

        return hook
