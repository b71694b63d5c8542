"""Opening the store for one command (where the graph is, waiting for another
process's lock, telling a damaged database from a locked one, reading a
graph without writing to it), and the read-only questions the tool asks the
database directly."""

from __future__ import annotations

import json
import logging
import os
import re
import shutil
import tempfile
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

RESTORE_HINT = "restore a backup ('kgraph restore BACKUP_DIR --yes')"
# The commands that work on a graph they cannot write.
READING_COMMANDS = ("search, neighbours, view, fetch, stats, check, export, backup, and purge, delete-context and "
                    "reconcile with --dry-run")

log = logging.getLogger("kgraph_cli")


class CommandError(Exception):
    """A failure the user can act on; reported as one line, exit status 1."""


class DamagedDatabase(CommandError):
    """The database file fails its checksums or is no database at all."""


class ReadOnlyGraph(CommandError):
    """A command that writes met a graph whose files cannot be written."""


class UsageError(Exception):
    """Bad usage found after parsing; exit status 2."""


def expand(path: str | os.PathLike[str]) -> Path:
    return Path(os.path.expanduser(os.fspath(path)))


def default_path() -> Path:
    return expand(os.environ.get(PATH_ENV) or DEFAULT_PATH)


def graph_path(args: Any) -> Path:
    """--path, else $KGRAPH_PATH, else ./kgraph-data; '~' expanded."""
    return expand(args.path) if getattr(args, "path", None) else default_path()


# DuckDB's words for a file lock held by another process, for a file whose
# blocks fail their checksums, that is cut short or that is no database at
# all, and the system's for files that cannot be written.
_LOCKED = re.compile(r"could not set lock on file|conflicting lock is held", re.I)
_DAMAGED = re.compile(r"corrupt database file|not a valid duckdb database file|checksum .* does not match"
                      r"|could not read enough bytes from file", re.I)
_UNWRITABLE = re.compile(r"read-only file system|permission denied", re.I)


def is_locked(detail: str) -> bool:
    return bool(_LOCKED.search(detail))


def is_damaged(detail: str) -> bool:
    return bool(_DAMAGED.search(detail))


def damaged_message(detail: str) -> str:
    return (f"the database file is damaged ({' '.join(detail.split())}); 'kgraph check' tells what else is; "
            f"{RESTORE_HINT}")


def read_only_message(directory: Path, why: str) -> str:
    return (f"the graph at {directory} is read-only ({why}): this command writes to it. The commands that only read "
            f"work on it: {READING_COMMANDS}; or copy it somewhere writable with 'kgraph backup DEST'")


def _unwritable(directory: Path) -> str | None:
    """Why the graph's files cannot be written, or None. As root only a
    read-only file system stops a write, and access() tells that too."""
    vectors = directory / VECTORS_DIRNAME
    for target in (directory, directory / DB_FILENAME, vectors, *vectors.glob("vectorstore.*")):
        if target.exists() and not os.access(target, os.W_OK):
            try:
                read_only = bool(os.statvfs(target).f_flag & os.ST_RDONLY)
            except OSError:
                read_only = False
            return f"{target} is on a read-only file system" if read_only else f"{target} is not writable"
    return None


class _ClosedVectorStore:
    """Stands in for the vector store in commands that never touch it, so they
    do not replay the whole persisted vector file at start-up."""

    def add_texts(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError("the vector store is not open in this command")

    def similarity_search_with_score(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError("the vector store is not open in this command")


_opened: tuple[str, bool, bool, Any] | None = None  # path, vectors open, read-only, the store


def _detail(exc: BaseException) -> str:
    cause = getattr(exc, "cause", None) or exc.__cause__
    detail = str(exc)
    if cause is not None and str(cause) and str(cause) not in detail:
        detail = f"{detail} ({cause})"
    return detail


def open_graph(path: str | os.PathLike[str], *, create: bool, vectors: bool, wait: float = 0.0,
               read_only: bool = False) -> Any:
    """Starts the store on ``path`` (one per process).

    ``vectors``: open the persisted vector store in ``path/vectors`` (needed to
    write facts or search); otherwise a placeholder that refuses use.
    ``create``: a missing database is created; otherwise it is an error.
    ``wait``: seconds to keep trying while another process holds the
    database's lock (polling with growing pauses), instead of failing at once.
    ``read_only``: for commands that only read: the database is opened
    read-only and the vector store without writing, so the graph may sit on
    read-only media and other readers may hold it at the same time.
    Otherwise a graph whose files cannot be written is refused as such.
    """
    directory = Path(path)
    db_file = directory / DB_FILENAME
    if (read_only or not create) and not db_file.is_file():
        raise CommandError(f"no knowledge graph at {directory} (no {DB_FILENAME}); "
                           "fill one with 'kgraph load' or 'kgraph demo', or pick it with --path")
    if directory.exists() and not directory.is_dir():
        raise CommandError(f"{directory} is not a directory")

    global _opened
    key = os.path.abspath(directory)
    if _opened is not None:
        opened_key, opened_vectors, opened_read_only, graph = _opened
        if opened_key == key and (opened_vectors or not vectors) and (read_only or not opened_read_only):
            return graph
        raise CommandError("the store is already open on another path in this process")
    if not read_only:
        why = _unwritable(directory)
        if why is not None:
            raise ReadOnlyGraph(read_only_message(directory, why))

    from corvanta.vectorstores.factory import VectorStoreFactory
    from corvanta.vectorstores.memory import InMemoryVectorStore

    if vectors and read_only:
        VectorStoreFactory.set_store(InMemoryVectorStore(persist_directory=directory / VECTORS_DIRNAME,
                                                         read_only=True))
    elif vectors:
        VectorStoreFactory.configure(persist_directory=directory / VECTORS_DIRNAME)
    else:
        VectorStoreFactory.set_store(_ClosedVectorStore())

    import importlib

    module = importlib.import_module(STORE_MODULE)
    if read_only:
        conn = read_only_connection(directory, wait=wait)
        # The store opens its own database for writing. Started on an empty
        # scratch directory instead, it runs its queries (search, fetch, the
        # walk) on the read-only connection it is given.
        scratch = tempfile.mkdtemp(prefix="kgraph-read-")
        try:
            graph = module.DuckSqliteGraph(scratch)
            graph.conn = conn
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        log.debug("%s opened read-only", db_file)
    else:
        # A start-up that failed is tried again by the next construction.
        graph = _waiting(lambda: module.DuckSqliteGraph(str(directory)), directory, wait, writing=True)
    _opened = (key, vectors, read_only, graph)
    if vectors and getattr(graph.vector_store, "problems", None):
        log.warning("the vector store reported damage in its files (above); 'kgraph check' says what to do")
    return graph


def read_only_connection(directory: Path, *, wait: float = 0.0) -> Any:
    """A read-only DuckDB connection to the graph's database, for a look
    before the store is started (close it: ``with``)."""
    import duckdb

    return _waiting(lambda: duckdb.connect(str(directory / DB_FILENAME), read_only=True), directory, wait,
                    writing=False)


def _waiting(connect: Any, directory: Path, wait: float, *, writing: bool) -> Any:
    """``connect()``, tried again while another process holds the database's
    lock, for up to ``wait`` seconds; its failures as the tool reports them."""
    deadline = time.monotonic() + wait
    pause = 0.05
    while True:
        try:
            return connect()
        except Exception as exc:  # InitializationError, DuckDB's errors, OSError from the directory
            detail = _detail(exc)
            if is_locked(detail):
                left = deadline - time.monotonic()
                if left > 0:
                    time.sleep(min(pause, left))
                    pause = min(pause * 2, 2.0)
                    continue
                waited = f"still locked after waiting {wait:g} s" if wait else \
                    "add --wait SECONDS to wait for it"
                if not writing:
                    waited += "; a graph that another process writes cannot be read meanwhile: see --help of --wait"
                raise CommandError(f"{detail} -- is another kgraph process using this graph? ({waited})") from exc
            if is_damaged(detail):
                raise DamagedDatabase(damaged_message(detail)) from exc
            if writing and _UNWRITABLE.search(detail):
                raise ReadOnlyGraph(read_only_message(directory, " ".join(detail.split()))) from exc
            raise CommandError(detail) from exc


def checkpoint(graph: Any) -> None:
    """Folds the write-ahead log into the database file after a command that
    wrote, so the next command opens the graph without replaying it."""
    try:
        graph.conn.execute("CHECKPOINT")
    except Exception as exc:  # only a missed speed-up
        log.debug("checkpoint skipped: %s", exc)


def _schema(conn: Any, database: str) -> tuple[list[tuple], list[tuple]]:
    tables = conn.execute("SELECT table_name, sql FROM duckdb_tables() WHERE database_name = ? ORDER BY 1",
                          [database]).fetchall()
    indexes = conn.execute("SELECT index_name, sql FROM duckdb_indexes() WHERE database_name = ? ORDER BY 1",
                           [database]).fetchall()
    return tables, indexes


def copy_database(conn: Any, target: Path) -> None:
    """Copies the database of ``conn`` (read-only or not) into the new file
    ``target``: the same tables, rows, constraints and indexes, compared
    with the original before this returns; a copy that differs is removed."""
    for leftover in (target, target.with_name(target.name + ".wal")):
        leftover.unlink(missing_ok=True)
    (name,) = conn.execute("SELECT current_database()").fetchone()
    conn.execute("ATTACH ? AS kgraph_copy (READ_WRITE)", [str(target)])
    try:
        conn.execute(f'COPY FROM DATABASE "{name.replace(chr(34), chr(34) * 2)}" TO kgraph_copy')
        same = _schema(conn, name) == _schema(conn, "kgraph_copy")
        for table, _ in _schema(conn, name)[0]:
            quoted = '"' + table.replace('"', '""') + '"'
            (a,) = conn.execute(f"SELECT count(*) FROM {quoted}").fetchone()
            (b,) = conn.execute(f"SELECT count(*) FROM kgraph_copy.{quoted}").fetchone()
            same = same and a == b
    finally:
        conn.execute("DETACH kgraph_copy")
    if not same:
        target.unlink(missing_ok=True)
        raise CommandError(f"the copy of the database in {target} differs from it; nothing was replaced")


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


def document_metadata(graph: Any, metadata: str | None) -> dict[str, Any] | None:
    """The metadata an upsert gives the document of a fact whose row holds
    ``metadata``: reduced by the store's own ``_clamp_metadata_for_vs`` to
    its ``_VS_META_MAX``; None when the row's metadata is no JSON object."""
    try:
        value = json.loads(metadata) if metadata is not None else {}
        return graph._clamp_metadata_for_vs(value, graph._VS_META_MAX)
    except (ValueError, TypeError):
        return None


def same_metadata(a: Any, b: Any) -> bool:
    # NaN equals nothing, itself included: then the JSON texts decide.
    return a == b or json.dumps(a) == json.dumps(b)


# The store's Compact JSON: what a row's metadata column holds.
_compact_json = json.JSONEncoder(separators=(",", ":")).encode


def is_stale(graph: Any, held: dict[str, Any], row_metadata: str | None) -> bool:
    """Whether a document's metadata ``held`` differ from what its fact's row
    gives (``document_metadata``)."""
    if row_metadata is not None and len(row_metadata) <= graph._VS_META_MAX and row_metadata.isascii():
        # The row holds the metadata's Compact JSON, and within the budget
        # the clamping keeps them whole: the texts decide, unparsed.
        return _compact_json(held) != row_metadata
    want = document_metadata(graph, row_metadata)
    return want is not None and not same_metadata(held, want)


class DocumentGaps:
    """How the table and the vector store disagree: facts without a document
    (their ids), documents without a fact (orphans) and, with ``metadata``,
    documents whose metadata differ from what their fact's row gives them
    (stale: written before the fact was rewritten, by a vector store that
    kept the old document)."""

    def __init__(self, graph: Any, *, keep_missing: bool = True, metadata: bool = True,
                 store: Any = None) -> None:
        store = graph.vector_store if store is None else store
        documents = set(store.ids())
        matched: set[str] = set()
        self.missing: list[str] = []
        self.missing_count = 0
        self.stale: list[str] = []
        self.facts = 0
        sql = f"SELECT id, {'metadata' if metadata else 'NULL'} FROM facts"
        for rows in stream(graph, sql, size=10_000):
            self.facts += len(rows)
            present = []
            for fact_id, meta in rows:
                if fact_id in documents:
                    matched.add(fact_id)
                    present.append((fact_id, meta))
                else:
                    self.missing_count += 1
                    if keep_missing:
                        self.missing.append(fact_id)
            if metadata and present:
                ids = [fact_id for fact_id, _ in present]
                metadata_of = getattr(store, "metadata_of", None)
                held = metadata_of(ids) if metadata_of is not None else [doc.metadata for doc in store.get_by_ids(ids)]
                self.stale += [fact_id for (fact_id, meta), doc_meta in zip(present, held)
                               if is_stale(graph, doc_meta, meta)]
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
