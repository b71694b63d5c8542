"""retrieval.context: the vector store's hits matched to their facts, then
the walk from them within a scope, checked against a small reference written
in Python on generated graphs; its arguments; what it asks the vector store."""

from __future__ import annotations

import importlib
import logging
import threading

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

from corvanta.vectorstores.memory import Document
from support import MODULE_NAME, NullVectorStore

RETRIEVAL_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.retrieval"
BULK_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.bulk"
TRAVERSAL_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.traversal"


@pytest.fixture(scope="module")
def retrieval():
    return importlib.import_module(RETRIEVAL_MODULE)


@pytest.fixture(scope="module")
def bulk():
    return importlib.import_module(BULK_MODULE)


class FixedHits(NullVectorStore):
    """Answers every search with the same hits and records the calls."""

    def __init__(self, hits):
        self.hits = hits
        self.calls = []
        self.during_search = lambda: None

    def similarity_search_with_score(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        self.during_search()
        return self.hits


def reference(rows, hits, user, org, depth, limit, scope):
    """rows: (id, s, p, o, user, org); hits: (document id, text, score).
    Breadth-first over the facts in scope; a fact keeps its smallest hop and
    the best (score, earliest hit) among the facts that reach it there."""
    facts = {r[0]: r[1:4] for r in rows if r[5] == org and (scope == "org" or r[4] == user)}
    users = {r[0]: r[4] for r in rows}
    best = {}
    for pos, (doc_id, text, score) in enumerate(hits):
        triple = tuple(text.split("|", 2))
        fid = doc_id if doc_id in facts else next(
            (i for i, t in facts.items() if t == triple and users[i] == user), None)
        if fid is not None:
            best[fid] = max(best.get(fid, (score, -pos)), (score, -pos))
    hop = dict.fromkeys(best, 0)
    frontier = dict(best)
    for n in range(1, depth + 1):
        def reaches(f, t):
            (fs, _, fo), (ts, _, to) = facts[f], facts[t]
            return fo == ts if n > 1 else bool({fs, fo} & {ts, to})

        frontier = {t: max(frontier[f] for f in frontier if reaches(f, t))
                    for t in facts if t not in hop and any(reaches(f, t) for f in frontier)}
        if not frontier:
            break
        hop.update(dict.fromkeys(frontier, n))
        best.update(frontier)
    order = sorted(hop, key=lambda i: (hop[i], -best[i][0], *facts[i], i))
    return [{"subject": facts[i][0], "predicate": facts[i][1], "object": facts[i][2], "hop": hop[i],
             "score": hits[-best[i][1]][2], "id": i} for i in order][:limit]


def typed(records):
    return [(r, type(r["score"])) for r in records]


entities = st.sampled_from("abcdefgh")
fact = st.tuples(entities, st.sampled_from(["p", "q"]), entities, st.sampled_from(["u1", "u2"]),
                 st.sampled_from(["o1", "o2"]))
# A hit names a generated fact (stored, or deleted after the writes) or a
# text never stored; its document has the fact's id, no id, or a foreign one.
hit = st.tuples(st.integers(0, 29) | st.none(), st.sampled_from(["fact", "none", "foreign"]),
                st.sampled_from([0.25, 0.5, 1, 1.0]))
query = st.fixed_dictionaries({
    "user": st.sampled_from(["u1", "u2"]),
    "org": st.sampled_from(["o1", "o2", "o3"]),
    "depth": st.integers(-1, 5) | st.just(2**70),
    "limit": st.integers(1, 12) | st.just(2**70),
    "scope": st.sampled_from(["user", "org"]),
})


# A fact of hop 2 reached from three facts of hop 1, whose hits score 0.5,
# 1.0 and 1: the best score, from the vector store's first hit among equal
# ones, which ranks it before another of hop 2 that scores 0.5. One fact is
# hit twice (by id, score 1, and by text, score 1.0): the first hit wins.
CONVERGING = [("a", "p", "b"), ("c", "p", "d"), ("g", "p", "h"), ("b", "q", "e"), ("d", "q", "e"), ("h", "q", "e"),
              ("e", "p", "f"), ("b", "q", "bb"), ("bb", "p", "m")]


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@example(facts=[(*f, "u1", "o1") for f in CONVERGING], deleted=set(),
         hits=[(2, "fact", 1), (1, "fact", 1.0), (0, "fact", 0.5), (2, "none", 1.0)],
         queries=[{"user": "u1", "org": "o1", "depth": 2, "limit": 50, "scope": "user"}])
@given(facts=st.lists(fact, min_size=1, max_size=40), deleted=st.sets(st.integers(0, 29), max_size=5),
       hits=st.lists(hit, max_size=4), queries=st.lists(query, min_size=1, max_size=3))
def test_context_matches_the_reference(retrieval, bulk, store, facts, deleted, hits, queries):
    store.vector_store = NullVectorStore()
    store.conn.execute("DELETE FROM facts")
    ids = bulk.upsert_facts(store, [(s, p, o, {"user_id": u, "org_id": g}) for s, p, o, u, g in facts])
    gone = [ids[i] for i in deleted if i < len(ids)]
    store.conn.execute("DELETE FROM facts WHERE list_contains(?::TEXT[], id)", [gone])
    rows = store.conn.execute("SELECT id, subject, predicate, obj, user_id, org_id FROM facts").fetchall()
    docs = []
    for index, id_kind, score in hits:
        s, p, o = facts[index % len(facts)][:3] if index is not None else ("z", "p", "z|y")
        doc_id = {"fact": ids[index % len(ids)] if index is not None else "x" * 64, "none": None,
                  "foreign": "not-a-fact-id"}[id_kind]
        docs.append((doc_id, f"{s}|{p}|{o}", score))
    store.vector_store = FixedHits([(Document(text, {}, doc_id), score) for doc_id, text, score in docs])
    for q in queries:
        got = retrieval.context(store, "question", user_id=q["user"], org_id=q["org"], depth=q["depth"],
                                limit=q["limit"], scope=q["scope"])
        want = reference(rows, docs, q["user"], q["org"], q["depth"], q["limit"], q["scope"])
        assert typed(got) == typed(want), q


def test_asks_the_vector_store_as_search_does_and_outside_the_lock(retrieval, store, caplog):
    traversal = importlib.import_module(TRAVERSAL_MODULE)
    store.upsert_fact("a", "p", "b", {"user_id": "u", "org_id": "o"})
    fid = store._det_id("a|p|b", "u", "o")
    vector_store = store.vector_store = FixedHits([(Document("a|p|b", {}, fid), 0.5)])
    walked = []

    def statement_from_another_thread():
        # Waits for the connection lock if the search held it.
        worker = threading.Thread(target=lambda: walked.append(traversal.neighbourhood(store, "a", org_id="o")))
        worker.start()
        worker.join(timeout=10)
        assert not worker.is_alive()

    vector_store.during_search = statement_from_another_thread
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    query = "q" * 70
    records = retrieval.context(store, query, user_id="u", org_id="o", k=3)
    store.search(query, user_id="u", org_id="o", k=3)
    [asked, asked_by_search] = vector_store.calls
    assert asked == asked_by_search == ((query,), {"k": 3, "filter": {"user_id": "u", "org_id": "o"}})
    assert walked and records == [{"subject": "a", "predicate": "p", "object": "b", "hop": 0, "score": 0.5,
                                   "id": fid}]
    lines = [r.getMessage() for r in caplog.records if r.name == MODULE_NAME and r.msg.startswith("context")]
    assert lines == [f"context: query={'q' * 60} user=u org=o k=3 depth=1 limit=50 scope=user",
                     f"context: query={'q' * 40} returned 1 facts (1 of 1 hits)"]

    def down():
        raise LookupError("vector store down")

    vector_store.during_search = down
    with pytest.raises(LookupError, match="vector store down"):
        retrieval.context(store, "q", user_id="u", org_id="o")


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((1,), {}, TypeError, "Argument 'query' has incorrect type (expected str, got int)"),
        (("q",), {"user_id": None}, TypeError, "Argument 'user_id' has incorrect type (expected str, got NoneType)"),
        (("q",), {"k": "5"}, TypeError, "Argument 'k' has incorrect type (expected int, got str)"),
        (("q",), {"depth": None}, TypeError, "Argument 'depth' has incorrect type (expected int, got NoneType)"),
        (("q",), {"scope": b"org"}, TypeError, "Argument 'scope' has incorrect type (expected str, got bytes)"),
        (("q", "u"), {}, TypeError, "context() takes exactly 2 positional arguments (3 given)"),
        (("q",), {"k": 0}, ValueError, "context() argument 'k' must be at least 1, not 0"),
        (("q",), {"limit": 0.5}, ValueError, "context() argument 'limit' must be at least 1, not 0"),
        (("q",), {"limit": -(2**70)}, ValueError, f"context() argument 'limit' must be at least 1, not {-(2**70)}"),
        (("q",), {"scope": "all"}, ValueError, "context() argument 'scope' must be 'user' or 'org', not 'all'"),
    ],
)
def test_argument_errors(retrieval, store, args, kwargs, error, message):
    kwargs = {"user_id": "u", "org_id": "o", **kwargs}
    with pytest.raises(error) as info:
        retrieval.context(store, *args, **kwargs)
    assert str(info.value) == message
    assert store.vector_store.calls == []


@pytest.mark.parametrize("rows", [
    [("a", "p", "b", 0, 1, "id")],          # past the last hit
    [("a", "p", "b", 0, -1, "id")],
    [("a", "p", "b", 0, 2**70, "id")],
    [("a", "p", "b", 0, "0", "id")],
    [("a", "p", "b", 0.0, 0, "id")],
    [("a", "p", "b", 0, 0)],
])
def test_rows_of_a_replaced_connection_are_checked(retrieval, store, rows):
    class Answering:
        def execute(self, sql, params=None):
            return self

        def fetchall(self):
            return rows

    store.vector_store = FixedHits([(Document("a|p|b"), 0.5)])
    real, store.conn = store.conn, Answering()
    try:
        with pytest.raises(ValueError, match=r"^context: a row"):
            retrieval.context(store, "q", user_id="u", org_id="o")
    finally:
        store.conn = real


def test_a_score_that_is_no_number_is_named(retrieval, store):
    store.vector_store = FixedHits([(Document("a|p|b"), 0.5), (Document("b|p|c"), "high")])
    with pytest.raises(TypeError) as info:
        retrieval.context(store, "q", user_id="u", org_id="o")
    assert info.value.__notes__ == ["context() ranks facts by the vector store's scores: the score of hit 1 is a str"]
