"""Writing many facts at once into the knowledge-graph store."""

from collections.abc import Iterable
from typing import Any

from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph

def upsert_facts(graph: DuckSqliteGraph, facts: Iterable[tuple[str, str, str, dict[str, Any]]]) -> list[str]:
    """Write many facts at once; return their ids in input order.

    Each fact is checked, identified and stored exactly as
    ``graph.upsert_fact`` would store it, but the rows of the call go in all
    together or not at all: a refused fact, an id stored for another fact
    (``ValueError``) or a database error (an interrupted statement included)
    leaves nothing of the call in the table, and the error's note names the
    position in *facts*. A fact repeated in the call is stored once, as its
    last occurrence; two different facts with one id refuse the call. The
    vector store then receives the documents in one ``add_texts`` call (one
    call per fact if that raises, each failure logged as ``upsert_fact``
    logs it).
    """
