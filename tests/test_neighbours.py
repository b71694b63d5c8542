"""Neighbourhood traversal: forward walk from an entity over every fact,
every path kept."""

from __future__ import annotations

import logging
from collections import Counter

import pytest

from support import MODULE_NAME

ENTER = "get_neighbours: entity=%s depth=%d"
DONE = "get_neighbours: entity=%s returned %d triples"

F1 = ("A", "knows", "B")
F2 = ("B", "knows", "C")
F3 = ("C", "knows", "D")
F4 = ("Z", "likes", "A")


def write(store, *facts, user="u1", org="o1"):
    for s, p, o in facts:
        store.upsert_fact(s, p, o, {"user_id": user, "org_id": org})


def triples(records):
    return sorted((r["subject"], r["predicate"], r["object"]) for r in records)


def expect(*facts):
    return sorted(facts)


@pytest.fixture
def example(store):
    write(store, F1, F2, F3, F4)
    return store


@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    return caplog


def walk_records(caplog):
    return [r for r in caplog.records if r.name == MODULE_NAME and r.msg in (ENTER, DONE)]


@pytest.mark.parametrize(
    ("entity", "depth", "expected"),
    [
        ("A", 1, expect(F1, F4)),
        ("A", 2, expect(F1, F4, F2, F1)),
        ("A", 3, expect(F1, F4, F2, F1, F3, F2)),
        ("B", 2, expect(F1, F2, F2, F3)),
        ("B", 1, expect(F1, F2)),
        ("D", 3, expect(F3)),  # nothing has D as subject
        ("Z", 2, expect(F4, F1)),
        ("Z", 5, expect(F4, F1, F2, F3)),
        ("C", 4, expect(F2, F3, F3)),
    ],
)
def test_example_graph(example, entity, depth, expected):
    got = example.get_neighbours(entity, depth)
    assert triples(got) == expected


def test_default_depth_is_two(example):
    assert triples(example.get_neighbours("A")) == expect(F1, F4, F2, F1)
    assert triples(example.get_neighbours(entity="B")) == expect(F1, F2, F2, F3)


@pytest.mark.parametrize("depth", [0, -1, -1000, 1])
def test_depth_one_or_less_gives_anchor_rows(example, depth):
    assert triples(example.get_neighbours("A", depth)) == expect(F1, F4)
    assert triples(example.get_neighbours("B", depth=depth)) == expect(F1, F2)


@pytest.mark.parametrize(("depth", "as_int"), [(2.0, 2), (2.9, 2), (3.5, 3), (0.5, 1), (True, 1)])
def test_non_integer_depth_is_truncated(example, depth, as_int):
    assert triples(example.get_neighbours("A", depth)) == triples(example.get_neighbours("A", as_int))


@pytest.mark.parametrize(
    ("facts", "entity", "depth", "expected"),
    [
        # two-fact cycle: each fact three times
        ([("X", "r", "Y"), ("Y", "r", "X")], "X", 3, [("X", "r", "Y")] * 3 + [("Y", "r", "X")] * 3),
        ([("X", "r", "Y"), ("Y", "r", "X")], "X", 1, [("X", "r", "Y"), ("Y", "r", "X")]),
        # self-loop: once at hop 1, once at hop 2
        ([("S", "r", "S")], "S", 2, [("S", "r", "S")] * 2),
        ([("S", "r", "S")], "S", 5, [("S", "r", "S")] * 5),
        # three-fact cycle, entity as subject of one and object of another
        ([("P", "r", "Q"), ("Q", "r", "R"), ("R", "r", "P")], "P", 2,
         [("P", "r", "Q"), ("R", "r", "P"), ("Q", "r", "R"), ("P", "r", "Q")]),
    ],
)
def test_cycles_and_self_loops_end(store, facts, entity, depth, expected):
    write(store, *facts)
    assert triples(store.get_neighbours(entity, depth)) == sorted(expected)


def test_many_hops_on_a_cycle_stay_bounded(store):
    write(store, ("X", "r", "Y"), ("Y", "r", "X"))
    got = store.get_neighbours("X", 200)
    assert Counter(triples(got)) == Counter({("X", "r", "Y"): 200, ("Y", "r", "X"): 200})


def test_unknown_entity_gives_empty_list_and_zero_in_log(example, debug_log):
    assert example.get_neighbours("nobody", 3) == []
    enter, done = walk_records(debug_log)
    assert done.args == ("nobody", 0)


@pytest.mark.parametrize("entity", ["a", "b", " A", "A ", "A\n", "Ａ"])
def test_entity_is_compared_exactly(example, entity):
    assert example.get_neighbours(entity, 3) == []


def test_facts_of_all_users_and_organisations_are_walked(store):
    write(store, ("A", "knows", "B"), user="u1", org="o1")
    write(store, ("B", "knows", "C"), user="u2", org="o2")
    write(store, ("C", "knows", "D"), user="", org="")
    store.upsert_fact("D", "knows", "E", {})  # no user or organisation at all
    got = store.get_neighbours("A", 4)
    assert triples(got) == expect(("A", "knows", "B"), ("B", "knows", "C"), ("C", "knows", "D"), ("D", "knows", "E"))


def test_same_triple_for_two_organisations_is_two_facts(store):
    write(store, F1, org="o1")
    write(store, F1, org="o2")
    assert triples(store.get_neighbours("A", 1)) == expect(F1, F1)


def test_records_have_keys_in_order(example):
    got = example.get_neighbours("A", 3)
    assert len(got) == 6
    for record in got:
        assert type(record) is dict
        assert list(record) == ["subject", "predicate", "object"]
        assert all(type(v) is str for v in record.values())


def test_null_columns_come_back_as_none(store):
    store.conn.execute(
        "INSERT INTO facts VALUES ('n1', 'A', NULL, 'B', 'u', 'o', current_timestamp, NULL)"
    )
    store.conn.execute(
        "INSERT INTO facts VALUES ('n2', 'B', 'p', NULL, 'u', 'o', current_timestamp, NULL)"
    )
    got = store.get_neighbours("A", 3)
    assert sorted(got, key=lambda r: r["subject"]) == [
        {"subject": "A", "predicate": None, "object": "B"},
        {"subject": "B", "predicate": "p", "object": None},
    ]


@pytest.mark.parametrize(
    "entity",
    ["short", "e" * 60, "f" * 61, "".join(chr(0x4E00 + i) for i in range(100)), "%s%d"],
)
def test_long_entity_cut_only_in_log_lines(store, debug_log, entity):
    write(store, (entity, "is", "long"), ("long", "is", entity))
    got = store.get_neighbours(entity, 2)
    # the statement received the whole entity
    assert triples(got) == expect(*[(entity, "is", "long"), ("long", "is", entity)] * 2)
    enter, done = walk_records(debug_log)
    assert enter.levelno == done.levelno == logging.DEBUG
    assert enter.args == (entity[:60], 2)
    assert done.args == (entity[:40], 4)


def test_log_count_includes_duplicates(example, debug_log):
    example.get_neighbours("A", 3)
    assert walk_records(debug_log)[-1].args == ("A", 6)


@pytest.mark.parametrize(
    "entity",
    [
        "'; DROP TABLE facts; --",
        "A' OR '1'='1",
        'A" OR "1"="1',
        "A') UNION ALL SELECT id, id, id FROM facts --",
        "A\\",
        "?",
        "A; DELETE FROM facts",
    ],
)
def test_injection_in_entity_changes_nothing(example, entity):
    before = example.conn.execute("SELECT * FROM facts ORDER BY id").fetchall()
    assert example.get_neighbours(entity, 3) == []
    assert example.conn.execute("SELECT * FROM facts ORDER BY id").fetchall() == before
    # an entity that looks like SQL is still an ordinary entity
    write(example, (entity, "is", "odd"))
    assert triples(example.get_neighbours(entity, 1)) == expect((entity, "is", "odd"))
    assert triples(example.get_neighbours("A", 1)) == expect(F1, F4)


@pytest.mark.parametrize("entity", [None, 1, b"A", ["A"]])
def test_entity_must_be_text(example, entity):
    with pytest.raises(TypeError):
        example.get_neighbours(entity, 1)


@pytest.mark.parametrize("depth", ["2", None, [2]])
def test_depth_must_be_a_number(example, depth):
    with pytest.raises(TypeError):
        example.get_neighbours("A", depth)


class CannedRows:
    def __init__(self, rows):
        self.rows = rows

    def execute(self, sql, params=None):
        return self

    def fetchall(self):
        return self.rows


def unpack_error(row):
    try:
        s, p, o = row
    except (TypeError, ValueError) as e:
        return type(e), str(e)


@pytest.mark.parametrize("row", [("a", "b", "c", "d"), ("a", "b"), ["a"], (), "abcd", 5, None])
def test_row_of_another_width_fails_as_unpacking_does(store, monkeypatch, row):
    monkeypatch.setattr(store, "conn", CannedRows([("x", "y", "z"), row]))
    kind, message = unpack_error(row)
    with pytest.raises(kind) as raised:
        store.get_neighbours("x")
    assert str(raised.value) == message


@pytest.mark.parametrize("row", [["a", "b", "c"], "abc", iter(("a", "b", "c"))])
def test_row_of_three_in_any_iterable_gives_the_record(store, monkeypatch, row):
    monkeypatch.setattr(store, "conn", CannedRows([row]))
    assert store.get_neighbours("x") == [{"subject": "a", "predicate": "b", "object": "c"}]
