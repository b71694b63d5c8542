"""Deleting facts of the knowledge-graph store together with their vector-store documents.

Each deletion removes the rows and records their ids in the table
``pending_vector_deletions`` (created on first use, in the store's own
database) with one statement, so both commit together. Once committed, every
pending id, earlier ones included, goes to ``graph.vector_store.delete(ids=[...])``
in chunks of 1,000, and the ids delivered leave the table. A call delivers
when it returns ``True`` or ``None``. A vector store without ``delete``, or a
call that raises an ``Exception`` or returns anything else (``False``, ``0``,
an awaitable: an asynchronous ``delete`` is not supported), stops the
delivery with one warning line: the ids stay pending,
as they do after a crash between the commit and the vector store's call,
and ``reconcile`` delivers them later. A pending id whose fact has been
written again since is dropped without a call: its document is the new
fact's. An interrupt stops the delivery at once; ids delivered before it
stay pending and are handed over again, so ``delete`` should take ids it
no longer holds.

Inside a transaction the caller opened on ``graph.conn``, ``purge_expired``
and ``delete_context`` join it (the rows and their pending ids commit or roll
back with it) and deliver nothing: documents must not go before the deletion
has committed. Call ``reconcile`` after the commit; ``reconcile`` itself
refuses to run inside such a transaction.

The vector store is called without the store's connection lock: a call
claims its ids under the lock, hands them over a chunk at a time, and
removes exactly the ids it delivered. Other threads' store calls go on
meanwhile, and ``delete`` may use the store. A fact written again while its
id is being delivered keeps its new document.
"""

from typing import TypedDict

from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph

class DeletionResult(TypedDict):
    facts: int
    """Rows deleted by this call."""
    documents: int
    """Ids delivered to the vector store's ``delete`` by this call, earlier pending ones included."""
    pending: int
    """Ids still pending afterwards, all of them."""

class ReconcileResult(TypedDict):
    delivered: int
    pending: int

def purge_expired(graph: DuckSqliteGraph, days: int = 90) -> DeletionResult:
    """Delete the facts older than *days*, as ``graph.purge_expired`` does, and their documents.

    The cutoff is the store's: ``datetime.now(timezone.utc) -
    timedelta(days=days)`` through the names of the ``duck_graph`` module at
    the moment of the call; a fact whose ``created_at`` lies before it goes.
    """

def delete_context(graph: DuckSqliteGraph, *, org_id: str, graph_slice_id: str) -> DeletionResult:
    """Delete one graph slice of an organisation, as ``graph.delete_context`` does, and its documents.

    The facts of *org_id* whose metadata holds *graph_slice_id* under the
    top-level key ``"graph_slice_id"`` (compared as JSON) go.
    """

def reconcile(graph: DuckSqliteGraph) -> ReconcileResult:
    """Deliver the pending deletions to the vector store.

    Raises ``RuntimeError`` inside a transaction the caller opened on
    ``graph.conn``.
    """
