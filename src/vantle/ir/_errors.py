"""The reader's error type and the helpers that keep its messages short and its parsing bounded."""

from __future__ import annotations

import json
import reprlib
import sys
from typing import Any

# Values quoted in a message are cut to this many characters: a hostile file may hold megabytes
# where a short value belongs, and the message should still fit on a screen.
_QUOTE_LIMIT = 80
# reprlib elides as it goes, so quoting a huge value costs no more than quoting a small one.
_REPR = reprlib.Repr()
_REPR.maxlevel, _REPR.maxlist, _REPR.maxdict, _REPR.maxstring, _REPR.maxlong = 3, 6, 4, 60, 30


class FormatError(Exception):
    """A malformed file; the reader prefixes the message with the path."""


def brief(value: Any) -> str:
    """A short repr of ``value``: long strings, containers and numbers are elided."""
    text = _REPR.repr(value)
    if len(text) <= _QUOTE_LIMIT:
        return text
    return text[: _QUOTE_LIMIT - 3] + "..."


def strict_json(text: str) -> Any:
    """Parse JSON, refusing duplicate keys and the non-standard NaN/Infinity literals.

    Integer literals longer than the interpreter converts by default (its guard against
    conversions whose time grows with the square of the length) are reported as such.
    """

    def unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
        result = dict(pairs)
        if len(result) != len(pairs):  # rare: only then look for the repeated key
            seen: set[str] = set()
            for key, _ in pairs:
                if key in seen:
                    raise FormatError(f"duplicate JSON key {brief(key)}")
                seen.add(key)
        return result

    def no_constant(name: str) -> Any:
        raise FormatError(f"non-standard JSON constant {name}")

    try:
        return json.loads(text, object_pairs_hook=unique_keys, parse_constant=no_constant)
    except json.JSONDecodeError:
        raise
    except ValueError as err:
        if "integer string conversion" not in str(err):
            raise
        limit = getattr(sys, "get_int_max_str_digits", lambda: 0)()
        raise FormatError(f"integer literal of more than {limit} digits") from err
