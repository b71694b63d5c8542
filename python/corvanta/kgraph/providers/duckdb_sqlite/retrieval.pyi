"""Retrieving the facts that answer a question, with the facts around them."""

from typing import Literal, TypedDict

from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph

class ContextRecord(TypedDict):
    subject: str
    predicate: str
    object: str
    hop: int
    score: float
    id: str

def context(
    graph: DuckSqliteGraph,
    query: str,
    *,
    user_id: str,
    org_id: str,
    k: int = 5,
    depth: int = 1,
    limit: int = 50,
    scope: Literal["user", "org"] = "user",
) -> list[ContextRecord]:
    """The facts that answer *query*, and the facts around them, each once.

    Hop 0: the vector store is asked as ``graph.search`` asks it
    (``similarity_search_with_score(query, k=k, filter={"user_id": user_id,
    "org_id": org_id})``), outside the store's connection lock. Each hit is
    matched to its fact by the document's ``id``, or, when no fact of the
    scope has that id (or the document has none), by its text as a fact of
    *user_id* in *org_id*. A hit whose fact is gone (a document left behind by
    a deletion) or lies outside the scope is dropped; a fact hit twice comes
    once, with its best score.

    Hop 1: the facts whose subject or object is the subject or the object of
    a hit. Each further hop, up to *depth*: the facts whose subject is the
    object of a fact first reached at the hop before (the direction of
    ``traversal.neighbourhood``). Only facts of the scope take part: those of
    *org_id* and *user_id* (``scope="user"``, the hits' own scope) or of
    *org_id* (``scope="org"``). Each fact comes back once, at its smallest
    hop; a hit is never repeated as a fact around it.

    A fact around the hits carries the best score among the hits it is
    reached from at its smallest hop; every score is the vector store's
    value as it was given (it must be a number). Records are dicts with
    ``"subject"``, ``"predicate"``, ``"object"``, ``"hop"``, ``"score"`` and
    ``"id"`` (the fact's id), ordered by hop, score (highest first), subject,
    predicate, object and id. *limit* caps all records together, hits
    included, inside the database. *depth* below 0 behaves as 0 (the hits
    alone). The walk stops as soon as a hop reaches no new fact, so its work
    and memory are bounded by the scope's facts whatever *depth* is.

    Raises ``TypeError`` for arguments of the wrong type (text must be exactly
    ``str``; numbers for *k*, *depth* and *limit* are converted to ``int``),
    ``ValueError`` for *k* or *limit* below 1, a *scope* other than
    ``"user"`` or ``"org"``, or a *graph* whose start-up has not succeeded.
    What the vector store raises propagates; nothing is written. The matching
    and the walk are one statement under the store's connection lock.
    """
