"""Argument types shared by the commands' parsers."""

from __future__ import annotations

import argparse
import json
import re
from typing import Any

_KEY_RE = re.compile(r"[A-Za-z0-9_]+")


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {value}")
    return value


def days(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number of days: {text!r}") from None
    if not 0 <= value <= 365_000:
        raise argparse.ArgumentTypeError(f"must be between 0 and 365000, got {value}")
    return value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 <= value <= 7 * 86_400:
        raise argparse.ArgumentTypeError(f"must be between 0 and 604800 seconds, got {text}")
    return value


def text(value: str) -> str:
    if not value:
        raise argparse.ArgumentTypeError("must not be empty")
    return value


def metadata_filter(value: str) -> tuple[str, Any]:
    key, sep, raw = value.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE or KEY:=JSON, got {value!r}")
    typed = key.endswith(":")
    if typed:
        key = key[:-1]
    if not _KEY_RE.fullmatch(key):
        raise argparse.ArgumentTypeError(
            f"unusable filter key {key!r}: a top-level metadata key of letters, digits and underscores")
    if typed:
        try:
            return key, json.loads(raw)
        except json.JSONDecodeError:
            raise argparse.ArgumentTypeError(f"{key}:= needs a JSON value (42, true, null, \"text\"), "
                                             f"got {raw!r}") from None
    return key, raw
