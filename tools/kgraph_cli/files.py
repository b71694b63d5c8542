"""Copying, checking and swapping the files of a graph."""

from __future__ import annotations

import hashlib
import os
import shutil
from collections.abc import Callable
from pathlib import Path
from typing import BinaryIO

BLOCK = 1 << 20


def _pump(src: BinaryIO, dest: BinaryIO | None, on_block: Callable[[int], None] | None) -> dict[str, object]:
    digest = hashlib.sha256()
    total = 0
    while block := src.read(BLOCK):
        digest.update(block)
        if dest is not None:
            dest.write(block)
        total += len(block)
        if on_block is not None:
            on_block(len(block))
    return {"bytes": total, "sha256": digest.hexdigest()}


def checksum(path: Path, on_block: Callable[[int], None] | None = None) -> dict[str, object]:
    """Size and SHA-256 of a file."""
    with open(path, "rb") as f:
        return _pump(f, None, on_block)


def copy(src: Path, dest: Path, on_block: Callable[[int], None] | None = None) -> dict[str, object]:
    """Copies ``src`` to ``dest`` (on disk when this returns); returns the
    size and SHA-256 of what was copied."""
    dest.parent.mkdir(parents=True, exist_ok=True)
    with open(src, "rb") as f, open(dest, "wb") as out:
        result = _pump(f, out, on_block)
        out.flush()
        os.fsync(out.fileno())
    return result


def sync_file(path: Path) -> None:
    with open(path, "rb") as f:
        os.fsync(f.fileno())


def sync_directory(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def swap_directory(new: Path, target: Path) -> None:
    """Puts the directory ``new`` in the place of ``target`` (which may be
    missing). Two renames: a crash between them leaves ``target`` missing and
    ``new`` complete beside it."""
    old = target.with_name(target.name + ".old")
    shutil.rmtree(old, ignore_errors=True)
    if target.exists():
        os.rename(target, old)
    os.rename(new, target)
    sync_directory(target.parent)
    shutil.rmtree(old, ignore_errors=True)


def remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)


def sql_string(text: str) -> str:
    """``text`` as an SQL string literal (for statements that take no
    parameters, such as ATTACH)."""
    return "'" + text.replace("'", "''") + "'"
