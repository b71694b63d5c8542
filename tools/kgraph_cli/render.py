"""Output formats: tables (drawn by rich), JSON, and neighbourhood pictures in
Graphviz DOT and Mermaid."""

from __future__ import annotations

import json
import math
import shutil
import sys
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from rich.console import Console
    from rich.table import Table
    from rich.text import Text

# rich is imported when a table is drawn: --json, DOT and Mermaid output and
# the commands that print lines start without it.

_CONTROL = {i: " " for i in range(32)} | {0x7F: " "}


def one_line(value: Any) -> str:
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False, default=str)
    return text.translate(_CONTROL)


def shorten(text: str, width: int) -> str:
    if width <= 0:
        return ""
    return text if len(text) <= width else text[: max(0, width - 1)] + "…"


def summarise_metadata(metadata: Any, value_width: int = 40, skip: Iterable[str] = ()) -> str:
    """Metadata on one line, long texts cut (code and docstrings are big),
    without the keys in ``skip`` (those the reader knows already)."""
    if not isinstance(metadata, dict):
        return one_line(metadata)
    parts = []
    skip = set(skip)
    for key, value in metadata.items():
        if key in skip:
            continue
        shown = json.dumps(shorten(one_line(value), value_width) if isinstance(value, str) else value,
                           ensure_ascii=False, default=str)
        parts.append(f"{key}={shown}")
    return " ".join(parts)


def _console() -> Console:
    """A console on standard output. On a terminal rich fits tables to its
    width and may colour them; elsewhere (pipes, files, CI) the output is
    plain and as wide as $COLUMNS, else 120 columns."""
    from rich.console import Console

    if sys.stdout.isatty():
        return Console(force_terminal=True, highlight=False, emoji=False)
    return Console(force_terminal=False, width=shutil.get_terminal_size((120, 24)).columns,
                   highlight=False, emoji=False)


def _cell(value: Any) -> Text:
    # One line per row, whatever the width: a cell that does not fit is cut
    # with "…" rather than wrapped (rows stay greppable). The columns still
    # count as wrappable, so that the widest give way first.
    from rich.text import Text

    return Text(one_line(value), no_wrap=True, overflow="ellipsis")


def print_table(headers: Sequence[str], rows: Iterable[Sequence[Any]]) -> None:
    """Prints a table: a header, a rule under it, one line per row."""
    from rich import box
    from rich.table import Table

    grid = Table(box=box.SIMPLE_HEAD, show_edge=False, pad_edge=False)
    for header in headers:
        grid.add_column(header)
    for row in rows:
        grid.add_row(*map(_cell, row))
    _print(grid)


def print_pairs(pairs: Iterable[tuple[str, Any]]) -> None:
    """Prints names and values in two aligned columns."""
    from rich.table import Table

    grid = Table.grid(padding=(0, 2))
    for key, value in pairs:
        grid.add_row(_cell(key), _cell("-" if value is None else value))
    _print(grid)


def _print(renderable: Table) -> None:
    # rich pads every cell to its column's width; lines end where their text does.
    console = _console()
    with console.capture() as captured:
        console.print(renderable)
    sys.stdout.write("".join(line.rstrip() + "\n" for line in captured.get().splitlines()))
    sys.stdout.flush()


def emit(text: str) -> None:
    print(text, flush=True)


def finite(value: Any) -> Any:
    """``value`` with every NaN and infinity replaced by None: strict JSON
    has no words for them, and parsers that follow it refuse the output."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    return value


def to_json(value: Any, *, indent: int | None = 2) -> str:
    """Strict JSON; NaN and infinities (metadata may hold them) become null."""
    separators = None if indent else (",", ":")
    try:
        return json.dumps(value, ensure_ascii=False, indent=indent, default=str, allow_nan=False,
                          separators=separators)
    except ValueError:
        return json.dumps(finite(value), ensure_ascii=False, indent=indent, default=str, allow_nan=False,
                          separators=separators)


def format_bytes(n: int) -> str:
    size = float(n)
    for unit in ("B", "kB", "MB", "GB"):
        if size < 1000 or unit == "GB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1000
    return f"{n} B"


def plural(n: int, word: str, words: str | None = None) -> str:
    return f"{n:,} {word if n == 1 else (words or word + 's')}"


# -------------------------------------------------------------------- pictures


def distinct_triples(records: Iterable[dict[str, Any]]) -> list[tuple[str, str, str]]:
    """The distinct (subject, predicate, object) of ``records`` in first-seen order."""
    return list(dict.fromkeys((r["subject"], r["predicate"], r["object"]) for r in records))


def _nodes(triples: Sequence[tuple[str, str, str]], entity: str) -> dict[str, str]:
    ids: dict[str, str] = {entity: "n0"}
    for s, _, o in triples:
        for name in (s, o):
            if name not in ids:
                ids[name] = f"n{len(ids)}"
    return ids


def dot_quote(text: str, width: int = 80) -> str:
    """``text`` as a Graphviz quoted string whose label shows it literally."""
    text = shorten(text, width)
    text = text.replace("\\", "\\\\").replace('"', '\\"')
    text = text.replace("\r\n", "\n").replace("\r", "\n").replace("\n", "\\n")
    return f'"{text}"'


def to_dot(triples: Sequence[tuple[str, str, str]], entity: str, *, name: str = "neighbours") -> str:
    ids = _nodes(triples, entity)
    lines = [f"digraph {name} {{",
             "  rankdir=LR;",
             '  node [shape=box, style="rounded", fontname="Helvetica", fontsize=10];',
             '  edge [fontname="Helvetica", fontsize=9];']
    for label, node in ids.items():
        extra = ', style="rounded,filled,bold", fillcolor="#ffe9a8"' if node == "n0" else ""
        lines.append(f"  {node} [label={dot_quote(label)}{extra}];")
    for s, p, o in triples:
        lines.append(f"  {ids[s]} -> {ids[o]} [label={dot_quote(p, 40)}];")
    lines.append("}")
    return "\n".join(lines)


_MERMAID_ESCAPES = {"#": "#35;", '"': "#quot;", "<": "#lt;", ">": "#gt;", "|": "#124;",
                    "`": "#96;", "{": "#123;", "}": "#125;", "[": "#91;", "]": "#93;"}


def mermaid_quote(text: str, width: int = 80) -> str:
    text = shorten(one_line(text), width)
    return '"' + "".join(_MERMAID_ESCAPES.get(ch, ch) for ch in text) + '"'


def to_mermaid(triples: Sequence[tuple[str, str, str]], entity: str) -> str:
    ids = _nodes(triples, entity)
    lines = ["flowchart LR"]
    for label, node in ids.items():
        lines.append(f"  {node}[{mermaid_quote(label)}]")
    for s, p, o in triples:
        lines.append(f"  {ids[s]} -->|{mermaid_quote(p, 40)}| {ids[o]}")
    lines.append("  style n0 stroke-width:3px")
    return "\n".join(lines)
