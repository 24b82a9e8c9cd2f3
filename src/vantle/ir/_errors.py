"""The reader's error type and the helpers that keep its messages short and its parsing bounded."""

from __future__ import annotations

import json
from typing import Any, Optional

# Values quoted in a message are cut to this many characters: a hostile file may hold megabytes
# where a short value belongs, and the message should still fit on a screen.
_QUOTE_LIMIT = 80


class FormatError(Exception):
    """A malformed file; the reader prefixes the message with the path."""


def brief(value: Any) -> str:
    """``repr(value)``, cut to a readable length."""
    text = repr(value)
    if len(text) <= _QUOTE_LIMIT:
        return text
    return f"{text[:_QUOTE_LIMIT]}... ({len(text)} characters)"


def strict_json(text: str, max_digits: Optional[int] = None) -> Any:
    """Parse JSON, refusing duplicate keys and the non-standard NaN/Infinity literals.

    Integer literals longer than ``max_digits`` digits are refused before they are converted:
    turning decimal text into an integer costs time quadratic in its length.
    """

    def unique_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise FormatError(f"duplicate JSON key {brief(key)}")
            seen.add(key)
        return dict(pairs)

    def no_constant(name: str) -> Any:
        raise FormatError(f"non-standard JSON constant {name}")

    def bounded_int(literal: str) -> int:
        digits = len(literal.lstrip("-"))
        if max_digits is not None and digits > max_digits:
            raise FormatError(f"integer of {digits} digits (at most {max_digits} are read)")
        return int(literal)

    return json.loads(
        text, object_pairs_hook=unique_keys, parse_constant=no_constant, parse_int=bounded_int
    )
