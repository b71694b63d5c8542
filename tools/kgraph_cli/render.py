"""Output formats: tables, JSON, and neighbourhood pictures in Graphviz DOT
and Mermaid."""

from __future__ import annotations

import json
import math
import re
import shutil
import sys
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from rich.console import Console
    from rich.table import Table
    from rich.text import Text

# rich (name-value pairs, cell widths of wide characters) is imported when
# needed: --json, DOT and Mermaid output and plain lines start without it.

_CONTROL = {i: " " for i in range(32)} | {0x7F: " "}
_CONTROL_RE = re.compile("[\x00-\x1f\x7f]")
_to_text = json.JSONEncoder(ensure_ascii=False, default=str).encode  # built once: json.dumps builds one a call


def one_line(value: Any) -> str:
    """``value`` as text on one line: each control character (a line break
    among them) becomes one space, so lengths stay as they were."""
    text = value if isinstance(value, str) else _to_text(value)
    return text.translate(_CONTROL) if _CONTROL_RE.search(text) else text


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
        # Cut first: one_line keeps lengths, and a value may be a whole source file.
        shown = _to_text(one_line(shorten(value, value_width)) if isinstance(value, str) else value)
        parts.append(f"{key}={shown}")
    return " ".join(parts)


def _console() -> Console:
    """A console on standard output. On a terminal rich fits tables to its
    width and may colour them; elsewhere (pipes, files, CI) the output is
    plain and as wide as $COLUMNS, else 120 columns."""
    from rich.console import Console

    if sys.stdout.isatty():
        return Console(force_terminal=True, highlight=False, emoji=False)
    return Console(force_terminal=False, width=_width(), highlight=False, emoji=False)


def _width() -> int:
    """The terminal's width; in a pipe or a file $COLUMNS, else 120."""
    return shutil.get_terminal_size((120, 24)).columns


def _cell(value: Any) -> Text:
    # One line per row, whatever the width: a cell that does not fit is cut
    # with "…" rather than wrapped (rows stay greppable).
    from rich.text import Text

    return Text(one_line(value), no_wrap=True, overflow="ellipsis")


# Characters that may take other than one terminal cell (wide, combining,
# zero-width): anything outside these ranges of plain ones. Texts without
# them are measured by their length; the others by rich.
_MAYBE_NOT_ONE_CELL = re.compile("[^\x20-\x7e\xa0-\u02ff\u0370-\u0482\u048a-\u052f\u2010-\u2027\u2030-\u205e]")


def _one_cell_each(text: str) -> bool:
    return text.isascii() or not _MAYBE_NOT_ONE_CELL.search(text)


def _cells(text: str) -> int:
    if _one_cell_each(text):
        return len(text)
    from rich.cells import cell_len

    return cell_len(text)


def _fit(text: str, width: int) -> str:
    """``text`` padded or cut (with "…") to ``width`` terminal cells."""
    plain = _one_cell_each(text)
    n = len(text) if plain else _cells(text)
    if n <= width:
        return text + " " * (width - n)
    if width <= 0:
        return ""
    if plain:
        return text[: width - 1] + "…"
    from rich.cells import set_cell_size

    return set_cell_size(text, width - 1) + "…"


def column_widths(natural: Sequence[int], available: int) -> list[int]:
    """Widths for columns of ``natural`` widths that fit ``available``: the
    widest give way first, down to the next widest, so narrow columns stay
    whole as long as anything else can shrink."""
    widths = list(natural)
    excess = sum(widths) - available
    while excess > 0:
        top = max(widths)
        if top <= 1:
            break
        widest = [i for i, w in enumerate(widths) if w == top]
        below = max([w for w in widths if w < top], default=0)
        # Down to the next widest at most, shared among the widest.
        step = min(top - max(below, 1), -(-excess // len(widest)))
        for i in widest:
            if excess <= 0:
                break
            cut = min(step, excess)
            widths[i] -= cut
            excess -= cut
    return widths


def print_table(headers: Sequence[str], rows: Iterable[Sequence[Any]]) -> None:
    """Prints a table: a header, a rule under it, one line per row, columns
    two spaces apart, fitted to the width (see ``column_widths``); the
    header is bold on a terminal. Written directly rather than laid out by
    rich, which takes about a millisecond a row."""
    body = [[one_line(value) for value in row] for row in rows]
    natural = [max([_cells(header)] + [_cells(row[i]) for row in body]) for i, header in enumerate(headers)]
    gaps = 2 * (len(headers) - 1)
    widths = column_widths(natural, _width() - gaps)
    bold = sys.stdout.isatty()

    def line(cells: Sequence[str]) -> str:
        return "  ".join(_fit(text, width) for text, width in zip(cells, widths)).rstrip()

    head = line(headers)
    out = [f"\x1b[1m{head}\x1b[0m" if bold else head, "─" * (sum(widths) + gaps)]
    write = sys.stdout.write
    write("\n".join(out) + "\n")
    for lo in range(0, len(body), 1000):
        write("".join(line(row) + "\n" for row in body[lo:lo + 1000]))
    sys.stdout.flush()


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
