"""``purge`` and ``delete-context``: the store's two deletions, through its
retention module, which removes the deleted facts' documents from the vector
store too. The rows and the ids of their documents commit together; ids the
vector store did not take stay pending in the database until ``kgraph
reconcile`` delivers them."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from typing import Any

from kgraph_cli import interrupts, options, render
from kgraph_cli.store import (UsageError, checkpoint, count_facts, documents_present, graph_path, ids_of_slice,
                              ids_older_than, open_graph, pending_deletions, purge_cutoff)

RECONCILE_HINT = "'kgraph reconcile' removes them"


@dataclasses.dataclass
class Outcome:
    facts: int | None  # None: not known after an interrupt
    documents: int | None  # None: --keep-vectors, or not known after an interrupt
    pending: int | None
    interrupted: bool = False


def _retention() -> Any:
    from corvanta.kgraph.providers.duckdb_sqlite import retention

    return retention


def _count(graph: Any, args: Any, ids: list[str]) -> Outcome:
    documents = None if args.keep_vectors else len(documents_present(graph.vector_store, ids))
    return Outcome(len(ids), documents, pending_deletions(graph))


def _delete(graph: Any, args: Any, with_documents: Callable[[], dict[str, int]],
            rows_only: Callable[[], int]) -> Outcome:
    before = count_facts(graph)
    try:
        if args.keep_vectors:
            outcome = Outcome(rows_only(), None, pending_deletions(graph))
        else:
            result = with_documents()
            outcome = Outcome(result["facts"], result["documents"], result["pending"])
        interrupts.check()
    except BaseException as exc:
        if not interrupts.is_interrupt(exc):
            raise
        # The rows and the ids of their documents commit in one statement:
        # either both are in or neither is, and the count tells which.
        try:
            return Outcome(before - count_facts(graph), None, pending_deletions(graph), interrupted=True)
        except Exception:
            return Outcome(None, None, None, interrupted=True)
    checkpoint(graph)
    return outcome


def _report(args: Any, fields: dict[str, Any], what: str, outcome: Outcome) -> int:
    if args.json:
        render.emit(render.to_json({**fields, "dry_run": args.dry_run, "interrupted": outcome.interrupted,
                                    "removed": outcome.facts, "documents_removed": outcome.documents,
                                    "pending_deletions": outcome.pending}))
        return interrupts.status() if outcome.interrupted else 0
    if outcome.interrupted:
        if outcome.facts is None:
            text = "the deletion may have committed; 'kgraph reconcile' removes the documents of facts that are gone"
        elif outcome.facts:
            text = (f"the deletion is committed: {outcome.facts:,} facts {what} are gone; "
                    "'kgraph reconcile' removes their documents")
        else:
            text = "no fact was removed"
        render.emit(f"interrupted by {interrupts.name()}: {text}")
        return interrupts.status()
    text = f"{'would remove' if args.dry_run else 'removed'} {outcome.facts:,} facts {what}"
    if outcome.documents is None:
        text += "; their documents stay in the vector store (--keep-vectors)"
    else:
        text += f" and {render.plural(outcome.documents, 'document')}"
    if outcome.pending:
        text += (f"; {render.plural(outcome.pending, 'document')} of deleted facts still to be removed from the "
                 f"vector store ({RECONCILE_HINT})")
    render.emit(text)
    return 0


def cmd_purge(args: Any) -> int:
    if args.days == 0 and not args.dry_run and not args.yes:
        raise UsageError("--days 0 deletes every fact of every organisation: add --yes to go ahead "
                         "(or --dry-run to count them)")
    graph = open_graph(graph_path(args), create=False, vectors=not args.keep_vectors, wait=args.wait,
                       read_only=args.dry_run)
    cutoff = purge_cutoff(args.days).strftime("%Y-%m-%d %H:%M:%S UTC")
    if args.dry_run:
        outcome = _count(graph, args, ids_older_than(graph, args.days))
    else:
        def rows_only() -> int:
            before = count_facts(graph)
            graph.purge_expired(days=args.days)
            return before - count_facts(graph)

        outcome = _delete(graph, args, lambda: _retention().purge_expired(graph, days=args.days), rows_only)
    return _report(args, {"days": args.days, "cutoff": cutoff},
                   f"older than {args.days} days (written before {cutoff})", outcome)


def cmd_delete_context(args: Any) -> int:
    graph = open_graph(graph_path(args), create=False, vectors=not args.keep_vectors, wait=args.wait,
                       read_only=args.dry_run)
    if args.dry_run:
        outcome = _count(graph, args, ids_of_slice(graph, args.org, args.slice))
    else:
        outcome = _delete(graph, args,
                          lambda: _retention().delete_context(graph, org_id=args.org, graph_slice_id=args.slice),
                          lambda: graph.delete_context(org_id=args.org, graph_slice_id=args.slice))
    return _report(args, {"org_id": args.org, "graph_slice_id": args.slice},
                   f"of slice {args.slice!r} in organisation {args.org!r}", outcome)


def register(command: Callable[..., Any]) -> None:
    keep_help = "leave the facts' documents in the vector store (search can still return them)"
    pending_note = ("The rows go together with a record of their documents' ids; documents the\n"
                    "vector store does not take (a failure, an interrupt) stay pending, and\n"
                    "'kgraph reconcile' removes them later.")
    p = command("purge", cmd_purge, "delete the facts older than a number of days",
                "Delete every fact (of all users and organisations) last written more than\n"
                "--days days ago, and the documents of those facts from the vector store.\n"
                "Meant to run from a scheduler; nothing purges on its own. --days 0 deletes\n"
                "everything and needs --yes.\n\n" + pending_note)
    p.add_argument("--days", type=options.days, required=True, metavar="N", help="the retention period in days")
    p.add_argument("--keep-vectors", action="store_true", help=keep_help)
    p.add_argument("--dry-run", action="store_true", help="only count the facts and documents that would go")
    p.add_argument("--yes", action="store_true", help="confirm --days 0 (every fact goes)")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")

    p = command("delete-context", cmd_delete_context, "delete one graph slice of an organisation",
                "Delete every fact of organisation --org whose metadata graph_slice_id is\n"
                "--slice, and the documents of those facts from the vector store.\n\n" + pending_note)
    p.add_argument("--org", required=True, metavar="O", help="the organisation")
    p.add_argument("--slice", required=True, metavar="S", help="the graph_slice_id")
    p.add_argument("--keep-vectors", action="store_true", help=keep_help)
    p.add_argument("--dry-run", action="store_true", help="only count the facts and documents that would go")
    p.add_argument("--json", action="store_true", help="print the outcome as JSON")
