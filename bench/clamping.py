"""Metadata clamping: the store's `_clamp_metadata_for_vs` against the plain
rendition that re-serialises the whole copy on every pass, side by side."""

from __future__ import annotations

import importlib
import json
from typing import Any

from _common import MODULE_NAME, VS_META_MAX, interleaved
from plain_clamp import plain_clamp

_CODE_LINES = [
    "def parse(text: str, *, strict: bool = False) -> dict[str, object]:\n",
    "    \"\"\"Parse one record; quotes \\\" and backslashes \\\\ stay.\"\"\"\n",
    "\tfor i, ch in enumerate(text):  # tabs, too\n",
    "        if ch in '{[(' and not strict:\n",
    "            raise ValueError(f\"unexpected {ch!r} at {i}\")\r\n",
    "    return {'name': 'caf\u00e9', 'ok': True, 'emoji': '\U0001f680'}\n",
    "\n",
]


def _text(lines: list[str], size: int) -> str:
    block = "".join(lines)
    return (block * (size // len(block) + 1))[:size]


def sample_metadata() -> dict[str, Any]:
    """A code fact: 1 MB of source in "code_content" and a 200 KB docstring,
    with quotes, backslashes, control characters and non-ASCII text."""
    doc_lines = ["Returns the parsed record. Na\u00efve inputs are rejected.\n",
                 "See also: \u2192 parse_many, \u201cstrict\u201d mode.\n"]
    return {
        "user_id": "user-01-00",
        "org_id": "org-01",
        "graph_slice_id": "repo-main",
        "path": "src/records/parse.py",
        "language": "python",
        "line": 120,
        "code_content": _text(_CODE_LINES, 1_000_000),
        "docstring": _text(doc_lines, 200_000),
    }


def run(reps: int) -> dict[str, Any]:
    module = importlib.import_module(MODULE_NAME)
    clamp = module.DuckSqliteGraph._clamp_metadata_for_vs
    md = sample_metadata()
    ours = clamp(md, VS_META_MAX)
    plain = plain_clamp(md, VS_META_MAX)
    passes, probe = 0, dict(md)
    while len(json.dumps(probe, separators=(",", ":"))) > VS_META_MAX:
        key = max((k for k, v in probe.items() if isinstance(v, str)), key=lambda k: len(probe[k]))
        if len(probe[key]) <= 64:
            break
        probe[key] = probe[key][: len(probe[key]) // 2] + "\u2026"
        passes += 1
    med = interleaved({"store": lambda i: clamp(md, VS_META_MAX), "plain": lambda i: plain_clamp(md, VS_META_MAX)},
                      reps=reps, inner=3)
    return {
        "input_bytes": len(json.dumps(md, separators=(",", ":"))),
        "result_bytes": len(json.dumps(ours, separators=(",", ":"))),
        "passes": passes,
        "equal": ours == plain and list(ours) == list(plain),
        "store_us": med["store"],
        "plain_us": med["plain"],
        "speedup": med["plain"] / med["store"],
    }
