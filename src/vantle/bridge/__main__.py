"""``python -m vantle.bridge``: the ``vantle-bridge`` command-line tool (see :mod:`vantle.cli`)."""

import sys

from vantle.cli import build_parser, main

__all__ = ["build_parser", "main"]

if __name__ == "__main__":
    sys.exit(main())
