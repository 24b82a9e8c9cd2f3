"""PyTorch <-> VANTLE IR bridge.

The four compiled modules live beside this file: ``import_ir``, ``export_ir``,
``quantize`` and ``dag_tools``. ``GraphExecutor`` runs an imported module
dictionary along the graph's edges.
"""

from typing import Any

__all__ = ["GraphExecutor"]


def __getattr__(name: str) -> Any:
    # Loaded on first use so that `import vantle.bridge.dag_tools` does not pull in torch.
    if name == "GraphExecutor":
        from vantle.bridge.executor import GraphExecutor

        return GraphExecutor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
