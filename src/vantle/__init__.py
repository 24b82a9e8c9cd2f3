"""vantle: the bridge between PyTorch models and the VANTLE IR."""

__version__ = "0.1.0"
