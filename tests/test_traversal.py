"""traversal.neighbourhood: the forward walk of get_neighbours over one
organisation's facts, each fact once at its smallest hop, checked against a
small breadth-first walk written in Python."""

from __future__ import annotations

import importlib
import logging

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from support import MODULE_NAME, NullVectorStore

TRAVERSAL_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.traversal"
BULK_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.bulk"


@pytest.fixture(scope="module")
def traversal():
    return importlib.import_module(TRAVERSAL_MODULE)


@pytest.fixture(scope="module")
def bulk():
    return importlib.import_module(BULK_MODULE)


def reference(rows, entity, depth, org_id, user_id, limit):
    """Breadth-first over the facts in scope; a fact keeps the first hop
    that reaches it."""
    scope = [r for r in rows if r[5] == org_id and (user_id is None or r[4] == user_id)]
    frontier = [r for r in scope if entity in (r[1], r[3])]
    hop = {r[0]: 1 for r in frontier}
    n = 1
    while frontier and n < depth:
        n += 1
        objects = {r[3] for r in frontier}
        frontier = [r for r in scope if r[1] in objects and r[0] not in hop]
        hop.update((r[0], n) for r in frontier)
    reached = sorted((hop[r[0]], r[1], r[2], r[3]) for r in scope if r[0] in hop)
    records = [{"subject": s, "predicate": p, "object": o, "hop": h} for h, s, p, o in reached]
    return records if limit is None else records[:limit]


entities = st.sampled_from("abcde")
fact = st.tuples(entities, st.sampled_from(["p", "q"]), entities, st.sampled_from(["u1", "u2"]),
                 st.sampled_from(["o1", "o2"]))
query = st.fixed_dictionaries({
    "entity": st.sampled_from("abcdez"),
    "depth": st.integers(-1, 6) | st.sampled_from([10**6, 2**70]),
    "org_id": st.sampled_from(["o1", "o2", "o3"]),
    "user_id": st.none() | st.sampled_from(["u1", "u2", "u3"]),
    "limit": st.none() | st.integers(1, 8) | st.just(2**70),
})


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(facts=st.lists(fact, max_size=30), queries=st.lists(query, min_size=1, max_size=4))
def test_walk_matches_the_reference(traversal, bulk, store, facts, queries):
    store.vector_store = NullVectorStore()
    store.conn.execute("DELETE FROM facts")
    bulk.upsert_facts(store, [(s, p, o, {"user_id": u, "org_id": g}) for s, p, o, u, g in facts])
    rows = store.conn.execute("SELECT id, subject, predicate, obj, user_id, org_id FROM facts").fetchall()
    for q in queries:
        got = traversal.neighbourhood(store, q["entity"], q["depth"], org_id=q["org_id"], user_id=q["user_id"],
                                      limit=q["limit"])
        assert got == reference(rows, q["entity"], max(q["depth"], 1), q["org_id"], q["user_id"], q["limit"]), q


def test_records_have_the_keys_in_order(traversal, store):
    store.upsert_fact("a", "p", "b", {"org_id": "o"})
    [record] = traversal.neighbourhood(store, "a", org_id="o")
    assert list(record) == ["subject", "predicate", "object", "hop"]


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((1,), {"org_id": "o"}, TypeError, "Argument 'entity' has incorrect type (expected str, got int)"),
        (("a", "2"), {"org_id": "o"}, TypeError, "Argument 'depth' has incorrect type (expected int, got str)"),
        (("a",), {}, TypeError, "neighbourhood() needs keyword-only argument org_id"),
        (("a",), {"org_id": None}, TypeError, "Argument 'org_id' has incorrect type (expected str, got NoneType)"),
        (("a", 2, "o"), {}, TypeError, "neighbourhood() takes at most 3 positional arguments (4 given)"),
        (("a",), {"org_id": "o", "user_id": 5}, TypeError,
         "Argument 'user_id' has incorrect type (expected str, got int)"),
        (("a",), {"org_id": "o", "limit": "3"}, TypeError,
         "Argument 'limit' has incorrect type (expected int, got str)"),
        (("a",), {"org_id": "o", "limit": 0}, ValueError,
         "neighbourhood() argument 'limit' must be at least 1 or None, not 0"),
        (("a",), {"org_id": "o", "limit": -(2**70)}, ValueError,
         f"neighbourhood() argument 'limit' must be at least 1 or None, not {-(2**70)}"),
    ],
)
def test_argument_errors(traversal, store, args, kwargs, error, message):
    with pytest.raises(error) as info:
        traversal.neighbourhood(store, *args, **kwargs)
    assert str(info.value) == message


def test_graph_must_be_the_store(traversal):
    with pytest.raises(TypeError, match=r"^neighbourhood\(\) argument 'graph' must be DuckSqliteGraph, not dict$"):
        traversal.neighbourhood({}, "a", org_id="o")


def test_debug_lines_through_the_store_logger(traversal, store, caplog):
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    entity = "e" * 70
    store.upsert_fact(entity, "p", "b", {"org_id": "o"})
    traversal.neighbourhood(store, entity, 3, org_id="o", limit=5)
    lines = [r.getMessage() for r in caplog.records if r.name == MODULE_NAME and r.msg.startswith("neighbourhood")]
    assert lines == [f"neighbourhood: entity={'e' * 60} depth=3 org=o user=None limit=5",
                     f"neighbourhood: entity={'e' * 40} returned 1 facts"]
