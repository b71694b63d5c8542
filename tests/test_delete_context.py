"""Context deletion: every fact of one organisation whose top-level metadata
"graph_slice_id" equals the given slice, and nothing else."""

from __future__ import annotations

import logging

import pytest

from support import MODULE_NAME

ENTER = "delete_context: org=%s graph_slice_id=%s"
DONE = "delete_context: org=%s graph_slice_id=%s deleted=%d"


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    return caplog


def context_lines(caplog):
    return [r for r in caplog.records if r.name == MODULE_NAME and r.msg in (ENTER, DONE)]


def write(store, name, org, **meta):
    metadata = {"user_id": "u", **({} if org is None else {"org_id": org}), **meta}
    return store.upsert_fact(name, "in", "slice", metadata)


def remaining(store):
    return sorted(row[0] for row in store.conn.execute("SELECT subject FROM facts").fetchall())


def insert_raw(store, name, org, metadata):
    store.conn.execute(
        "INSERT INTO facts VALUES (?, ?, 'in', 'slice', 'u', ?, current_timestamp, ?)", [name, name, org, metadata]
    )


@pytest.fixture
def slices(store):
    write(store, "o1-g1-a", "o1", graph_slice_id="g1")
    write(store, "o1-g1-b", "o1", graph_slice_id="g1", other="x")
    write(store, "o1-g2", "o1", graph_slice_id="g2")
    write(store, "o2-g1", "o2", graph_slice_id="g1")
    write(store, "o1-none", "o1")
    write(store, "o1-nested", "o1", inner={"graph_slice_id": "g1"})
    write(store, "o1-list", "o1", graph_slice_id=["g1"])
    write(store, "o1-upper", "o1", graph_slice_id="G1")
    write(store, "noorg-g1", None, graph_slice_id="g1")
    insert_raw(store, "o1-null", "o1", None)
    insert_raw(store, "o1-array", "o1", '[{"graph_slice_id":"g1"}]')
    insert_raw(store, "o1-text", "o1", '"g1"')
    return store


ALL = ["noorg-g1", "o1-array", "o1-g1-a", "o1-g1-b", "o1-g2", "o1-list", "o1-nested", "o1-none", "o1-null",
       "o1-text", "o1-upper", "o2-g1"]


@pytest.mark.parametrize(
    ("org", "slice_id", "deleted"),
    [
        ("o1", "g1", ["o1-g1-a", "o1-g1-b"]),
        ("o1", "g2", ["o1-g2"]),
        ("o2", "g1", ["o2-g1"]),
        ("", "g1", ["noorg-g1"]),
        ("o1", "G1", ["o1-upper"]),
        ("o3", "g1", []),
        ("o1", "g3", []),
        ("o1", "", []),
        ("o1", "g", []),
        ("O1", "g1", []),
        ("o1", " g1", []),
        ("o1", '["g1"]', []),
        ("o1", '"g1"', []),
        ("o1", "null", []),
    ],
)
def test_only_facts_of_the_organisation_and_slice_are_deleted(slices, log, org, slice_id, deleted):
    count = slices.delete_context(org_id=org, graph_slice_id=slice_id)
    assert type(count) is int and count == len(deleted)
    assert remaining(slices) == sorted(set(ALL) - set(deleted))
    enter, done = context_lines(log)
    assert enter.levelno == done.levelno == logging.INFO
    assert enter.args == (org, slice_id)
    assert done.args == (org, slice_id, count)
    assert done.getMessage() == f"delete_context: org={org} graph_slice_id={slice_id} deleted={len(deleted)}"


def test_repeated_delete_finds_nothing(slices, log):
    assert slices.delete_context(org_id="o1", graph_slice_id="g1") == 2
    assert slices.delete_context(org_id="o1", graph_slice_id="g1") == 0
    assert [r.args[-1] for r in context_lines(log) if r.msg == DONE] == [2, 0]


def test_count_is_true_number_for_a_large_slice(store):
    store.conn.execute(
        "INSERT INTO facts SELECT 'id' || i, 's' || i, 'p', 'o', 'u', 'big', current_timestamp, "
        "'{\"graph_slice_id\":\"g\"}' FROM range(1234) t(i)"
    )
    write(store, "keep", "big", graph_slice_id="h")
    assert store.delete_context(org_id="big", graph_slice_id="g") == 1234
    assert remaining(store) == ["keep"]


@pytest.mark.parametrize(
    "slice_id",
    ["é", "ĉapelo", "日本語", "😀", "a\"b", "a\\b", "line\nfeed", "tab\t", "\x00", "x" * 5000],
)
def test_unusual_slice_ids_match(store, slice_id):
    write(store, "hit", "o1", graph_slice_id=slice_id)
    write(store, "miss", "o1", graph_slice_id=slice_id + "x")
    # the stored JSON escapes everything outside printable ASCII
    [(stored,)] = store.conn.execute("SELECT metadata FROM facts WHERE subject = 'hit'").fetchall()
    assert stored.isascii()
    assert store.delete_context(org_id="o1", graph_slice_id=slice_id) == 1
    assert remaining(store) == ["miss"]


def test_numeric_slice_value_is_not_matched_by_its_text(store):
    write(store, "number", "o1", graph_slice_id=5)
    write(store, "text", "o1", graph_slice_id="5")
    assert store.delete_context(org_id="o1", graph_slice_id="5") == 1
    assert remaining(store) == ["number"]


@pytest.mark.parametrize(
    ("org", "slice_id"),
    [
        ("o1", "'; DROP TABLE facts; --"),
        ("o1", "g1' OR '1'='1"),
        ("o1", "g1\" OR \"1\"=\"1"),
        ("o1", "g1') OR 1=1 --"),
        ("o1' OR '1'='1", "g1"),
        ("'; DELETE FROM facts; --", "g1"),
        ("o1", "?"),
        ("o1", "$.graph_slice_id"),
    ],
)
def test_injection_attempts_change_nothing(slices, org, slice_id):
    before = slices.conn.execute("SELECT * FROM facts ORDER BY id").fetchall()
    assert slices.delete_context(org_id=org, graph_slice_id=slice_id) == 0
    assert slices.conn.execute("SELECT * FROM facts ORDER BY id").fetchall() == before


def test_slice_id_that_looks_like_sql_is_an_ordinary_value(store):
    odd = "'; DROP TABLE facts; --"
    write(store, "odd", "o1", graph_slice_id=odd)
    write(store, "odd-o2", "o2", graph_slice_id=odd)
    assert store.delete_context(org_id="o1", graph_slice_id=odd) == 1
    assert remaining(store) == ["odd-o2"]


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.delete_context("o1", "g1"),
        lambda s: s.delete_context("o1", graph_slice_id="g1"),
        lambda s: s.delete_context(org_id="o1"),
        lambda s: s.delete_context(graph_slice_id="g1"),
        lambda s: s.delete_context(org_id=None, graph_slice_id="g1"),
        lambda s: s.delete_context(org_id="o1", graph_slice_id=None),
        lambda s: s.delete_context(org_id="o1", graph_slice_id=1),
        lambda s: s.delete_context(org_id=b"o1", graph_slice_id="g1"),
    ],
)
def test_bad_arguments_raise_type_error_and_delete_nothing(slices, log, call):
    with pytest.raises(TypeError):
        call(slices)
    assert remaining(slices) == ALL
    assert context_lines(log) == []


def test_database_error_leaves_only_the_first_line(slices, log, monkeypatch):
    class Broken:
        def execute(self, *args):
            raise RuntimeError("connection lost")

    monkeypatch.setattr(slices, "conn", Broken())
    with pytest.raises(RuntimeError, match="connection lost"):
        slices.delete_context(org_id="o1", graph_slice_id="g1")
    assert [r.msg for r in context_lines(log)] == [ENTER]


def test_deleted_facts_leave_table_reads_but_stay_in_vector_store(store):
    meta = {"user_id": "u1", "org_id": "o1", "graph_slice_id": "g"}
    store.upsert_fact("A", "knows", "B", meta)
    store.upsert_fact("B", "knows", "C", meta)
    store.upsert_fact("B", "likes", "D", {**meta, "graph_slice_id": "h"})
    assert store.delete_context(org_id="o1", graph_slice_id="g") == 2
    assert [(r["subject"], r["object"]) for r in store.get_neighbours("A", 3)] == []
    assert [(r["subject"], r["object"]) for r in store.get_neighbours("B", 3)] == [("B", "D")]
    assert [r["object"] for r in store.fetch_by_metadata(org_id="o1", filters={})] == ["D"]
    assert store.fetch_by_metadata(org_id="o1", filters={"graph_slice_id": "g"}) == []
    found = store.search("A knows B", user_id="u1", org_id="o1", k=10)
    assert sorted((r["subject"], r["predicate"], r["object"]) for r in found) == [
        ("A", "knows", "B"), ("B", "knows", "C"), ("B", "likes", "D")
    ]
