"""Opening the store for one command, and the few read-only questions the
tool asks the database directly (statistics, dry-run counts)."""

from __future__ import annotations

import logging
import os
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

DB_FILENAME = "kgraph.duckdb"
VECTORS_DIRNAME = "vectors"
STORE_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.duck_graph"
PATH_ENV = "KGRAPH_PATH"
DEFAULT_PATH = "./kgraph-data"


class CommandError(Exception):
    """A failure the user can act on; reported as one line, exit status 1."""


def default_path() -> str:
    return os.environ.get(PATH_ENV) or DEFAULT_PATH


class _ClosedVectorStore:
    """Stands in for the vector store in commands that never touch it, so they
    do not replay the whole persisted vector file at start-up."""

    def add_texts(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError("the vector store is not open in this command")

    def similarity_search_with_score(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError("the vector store is not open in this command")


_opened: tuple[str, bool, Any] | None = None


def open_graph(path: str | os.PathLike[str], *, create: bool, vectors: bool) -> Any:
    """Starts the store on ``path`` (one per process).

    ``vectors``: open the persisted vector store in ``path/vectors`` (needed to
    write facts or search); otherwise a placeholder that refuses use.
    ``create``: a missing database is created; otherwise it is an error.
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
    try:
        graph = module.DuckSqliteGraph(str(directory))
        _opened = (key, vectors, graph)
        return graph
    except Exception as exc:  # InitializationError, OSError from the directory
        cause = getattr(exc, "cause", None) or exc.__cause__
        detail = str(exc)
        if cause is not None and str(cause) and str(cause) not in detail:
            detail = f"{detail} ({cause})"
        if "lock" in detail.lower():
            detail += " -- is another kgraph process using this graph?"
        raise CommandError(detail) from exc


def checkpoint(graph: Any) -> None:
    """Folds the write-ahead log into the database file after a command that
    wrote, so the next command opens the graph without replaying it."""
    try:
        graph.conn.execute("CHECKPOINT")
    except Exception as exc:  # only a missed speed-up
        logging.getLogger("kgraph_cli").debug("checkpoint skipped: %s", exc)


def purge_cutoff(days: int) -> datetime:
    """The cutoff the store's purge computes for ``days``."""
    return datetime.now(timezone.utc) - timedelta(days=days)


def count_facts(graph: Any) -> int:
    (n,) = graph.conn.execute("SELECT count(*) FROM facts").fetchone()
    return int(n)


# A fact of the age the store's own purge cutoff reaches is a candidate: the
# store takes its cutoff a moment after ours, so the candidates reach a minute
# further and the facts that really went are found afterwards.
_CUTOFF_SLACK = timedelta(minutes=1)


def ids_older_than(graph: Any, days: int, *, slack: bool) -> list[str]:
    cutoff = purge_cutoff(days) + (_CUTOFF_SLACK if slack else timedelta(0))
    return [row[0] for row in graph.conn.execute("SELECT id FROM facts WHERE created_at < ?", [cutoff]).fetchall()]


def ids_of_slice(graph: Any, org_id: str, graph_slice_id: str) -> list[str]:
    return [row[0] for row in graph.conn.execute(
        "SELECT id FROM facts WHERE org_id = ? AND json_extract(metadata, '$.graph_slice_id') = to_json(?)",
        [org_id, graph_slice_id]).fetchall()]


def stored_ids(graph: Any, fact_ids: list[str] | None = None) -> set[str]:
    """The identifiers in the table (of ``fact_ids`` only, when given)."""
    if fact_ids is None:
        return {row[0] for row in graph.conn.execute("SELECT id FROM facts").fetchall()}
    if not fact_ids:
        return set()
    return {row[0] for row in graph.conn.execute("SELECT id FROM facts WHERE id IN (SELECT unnest(?))",
                                                 [fact_ids]).fetchall()}


def documents_present(store: Any, ids: list[str]) -> list[str]:
    """Those of ``ids`` whose document the vector store holds."""
    return [doc.id for doc in store.get_by_ids(ids)]


def delete_documents(store: Any, ids: list[str]) -> int:
    """Removes the documents of ``ids``; returns how many there were."""
    present = documents_present(store, ids)
    if present:
        try:
            store.delete(present)
        except Exception as exc:
            raise CommandError(f"the facts are deleted, but removing their {len(present):,} documents from the "
                               f"vector store failed ({exc}); 'kgraph reconcile' removes them later") from exc
    return len(present)


def orphaned_documents(graph: Any) -> list[str]:
    """Documents of the vector store whose fact is no longer in the table."""
    in_table = stored_ids(graph)
    return [doc_id for doc_id in graph.vector_store.ids() if doc_id not in in_table]


def fact_exists(graph: Any, fact_id: str) -> bool:
    return graph.conn.execute("SELECT 1 FROM facts WHERE id = ?", [fact_id]).fetchone() is not None


def _size(path: Path) -> int:
    try:
        return path.stat().st_size
    except OSError:
        return 0


def stats(graph: Any, path: str | os.PathLike[str]) -> dict[str, Any]:
    facts, orgs, users, oldest, newest = graph.conn.execute(
        "SELECT count(*), count(DISTINCT NULLIF(org_id, '')), count(DISTINCT NULLIF(user_id, '')), "
        "min(created_at), max(created_at) FROM facts").fetchone()
    (slices,) = graph.conn.execute(
        "SELECT count(*) FROM (SELECT DISTINCT org_id, json_extract_string(metadata, '$.graph_slice_id') AS s "
        "FROM facts) WHERE s IS NOT NULL").fetchone()
    db_file = Path(graph.db_path)
    vectors = Path(path) / VECTORS_DIRNAME
    return {
        "path": str(Path(path)),
        "facts": int(facts),
        "organisations": int(orgs),
        "users": int(users),
        "slices": int(slices),
        "oldest": None if oldest is None else oldest.isoformat(sep=" ", timespec="seconds"),
        "newest": None if newest is None else newest.isoformat(sep=" ", timespec="seconds"),
        "database_bytes": _size(db_file) + _size(db_file.with_name(db_file.name + ".wal")),
        "vector_store_bytes": sum(_size(f) for f in vectors.glob("vectorstore.*")),
        "vector_documents": len(graph.vector_store),
        "orphaned_documents": len(orphaned_documents(graph)),
    }
