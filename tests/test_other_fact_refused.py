"""Ids do not separate their parts, so two different facts can share one.
A write whose id is stored for another fact is refused and writes nothing,
in the single and the batch upsert alike; the same fact written again still
replaces its row."""

from __future__ import annotations

import importlib

import pytest

from support import MODULE_NAME  # noqa: F401 - the fixtures import the module

bulk = importlib.import_module("corvanta.kgraph.providers.duckdb_sqlite.bulk")

# Pairs of different facts (subject, predicate, object, metadata) with one id.
COLLIDING = {
    "numeric actors across organisations": (("s", "p", "o", {"user_id": "1", "org_id": "23"}),
                                            ("s", "p", "o", {"user_id": "12", "org_id": "3"})),
    "bar inside the parts": (("a|b", "c", "d", {"org_id": "g"}), ("a", "b|c", "d", {"org_id": "g"})),
    "object running into the user": (("s", "p", "cu", {}), ("s", "p", "c", {"user_id": "u"})),
}


def rows(store):
    return store.conn.execute("SELECT id, subject, predicate, obj, user_id, org_id, metadata FROM facts").fetchall()


def write(store, path, facts):
    if path == "batch":
        return bulk.upsert_facts(store, facts)
    return [store.upsert_fact(*fact) for fact in facts]


@pytest.mark.parametrize("path", ["single", "batch"])
@pytest.mark.parametrize("pair", COLLIDING.values(), ids=COLLIDING.keys())
def test_another_fact_with_the_stored_id_is_refused(store, path, pair):
    first, second = pair
    [fact_id] = write(store, path, [first])
    before, calls = rows(store), len(store.vector_store.calls)
    with pytest.raises(ValueError) as info:
        write(store, path, [("new", "p", "o", {"org_id": "g"}), second])
    message = str(info.value)
    assert message.startswith(f"id {fact_id[:12]} is stored for another fact") and "nothing was written" in message
    assert not any(part in message for part in second[:3] if len(part) > 1)
    if path == "batch":
        assert info.value.__notes__ == ["facts[1] was refused; nothing of this upsert_facts call was written"]
    assert [r for r in rows(store) if r[0] == fact_id] == before
    assert len(rows(store)) == 1 + (path == "single")  # one by one, "new" went in first
    assert len(store.vector_store.calls) == calls + (path == "single")  # the single path wrote "new" first
    first_org = first[3].get("org_id", "")
    assert [f["object"] for f in store.fetch_by_metadata(org_id=first_org, filters={})].count(first[2]) == 1


@pytest.mark.parametrize("path", ["single", "batch"])
def test_the_same_fact_written_again_replaces_its_row(store, path):
    [fact_id] = write(store, path, [("s", "p", "o", {"user_id": "1", "org_id": "23", "v": 1})])
    assert write(store, path, [("s", "p", "o", {"user_id": "1", "org_id": "23", "v": 2})]) == [fact_id]
    assert [r[-1] for r in rows(store)] == ['{"user_id":"1","org_id":"23","v":2}']


def test_two_different_facts_in_one_batch_refuse_the_call(store):
    first, second = COLLIDING["bar inside the parts"]
    with pytest.raises(ValueError, match=r"facts\[0\] and facts\[2\] are different facts with one id"):
        bulk.upsert_facts(store, [first, ("x", "y", "z", {}), second])
    assert rows(store) == [] and store.vector_store.calls == []
    # The same fact twice is one fact: stored once, as its last occurrence.
    ids = bulk.upsert_facts(store, [first, (*first[:3], {"org_id": "g", "v": 2})])
    assert ids[0] == ids[1] and [r[-1] for r in rows(store)] == ['{"org_id":"g","v":2}']


@pytest.mark.parametrize("path", ["single", "batch"])
def test_inside_the_callers_transaction_a_refusal_does_not_abort_it(store, path):
    first, second = COLLIDING["numeric actors across organisations"]
    store.upsert_fact(*first)
    store.conn.execute("BEGIN TRANSACTION")
    try:
        with pytest.raises(ValueError, match="is stored for another fact"):
            write(store, path, [second])
        write(store, path, [("other", "p", "o", {}), (*first[:3], {**first[3], "v": 2})])  # it goes on
    except BaseException:
        store.conn.execute("ROLLBACK")
        raise
    store.conn.execute("COMMIT")
    assert sorted((r[1], r[-1]) for r in rows(store)) == [
        ("other", "{}"), ("s", '{"user_id":"1","org_id":"23","v":2}')]
