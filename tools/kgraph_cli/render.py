"""Output formats: readable tables, JSON, and neighbourhood pictures in
Graphviz DOT and Mermaid."""

from __future__ import annotations

import json
import shutil
from collections.abc import Iterable, Sequence
from typing import Any

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


def table(headers: Sequence[str], rows: Iterable[Sequence[Any]], *, width: int | None = None) -> str:
    """A plain-text table fitted to ``width`` columns (the terminal's by
    default): the widest columns give way first, cut cells end with "…"."""
    cells = [[one_line(c) for c in row] for row in rows]
    if width is None:
        width = shutil.get_terminal_size((120, 24)).columns
    ncols = len(headers)
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(headers)]
    gap = 2
    budget = max(width - gap * (ncols - 1), ncols * 4)
    if sum(widths) > budget:
        # Cap every column at the same width, as large as still fits: narrow
        # columns stay whole, the wide ones share the cut.
        cap = max(widths)
        while cap > 4 and sum(min(w, cap) for w in widths) > budget:
            cap -= 1
        widths = [min(w, cap) for w in widths]
    lines = ["  ".join(shorten(h, w).ljust(w) for h, w in zip(headers, widths)).rstrip(),
             "  ".join("-" * w for w in widths)]
    for row in cells:
        lines.append("  ".join(shorten(c, w).ljust(w) for c, w in zip(row, widths)).rstrip())
    return "\n".join(lines)


def key_values(pairs: Iterable[tuple[str, Any]]) -> str:
    pairs = list(pairs)
    w = max((len(k) for k, _ in pairs), default=0)
    return "\n".join(f"{k.ljust(w)}  {'-' if v is None else v}" for k, v in pairs)


def to_json(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, indent=2, default=str)


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
