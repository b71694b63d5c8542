"""Walking the knowledge graph within one organisation."""

from typing import TypedDict

from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph

class NeighbourRecord(TypedDict):
    subject: str
    predicate: str
    object: str
    hop: int

def neighbourhood(
    graph: DuckSqliteGraph,
    entity: str,
    depth: int = 2,
    *,
    org_id: str,
    user_id: str | None = None,
    limit: int | None = None,
) -> list[NeighbourRecord]:
    """Facts of one organisation around *entity*, each once, at its smallest hop.

    The walk goes as ``graph.get_neighbours`` goes: hop 1 is every fact whose
    subject or object is *entity*; each further hop goes from the object of a
    fact reached to the facts that have it as subject. Only facts of *org_id*
    take part (and only those of *user_id* too, when it is given), so no
    fact of another organisation is read into the result.

    Each fact comes back once, with the smallest hop at which the walk
    reaches it, as a dict with ``"subject"``, ``"predicate"``, ``"object"``
    and ``"hop"``, ordered by hop, then subject, predicate and object. Two
    facts of different users with the same triple are two records.

    *depth* below 1 walks 1 hop. The walk stops as soon as a hop reaches no
    new fact, so its work and memory are bounded by the organisation's facts
    whatever *depth* is. *limit* (at least 1, or None for all) caps the
    records inside the database, after ordering.

    Raises ``TypeError`` for arguments of the wrong type (text must be exactly
    ``str``; numbers for *depth* and *limit* are converted to ``int``),
    ``ValueError`` for a *limit* below 1 or a *graph* whose start-up has not
    succeeded. Runs one statement under the store's connection lock.
    """
