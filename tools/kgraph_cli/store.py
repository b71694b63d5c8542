"""Opening the store for one command (where the graph is, waiting for another
process's lock, telling a damaged database from a locked one), and the
read-only questions the tool asks the database directly."""

from __future__ import annotations

import logging
import os
import re
import time
from collections.abc import Iterator, Sequence
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

DB_FILENAME = "kgraph.duckdb"
VECTORS_DIRNAME = "vectors"
STORE_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.duck_graph"
PATH_ENV = "KGRAPH_PATH"
DEFAULT_PATH = "./kgraph-data"
PENDING_TABLE = "pending_vector_deletions"

RESTORE_HINT = "restore a backup ('kgraph restore DIR')"

log = logging.getLogger("kgraph_cli")


class CommandError(Exception):
    """A failure the user can act on; reported as one line, exit status 1."""


class DamagedDatabase(CommandError):
    """The database file fails its checksums or is no database at all."""


class UsageError(Exception):
    """Bad usage found after parsing; exit status 2."""


def expand(path: str | os.PathLike[str]) -> Path:
    return Path(os.path.expanduser(os.fspath(path)))


def default_path() -> Path:
    return expand(os.environ.get(PATH_ENV) or DEFAULT_PATH)


def graph_path(args: Any) -> Path:
    """--path, else $KGRAPH_PATH, else ./kgraph-data; '~' expanded."""
    return expand(args.path) if getattr(args, "path", None) else default_path()


# DuckDB's words for a file lock held by another process, and for a file
# whose blocks fail their checksums or that is no database at all.
_LOCKED = re.compile(r"could not set lock on file|conflicting lock is held", re.I)
_DAMAGED = re.compile(r"corrupt database file|not a valid duckdb database file|checksum .* does not match", re.I)


def is_locked(detail: str) -> bool:
    return bool(_LOCKED.search(detail))


def is_damaged(detail: str) -> bool:
    return bool(_DAMAGED.search(detail))


def damaged_message(detail: str) -> str:
    return f"the database file is damaged ({' '.join(detail.split())}); {RESTORE_HINT}"


class _ClosedVectorStore:
    """Stands in for the vector store in commands that never touch it, so they
    do not replay the whole persisted vector file at start-up."""

    def add_texts(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError("the vector store is not open in this command")

    def similarity_search_with_score(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError("the vector store is not open in this command")


_opened: tuple[str, bool, Any] | None = None


def _detail(exc: BaseException) -> str:
    cause = getattr(exc, "cause", None) or exc.__cause__
    detail = str(exc)
    if cause is not None and str(cause) and str(cause) not in detail:
        detail = f"{detail} ({cause})"
    return detail


def open_graph(path: str | os.PathLike[str], *, create: bool, vectors: bool, wait: float = 0.0) -> Any:
    """Starts the store on ``path`` (one per process).

    ``vectors``: open the persisted vector store in ``path/vectors`` (needed to
    write facts or search); otherwise a placeholder that refuses use.
    ``create``: a missing database is created; otherwise it is an error.
    ``wait``: seconds to keep trying while another process holds the
    database's lock (polling with growing pauses), instead of failing at once.
    """
    directory = Path(path)
    db_file = directory / DB_FILENAME
    if not create and not db_file.is_file():
        raise CommandError(f"no knowledge graph at {directory} (no {DB_FILENAME}); "
                           "fill one with 'kgraph load' or 'kgraph demo', or pick it with --path")
    if directory.exists() and not directory.is_dir():
        raise CommandError(f"{directory} is not a directory")

    global _opened
    key = os.path.abspath(directory)
    if _opened is not None:
        opened_key, opened_vectors, graph = _opened
        if opened_key == key and (opened_vectors or not vectors):
            return graph
        raise CommandError("the store is already open on another path in this process")

    from corvanta.vectorstores.factory import VectorStoreFactory

    if vectors:
        VectorStoreFactory.configure(persist_directory=directory / VECTORS_DIRNAME)
    else:
        VectorStoreFactory.set_store(_ClosedVectorStore())

    import importlib

    module = importlib.import_module(STORE_MODULE)
    deadline = time.monotonic() + wait
    pause = 0.05
    while True:
        try:
            # A start-up that failed is tried again by the next construction.
            graph = module.DuckSqliteGraph(str(directory))
        except Exception as exc:  # InitializationError, OSError from the directory
            detail = _detail(exc)
            if is_locked(detail):
                left = deadline - time.monotonic()
                if left > 0:
                    time.sleep(min(pause, left))
                    pause = min(pause * 2, 2.0)
                    continue
                waited = f"still locked after waiting {wait:g} s" if wait else \
                    "add --wait SECONDS to wait for it"
                raise CommandError(f"{detail} -- is another kgraph process using this graph? ({waited})") from exc
            if is_damaged(detail):
                raise DamagedDatabase(damaged_message(detail)) from exc
            raise CommandError(detail) from exc
        _opened = (key, vectors, graph)
        if vectors and getattr(graph.vector_store, "problems", None):
            log.warning("the vector store reported damage in its files (above); 'kgraph check' says what to do")
        return graph


def checkpoint(graph: Any) -> None:
    """Folds the write-ahead log into the database file after a command that
    wrote, so the next command opens the graph without replaying it."""
    try:
        graph.conn.execute("CHECKPOINT")
    except Exception as exc:  # only a missed speed-up
        log.debug("checkpoint skipped: %s", exc)


def purge_cutoff(days: int) -> datetime:
    """The cutoff the store's purge computes for ``days``."""
    return datetime.now(timezone.utc) - timedelta(days=days)


def count_facts(graph: Any) -> int:
    (n,) = graph.conn.execute("SELECT count(*) FROM facts").fetchone()
    return int(n)


def table_exists(graph: Any, name: str) -> bool:
    row = graph.conn.execute("SELECT count(*) FROM duckdb_tables() WHERE database_name = current_database() "
                             "AND schema_name = 'main' AND table_name = ?", [name]).fetchone()
    return bool(row[0])


def pending_deletions(graph: Any) -> int:
    """Ids of deleted facts whose documents are still to be removed (the
    retention module keeps them in a table of their own)."""
    if not table_exists(graph, PENDING_TABLE):
        return 0
    (n,) = graph.conn.execute(f"SELECT count(*) FROM {PENDING_TABLE}").fetchone()
    return int(n)


def pending_ids(graph: Any) -> set[str]:
    """The ids of those deleted facts."""
    if not table_exists(graph, PENDING_TABLE):
        return set()
    return {row[0] for rows in stream(graph, f"SELECT id FROM {PENDING_TABLE}") for row in rows}


def stream(graph: Any, sql: str, params: Sequence[Any] = (), size: int = 10_000) -> Iterator[list[tuple]]:
    """The rows of ``sql`` in chunks of ``size``, on a cursor of their own
    (the result is never held whole)."""
    cursor = graph.conn.cursor()
    try:
        cursor.execute(sql, list(params))
        while rows := cursor.fetchmany(size):
            yield rows
    finally:
        cursor.close()


def ids_older_than(graph: Any, days: int) -> list[str]:
    return [row[0] for row in graph.conn.execute("SELECT id FROM facts WHERE created_at < ?",
                                                 [purge_cutoff(days)]).fetchall()]


def ids_of_slice(graph: Any, org_id: str, graph_slice_id: str) -> list[str]:
    return [row[0] for row in graph.conn.execute(
        "SELECT id FROM facts WHERE org_id = ? AND json_extract(metadata, '$.graph_slice_id') = to_json(?)",
        [org_id, graph_slice_id]).fetchall()]


def fact_exists(graph: Any, fact_id: str) -> bool:
    return graph.conn.execute("SELECT 1 FROM facts WHERE id = ?", [fact_id]).fetchone() is not None


def documents_present(store: Any, ids: list[str]) -> list[str]:
    """Those of ``ids`` whose document the vector store holds."""
    return [doc.id for doc in store.get_by_ids(ids)]


class DocumentGaps:
    """How the table and the vector store disagree: facts without a document
    (their ids) and documents without a fact (orphans)."""

    def __init__(self, graph: Any, *, keep_missing: bool = True) -> None:
        documents = set(graph.vector_store.ids())
        matched: set[str] = set()
        self.missing: list[str] = []
        self.missing_count = 0
        self.facts = 0
        for rows in stream(graph, "SELECT id FROM facts", size=50_000):
            self.facts += len(rows)
            for (fact_id,) in rows:
                if fact_id in documents:
                    matched.add(fact_id)
                else:
                    self.missing_count += 1
                    if keep_missing:
                        self.missing.append(fact_id)
        self.documents = len(documents)
        self.orphans = [doc_id for doc_id in documents if doc_id not in matched] \
            if len(matched) != len(documents) else []


def file_size(path: Path) -> int:
    try:
        return path.stat().st_size
    except OSError:
        return 0


def database_bytes(directory: Path) -> int:
    db_file = directory / DB_FILENAME
    return file_size(db_file) + file_size(db_file.with_name(db_file.name + ".wal"))


def vector_store_bytes(directory: Path) -> int:
    return sum(file_size(f) for f in (directory / VECTORS_DIRNAME).glob("vectorstore.*"))
