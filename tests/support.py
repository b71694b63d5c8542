"""Test doubles and helpers shared by the suites."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import threading
from typing import Any, Callable

from corvanta.vectorstores.memory import InMemoryVectorStore

MODULE_NAME = "corvanta.kgraph.providers.duckdb_sqlite.duck_graph"


class RecordingVectorStore:
    """A working in-memory vector store that records every call made to it and
    can be told to raise instead of answering (`fail_with`)."""

    def __init__(self) -> None:
        self.inner = InMemoryVectorStore()
        self.calls: list[tuple[str, tuple[Any, ...], dict[str, Any]]] = []
        self.fail_with: BaseException | None = None
        self.search_result: Any = None  # when set, returned by the search as it is
        # Refuse a call holding a stored id, as some vector stores do (the
        # default one replaces the document).
        self.refuse_stored_ids = False

    def add_texts(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(("add_texts", args, kwargs))
        if self.fail_with is not None:
            raise self.fail_with
        known = [doc_id for doc_id in kwargs.get("ids") or () if doc_id in self.inner]
        if self.refuse_stored_ids and known:
            raise ValueError(f"Document with ID {known[0]!r} already exists")
        return self.inner.add_texts(*args, **kwargs)

    def similarity_search_with_score(self, *args: Any, **kwargs: Any) -> Any:
        self.calls.append(("similarity_search_with_score", args, kwargs))
        if self.fail_with is not None:
            raise self.fail_with
        if self.search_result is not None:
            return self.search_result
        return self.inner.similarity_search_with_score(*args, **kwargs)


class NullVectorStore:
    """Accepts everything and keeps nothing: the store's own cost alone."""

    def add_texts(self, texts, metadatas=None, ids=None):
        return ids

    def similarity_search_with_score(self, query, k=4, filter=None):
        return []


def run_python(code: str, *, cwd: str | os.PathLike[str] | None = None, timeout: float = 120,
               env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """Runs `code` in a fresh interpreter (the store is one per process)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=cwd, capture_output=True, text=True, timeout=timeout,
        env={**os.environ, **(env or {})},
    )


def lines_until_sigkill(code: str, *, cwd: str | os.PathLike[str], enough: Callable[[list[str]], bool],
                        deadline: float) -> list[str]:
    """Runs `code` in a fresh interpreter, reads the lines it prints until
    `enough(lines)`, then kills it with SIGKILL; a writer stuck past
    `deadline` seconds is killed sooner and fails the read."""
    writer = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1,
    )
    watchdog = threading.Timer(deadline, writer.kill)
    watchdog.start()
    lines: list[str] = []
    try:
        while not enough(lines):
            line = writer.stdout.readline()
            assert line.endswith("\n"), f"writer ended early: {writer.stderr.read()}"
            lines.append(line.strip())
    finally:
        watchdog.cancel()
        os.kill(writer.pid, signal.SIGKILL)
        writer.wait(timeout=10)
        writer.stdout.close()
        writer.stderr.close()
    assert writer.returncode == -signal.SIGKILL
    return lines
