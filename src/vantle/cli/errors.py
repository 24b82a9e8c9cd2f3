"""The one kind of error the command-line tool reports: a message, printed as one line."""

from __future__ import annotations


class CliError(Exception):
    """A failure to report as ``vantle-bridge: error: <message>`` with exit code 1."""


def one_line(error: BaseException) -> str:
    """The first line of an exception's text (torch errors can span many), or its type name."""
    text = str(error).strip()
    if isinstance(error, KeyError) and len(error.args) == 1:
        text = f"missing key {error.args[0]!r}"
    first = text.splitlines()[0] if text else ""
    return first or type(error).__name__
