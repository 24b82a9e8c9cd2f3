"""Plain-text tables for the reports the bridge prints."""

from __future__ import annotations

from typing import List, Sequence


def text_table(rows: Sequence[Sequence[str]], rule: bool = False) -> List[str]:
    """The rows as lines of left-aligned columns two spaces apart, trailing spaces cut;
    ``rule`` puts a line of dashes under the first row (the header)."""
    widths = [max(len(row[column]) for row in rows) for column in range(len(rows[0]))]
    lines = ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip()
             for row in rows]
    if rule:
        lines.insert(1, "  ".join("-" * width for width in widths))
    return lines
