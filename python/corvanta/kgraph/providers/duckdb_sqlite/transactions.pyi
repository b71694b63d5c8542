"""Transactions on the store's connection that other threads wait for."""

from types import TracebackType
from typing import Literal, final

from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph

@final
class Transaction:
    """A transaction on a DuckSqliteGraph's connection that holds its lock; made by transaction(graph)."""

    def __enter__(self) -> Transaction: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> Literal[False]: ...

def transaction(graph: DuckSqliteGraph) -> Transaction:
    """A transaction on graph.conn that other threads' store calls wait for.

    Use it as a context manager: BEGIN on entry, COMMIT on a normal exit,
    ROLLBACK when the block raises (the exception propagates). The block
    holds the store's connection lock throughout, so every other thread's
    store call waits until it ends, and the store calls of this thread join
    the transaction. Entering a second transaction on the same thread is a
    RuntimeError. Deletions in the block deliver their ids to the vector
    store after the commit; a rollback withdraws the documents of the facts
    the block wrote.
    """
