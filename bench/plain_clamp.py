"""The plain rendition of metadata clamping: re-serialise the whole copy on
every pass. The clamping benchmark measures the store against it."""

from __future__ import annotations

import json
from typing import Any

HALVING_FLOOR = 64
CUT_MARK = "\u2026"
DROPPED_LAST = ("code_content", "docstring")


def plain_clamp(metadata: dict[str, Any], max_bytes: int) -> dict[str, Any]:
    compact = dict(metadata)
    while True:
        blob = json.dumps(compact, separators=(",", ":")).encode("utf-8")
        if len(blob) <= max_bytes:
            return compact
        biggest_key, biggest_len = None, 0
        for key, value in compact.items():
            if isinstance(value, str) and len(value) > biggest_len:
                biggest_key, biggest_len = key, len(value)
        if biggest_key is None or biggest_len <= HALVING_FLOOR:
            for drop_key in DROPPED_LAST:
                compact.pop(drop_key, None)
            return compact
        compact[biggest_key] = compact[biggest_key][: biggest_len // 2] + CUT_MARK
