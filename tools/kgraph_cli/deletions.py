"""``purge`` and ``delete-context``: the store's two deletions, followed by
the removal of the deleted facts' documents from the vector store."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from kgraph_cli import options, render
from kgraph_cli.store import (UsageError, checkpoint, count_facts, delete_documents, documents_present, graph_path,
                              ids_of_slice, ids_older_than, open_graph, purge_cutoff, stored_ids)


def _documents_note(documents: int | None) -> str:
    if documents is None:
        return "; their documents stay in the vector store (--keep-vectors)"
    return f" and {documents:,} documents"


def cmd_purge(args: Any) -> int:
    if args.days == 0 and not args.dry_run and not args.yes:
        raise UsageError("--days 0 deletes every fact of every organisation: add --yes to go ahead "
                         "(or --dry-run to count them)")
    graph = open_graph(graph_path(args), create=False, vectors=not args.keep_vectors, wait=args.wait)
    cutoff = purge_cutoff(args.days).strftime("%Y-%m-%d %H:%M:%S UTC")
    documents: int | None = None
    if args.dry_run:
        ids = ids_older_than(graph, args.days, slack=False)
        removed = len(ids)
        if not args.keep_vectors:
            documents = len(documents_present(graph.vector_store, ids))
    else:
        # The identifiers first: once the rows are gone nothing tells which
        # documents were theirs.
        candidates = ids_older_than(graph, args.days, slack=True)
        before = count_facts(graph)
        graph.purge_expired(days=args.days)
        removed = before - count_facts(graph)
        checkpoint(graph)
        if not args.keep_vectors:
            gone = sorted(set(candidates) - stored_ids(graph, candidates))
            documents = delete_documents(graph.vector_store, gone)
    if args.json:
        render.emit(render.to_json({"days": args.days, "cutoff": cutoff, "dry_run": args.dry_run,
                                    "removed": removed, "documents_removed": documents}))
    else:
        verb = "would remove" if args.dry_run else "removed"
        render.emit(f"{verb} {removed:,} facts older than {args.days} days (written before {cutoff})"
                    + _documents_note(documents))
    return 0


def cmd_delete_context(args: Any) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=not args.keep_vectors, wait=args.wait)
    documents: int | None = None
    ids = ids_of_slice(graph, args.org, args.slice)
    if args.dry_run:
        removed = len(ids)
        if not args.keep_vectors:
            documents = len(documents_present(graph.vector_store, ids))
    else:
        removed = graph.delete_context(org_id=args.org, graph_slice_id=args.slice)
        checkpoint(graph)
        if not args.keep_vectors:
            documents = delete_documents(graph.vector_store, sorted(set(ids) - stored_ids(graph, ids)))
    if args.json:
        render.emit(render.to_json({"org_id": args.org, "graph_slice_id": args.slice, "dry_run": args.dry_run,
                                    "removed": removed, "documents_removed": documents}))
    else:
        verb = "would remove" if args.dry_run else "removed"
        render.emit(f"{verb} {removed:,} facts of slice {args.slice!r} in organisation {args.org!r}"
                    + _documents_note(documents))
    return 0


def register(command: Callable[..., Any]) -> None:
    keep_help = "leave the facts' documents in the vector store (search can still return them)"
    p = command("purge", cmd_purge, "delete the facts older than a number of days",
                "Delete every fact (of all users and organisations) last written more than\n"
                "--days days ago, and the documents of those facts from the vector store.\n"
                "Meant to run from a scheduler; nothing purges on its own. --days 0 deletes\n"
                "everything and needs --yes.")
    p.add_argument("--days", type=options.days, required=True, metavar="N", help="the retention period in days")
    p.add_argument("--keep-vectors", action="store_true", help=keep_help)
    p.add_argument("--dry-run", action="store_true", help="only count the facts and documents that would go")
    p.add_argument("--yes", action="store_true", help="confirm --days 0 (every fact goes)")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = command("delete-context", cmd_delete_context, "delete one graph slice of an organisation",
                "Delete every fact of organisation --org whose metadata graph_slice_id is\n"
                "--slice, and the documents of those facts from the vector store.")
    p.add_argument("--org", required=True, metavar="O", help="the organisation")
    p.add_argument("--slice", required=True, metavar="S", help="the graph_slice_id")
    p.add_argument("--keep-vectors", action="store_true", help=keep_help)
    p.add_argument("--dry-run", action="store_true", help="only count the facts and documents that would go")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")
