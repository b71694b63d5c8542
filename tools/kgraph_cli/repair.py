"""Putting the graph's two stores in line and in shape: ``reconcile`` (the
documents facts lack are added, orphaned ones removed, pending deletions
delivered), ``reindex`` (the vector store built afresh from the table) and
``compact`` (the space of deleted data reclaimed)."""

from __future__ import annotations

import os
import shutil
import sys
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

from kgraph_cli import files, render
from kgraph_cli.store import (DB_FILENAME, VECTORS_DIRNAME, DocumentGaps, checkpoint, copy_database, count_facts,
                              database_bytes, document_metadata, graph_path, open_graph, pending_deletions, pending_ids,
                              stream, vector_store_bytes)

FACT_COLUMNS = "id, subject, predicate, obj, metadata"
DOCUMENTS_PER_ADD = 1000


def stage(text: str) -> None:
    """A line about a long step, for a person watching (not in pipes or logs)."""
    if sys.stderr.isatty():
        print(f"kgraph: {text}", file=sys.stderr, flush=True)


def add_documents(graph: Any, store: Any, chunks: Iterable[list[tuple]], progress: Any) -> tuple[int, list[str]]:
    """Adds to ``store`` the document an upsert adds for each fact row (id,
    subject, predicate, obj, metadata): the triple text, the stored metadata
    clamped by the store's own ``_clamp_metadata_for_vs`` to its
    ``_VS_META_MAX``, the fact's id. Returns how many were added and the ids
    of facts whose stored metadata is no JSON object (left without one)."""
    texts: list[str] = []
    metas: list[dict[str, Any]] = []
    ids: list[str] = []
    unreadable: list[str] = []
    added = 0

    def flush() -> None:
        nonlocal added
        if ids:
            store.add_texts(texts, metadatas=metas, ids=ids)
            added += len(ids)
            texts.clear()
            metas.clear()
            ids.clear()
            progress.update(done=added + len(unreadable), items=added)

    for rows in chunks:
        for fact_id, subject, predicate, obj, metadata in rows:
            vs_meta = document_metadata(graph, metadata)
            if vs_meta is None:
                unreadable.append(fact_id)
                continue
            texts.append(f"{subject}|{predicate}|{obj}")
            metas.append(vs_meta)
            ids.append(fact_id)
            if len(ids) >= DOCUMENTS_PER_ADD:
                flush()
    flush()
    progress.finish()
    return added, unreadable


def _rows_of(graph: Any, ids: list[str], facts: int) -> Iterator[list[tuple]]:
    """The rows of the facts ``ids`` (of ``facts`` in the table)."""
    if len(ids) * 4 < facts:
        # A few: looked up by id.
        yield from stream(graph, f"SELECT {FACT_COLUMNS} FROM facts WHERE id IN (SELECT unnest(?))",
                          [ids], size=DOCUMENTS_PER_ADD)
        return
    wanted = set(ids)
    for rows in stream(graph, f"SELECT {FACT_COLUMNS} FROM facts", size=DOCUMENTS_PER_ADD):
        yield [row for row in rows if row[0] in wanted]


def deliver_pending(graph: Any, *, dry_run: bool) -> dict[str, int]:
    """Hands the vector deletions that a deletion recorded and did not
    deliver to the vector store (on a dry run only counts them); returns
    ``{"delivered": d, "pending": p}``, ``p`` the ids still pending."""
    if dry_run:
        return {"delivered": 0, "pending": pending_deletions(graph)}
    from corvanta.kgraph.providers.duckdb_sqlite import retention

    return dict(retention.reconcile(graph))


def cmd_reconcile(args: Any) -> int:
    from kgraph_cli.progress import Progress

    graph = open_graph(graph_path(args), create=False, vectors=True, wait=args.wait, read_only=args.dry_run)
    store = graph.vector_store
    # Pending deletions first: their documents are then gone, not orphans.
    pending = deliver_pending(graph, dry_run=args.dry_run)
    gaps = DocumentGaps(graph)
    if args.dry_run and pending["pending"]:
        queued = pending_ids(graph)
        gaps.orphans = [doc_id for doc_id in gaps.orphans if doc_id not in queued]
    removed, added, refreshed, unreadable = len(gaps.orphans), gaps.missing_count, len(gaps.stale), []
    if not args.dry_run:
        if gaps.orphans:
            store.delete(gaps.orphans)
        for ids, label in ((gaps.missing, "adding documents"), (gaps.stale, "refreshing documents")):
            if ids:
                progress = Progress(label, total=len(ids), item_name="documents", every_items=50_000)
                done, left_out = add_documents(graph, store, _rows_of(graph, ids, gaps.facts), progress)
                unreadable += left_out
                if ids is gaps.missing:
                    added = done
                else:
                    refreshed = done
    if args.json:
        render.emit(render.to_json({"dry_run": args.dry_run, "documents_added": added, "documents_removed": removed,
                                    "documents_refreshed": refreshed, "deletions_delivered": pending["delivered"],
                                    "pending_deletions": pending["pending"], "unreadable_metadata": unreadable}))
    else:
        verb = ("would add", "would remove", "would refresh") if args.dry_run else ("added", "removed", "refreshed")
        lines = [f"{verb[0]} {render.plural(added, 'document')} of facts that had none, {verb[1]} "
                 f"{removed:,} documents whose facts are no longer in the table"]
        if refreshed:
            lines.append(f"{verb[2]} {render.plural(refreshed, 'document')} whose metadata differed from their "
                         "facts' (stale)")
        if args.dry_run and pending["pending"]:
            lines.append(f"would deliver {render.plural(pending['pending'], 'pending deletion')} to the vector store")
        elif pending["delivered"]:
            lines.append(f"delivered {render.plural(pending['delivered'], 'pending deletion')} to the vector store")
        if pending["pending"] and not args.dry_run:
            lines.append(f"{render.plural(pending['pending'], 'deletion')} still pending: the vector store did not "
                         "take them (run with -v for its warning); run 'kgraph reconcile' again later")
        if unreadable:
            lines.append(f"{render.plural(len(unreadable), 'fact')} left without a document: the stored metadata is "
                         f"no JSON object (e.g. id {unreadable[0]})")
        render.emit("; ".join(lines))
    return 1 if unreadable or (pending["pending"] and not args.dry_run) else 0


def cmd_reindex(args: Any) -> int:
    from corvanta.vectorstores.factory import VectorStoreFactory

    from kgraph_cli.progress import Progress

    path = graph_path(args)
    graph = open_graph(path, create=False, vectors=False, wait=args.wait)
    target = path / VECTORS_DIRNAME
    fresh = path / (VECTORS_DIRNAME + ".reindex")
    shutil.rmtree(fresh, ignore_errors=True)  # an earlier run cut short
    before = vector_store_bytes(path)
    VectorStoreFactory.configure(persist_directory=fresh)
    store = VectorStoreFactory.get_store()
    progress = Progress("indexing", total=count_facts(graph), item_name="documents", every_items=50_000)
    added, unreadable = add_documents(graph, store, stream(graph, f"SELECT {FACT_COLUMNS} FROM facts",
                                                           size=DOCUMENTS_PER_ADD), progress)
    files.swap_directory(fresh, target)
    result = {"documents": added, "seconds": round(progress.elapsed(), 3), "bytes_before": before,
              "bytes_after": vector_store_bytes(path), "unreadable_metadata": unreadable}
    if args.json:
        render.emit(render.to_json(result))
    else:
        render.emit(f"rebuilt the vector store of {path} from the table: {render.plural(added, 'document')} in "
                    f"{progress.elapsed():.1f} s ({render.format_bytes(before)} before, "
                    f"{render.format_bytes(result['bytes_after'])} now)"
                    + (f"; {render.plural(len(unreadable), 'fact')} left out: the stored metadata is no JSON "
                       f"object (e.g. id {unreadable[0]})" if unreadable else ""))
    return 1 if unreadable else 0


def compact_database(graph: Any, path: Path) -> None:
    """Copies the database into a fresh file (tables, their rows, constraints
    and indexes as they are) and puts it in the old one's place while this
    process still holds the old file's lock; the store's connection is closed
    afterwards, so this is a command's last step."""
    conn = graph.conn
    conn.execute("CHECKPOINT")
    db_file = path / DB_FILENAME
    fresh = path / (DB_FILENAME + ".compact")
    copy_database(conn, fresh)
    files.sync_file(fresh)
    os.replace(fresh, db_file)
    files.sync_directory(path)
    conn.close()


def cmd_compact(args: Any) -> int:
    path = graph_path(args)
    graph = open_graph(path, create=False, vectors=True, wait=args.wait)
    db_before, vs_before = database_bytes(path), vector_store_bytes(path)
    facts, documents = count_facts(graph), len(graph.vector_store)
    store = graph.vector_store
    if hasattr(store, "compact"):
        stage(f"compacting the vector store ({render.plural(documents, 'document')})")
        store.compact()
    stage(f"compacting the database ({render.plural(facts, 'fact')})")
    compact_database(graph, path)
    result = {"facts": facts, "documents": documents, "database_bytes_before": db_before,
              "database_bytes_after": database_bytes(path), "vector_store_bytes_before": vs_before,
              "vector_store_bytes_after": vector_store_bytes(path)}
    if args.json:
        render.emit(render.to_json(result))
    else:
        b = render.format_bytes
        render.emit(f"compacted {path}: database {b(db_before)} -> {b(result['database_bytes_after'])}, vector "
                    f"store {b(vs_before)} -> {b(result['vector_store_bytes_after'])} "
                    f"({render.plural(facts, 'fact')}, {render.plural(documents, 'document')} kept)")
    return 0


def register(command: Callable[..., Any]) -> None:
    p = command("reconcile", cmd_reconcile, "bring the vector store in line with the table",
                "Add the document of every fact that has none (after an interrupted load,\n"
                "a failed vector-store write, or a host that wrote without this vector\n"
                "store): exactly what an upsert adds. Remove every document whose fact is no\n"
                "longer in the table, whoever deleted it (a host application,\n"
                "--keep-vectors, an older kgraph), so that search stops returning it.\n"
                "Refresh every stale document, whose metadata differ from what its fact's\n"
                "row gives (a fact rewritten while the vector store kept the old document).\n"
                "Deliver the deletions that purge or delete-context recorded and the vector\n"
                "store did not take (a failure, an interrupt) first. 'kgraph stats' counts\n"
                "all four. Exit status 1 when deletions stay pending.")
    p.add_argument("--dry-run", action="store_true", help="only count what would be added, removed and refreshed "
                                                          "(the graph is only read)")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = command("reindex", cmd_reindex, "rebuild the vector store from the table",
                "Build the vector store afresh from the facts in the table (for a vector\n"
                "store that is lost or damaged, see 'kgraph check') and put it in place of\n"
                "the old one.")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = command("compact", cmd_compact, "reclaim the space of deleted facts and documents",
                "Rewrite the vector store's files with the stored documents only, and copy\n"
                "the database into a fresh file (the same tables, constraints and indexes)\n"
                "that takes the old one's place. Deleted data keeps its space until then: a\n"
                "graph purged to nothing still takes its former size, and every command\n"
                "reads the deletions of the vector store.")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")
