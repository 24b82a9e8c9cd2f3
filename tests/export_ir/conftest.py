"""Fixtures for the export tests."""

from __future__ import annotations

import pytest
import torch

from vantle.bridge import export_ir as export_module


@pytest.fixture
def fresh_cache():
    """Restores the module's class cache after a test that replaces it."""
    saved = export_module._CACHED_TYPES
    yield
    export_module._CACHED_TYPES = saved


@pytest.fixture
def sample4() -> torch.Tensor:
    return torch.randn(2, 4)
