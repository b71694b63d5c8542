"""Metadata filter fetch: one organisation's facts whose metadata holds the
given values at the given top-level keys."""

from __future__ import annotations

import logging
import re

import pytest

from support import MODULE_NAME

ENTER = "fetch_by_metadata: org=%s filters=%s"
UNSAFE = "fetch_by_metadata: rejecting unsafe filter key: %r"
DONE = "fetch_by_metadata: org=%s returned %d triples"
SELECT = "SELECT subject, predicate, obj, metadata FROM facts WHERE "


class RecordingConn:
    """Passes every statement to the real connection and remembers it."""

    def __init__(self, real):
        self.real = real
        self.statements = []

    def execute(self, sql, params=None):
        self.statements.append((sql, params))
        return self.real.execute(sql) if params is None else self.real.execute(sql, params)


@pytest.fixture
def recording_conn(store, monkeypatch):
    conn = RecordingConn(store.conn)
    monkeypatch.setattr(store, "conn", conn)
    return conn


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    return caplog


def fetch_records(caplog):
    return [r for r in caplog.records if r.name == MODULE_NAME and r.msg in (ENTER, UNSAFE, DONE)]


def objects(records):
    return sorted(r["object"] for r in records)


def norm(sql):
    return " ".join(sql.split())


# Facts of three organisations, with many kinds of metadata values.
ROWS = [
    ("o1", "t-plain", {"kind": "doc", "n": 5, "flag": True, "lang": "en"}),
    ("o1", "t-text5", {"kind": "doc", "n": "5", "flag": "true", "lang": "fr"}),
    ("o1", "t-other", {"kind": "note", "n": 6, "flag": False}),
    ("o1", "t-accent", {"kind": "café", "name": "é"}),
    ("o1", "t-quotes", {"kind": 'say "hi" \\ bye', "path": "C:\\dir\\x"}),
    ("o1", "t-nested", {"kind": {"inner": "doc"}, "list": [1, 2]}),
    ("o1", "t-empty", {}),
    ("o2", "u-plain", {"kind": "doc", "n": 5, "flag": True, "lang": "en"}),
    ("o2", "u-accent", {"kind": "café", "name": "é"}),
    ("", "v-noorg", {"kind": "doc"}),
]


_written_rows: list[tuple] = []


@pytest.fixture
def facts(store):
    """The facts of ROWS as the upsert writes them. Written through the upsert
    once; later tests put the same rows back in one statement, which is much
    faster than one committed upsert per fact."""
    if not _written_rows:
        for org, obj, meta in ROWS:
            metadata = dict(meta)
            if org:
                metadata = {"user_id": "u", "org_id": org, **meta}
            store.upsert_fact("s", "p", obj, metadata)
        _written_rows.extend(store.conn.execute("SELECT * FROM facts").fetchall())
    else:
        placeholders = ", ".join(["(?, ?, ?, ?, ?, ?, ?, ?)"] * len(_written_rows))
        store.conn.execute(
            f"INSERT INTO facts VALUES {placeholders}", [v for row in _written_rows for v in row]
        )
    return store


# ------------------------------------------------------------ the statement


@pytest.mark.parametrize(
    ("filters", "conditions", "params"),
    [
        ({}, [], ["o1"]),
        ({"kind": "doc"}, ["kind"], ["o1", "$.kind", "doc"]),
        ({"kind": "doc", "n": 5}, ["kind", "n"], ["o1", "$.kind", "doc", "$.n", 5]),
        ({"n": 5, "kind": "doc"}, ["n", "kind"], ["o1", "$.n", 5, "$.kind", "doc"]),
        ({"a.b": "x", "kind": "doc", "$y": 1}, ["kind"], ["o1", "$.kind", "doc"]),
        ({"a.b": "x", "": 1}, [], ["o1"]),
        ({"k\n": "v"}, ["k\n"], ["o1", "$.k\n", "v"]),
        ({"flag": True, "none": None, "f": 1.5}, ["flag", "none", "f"], ["o1", "$.flag", True, "$.none", None, "$.f", 1.5]),
    ],
)
def test_statement_has_org_first_then_filters_in_order(store, recording_conn, filters, conditions, params):
    store.fetch_by_metadata(org_id="o1", filters=filters)
    [(sql, sent)] = recording_conn.statements
    assert sql.startswith(SELECT)
    where = sql[len(SELECT):].split(" AND ")
    assert where[0] == "org_id = ?"
    assert len(where) == 1 + len(conditions)
    assert all(c.startswith("json_extract(metadata, ?) = ") for c in where[1:])
    assert type(sent) is list
    assert sent == params
    # values are bound as they are, never as their text
    assert [type(v) for v in sent] == [type(v) for v in params]
    for value in params[1:]:
        if isinstance(value, str) and len(value) > 2 and not value.startswith("$."):
            assert value not in sql


def test_same_pairs_in_another_order_give_same_statement(store, recording_conn):
    store.fetch_by_metadata(org_id="o1", filters={"a": "1", "b": 2})
    store.fetch_by_metadata(org_id="o1", filters={"b": 2, "a": "1"})
    (sql1, p1), (sql2, p2) = recording_conn.statements
    assert sql1 == sql2
    assert p1 == ["o1", "$.a", "1", "$.b", 2] and p2 == ["o1", "$.b", 2, "$.a", "1"]


# ------------------------------------------------------------ tenant isolation


@pytest.mark.parametrize(
    "filters",
    [
        {},
        {"kind": "doc"},
        {"org_id": "o2"},
        {"org_id": "o1"},
        {"user_id": "u"},
        {"name": "é"},
        {"a.b": "x", "org_id ": "o2"},
        {"kind": "doc' OR org_id = 'o2"},
        {"kind": "doc\") OR (1=1"},
    ],
)
@pytest.mark.parametrize("org", ["o1", "o2", "", "o3"])
def test_other_organisations_never_returned(facts, org, filters):
    got = facts.fetch_by_metadata(org_id=org, filters=filters)
    prefix = {"o1": "t-", "o2": "u-", "": "v-", "o3": "?"}[org]
    assert all(r["object"].startswith(prefix) for r in got)


def test_empty_filters_return_the_whole_organisation(facts):
    got = facts.fetch_by_metadata(org_id="o1", filters={})
    assert objects(got) == sorted(obj for org, obj, _ in ROWS if org == "o1")
    assert objects(facts.fetch_by_metadata(org_id="", filters={})) == ["v-noorg"]
    assert facts.fetch_by_metadata(org_id="o3", filters={}) == []


def test_records_carry_parsed_metadata_with_keys_in_order(facts):
    [record] = facts.fetch_by_metadata(org_id="o2", filters={"name": "é"})
    assert list(record) == ["subject", "predicate", "object", "metadata"]
    assert record == {
        "subject": "s", "predicate": "p", "object": "u-accent",
        "metadata": {"user_id": "u", "org_id": "o2", "kind": "café", "name": "é"},
    }
    assert list(record["metadata"]) == ["user_id", "org_id", "kind", "name"]


# ------------------------------------------------------------ value matching


@pytest.mark.parametrize(
    ("filters", "expected"),
    [
        ({"kind": "doc"}, ["t-plain", "t-text5"]),
        ({"kind": "note"}, ["t-other"]),
        ({"kind": "café"}, ["t-accent"]),
        ({"name": "é"}, ["t-accent"]),
        ({"name": "e"}, []),
        ({"name": "\\u00e9"}, []),
        ({"kind": 'say "hi" \\ bye'}, ["t-quotes"]),
        ({"path": "C:\\dir\\x"}, ["t-quotes"]),
        ({"n": 5}, ["t-plain"]),
        ({"n": "5"}, ["t-text5"]),
        ({"n": 6}, ["t-other"]),
        ({"n": "6"}, []),
        ({"flag": True}, ["t-plain"]),
        ({"flag": False}, ["t-other"]),
        ({"flag": "true"}, ["t-text5"]),
        ({"flag": "True"}, []),
        ({"kind": "doc", "n": 5}, ["t-plain"]),
        ({"kind": "doc", "n": "5"}, ["t-text5"]),
        ({"kind": "doc", "n": 6}, []),
        ({"lang": "en", "flag": True, "n": 5, "kind": "doc"}, ["t-plain"]),
        ({"missing": "doc"}, []),
        ({"Kind": "doc"}, []),  # keys are case-sensitive
        ({"kind": "Doc"}, []),
        ({"kind": "inner"}, []),
        ({"inner": "doc"}, []),  # only top-level keys count
        ({"kind": ""}, []),
        ({"n": None}, []),
        ({"missing": None}, []),
        ({"user_id": "u"}, ["t-accent", "t-nested", "t-other", "t-plain", "t-quotes", "t-text5", "t-empty"]),
    ],
)
def test_values_match_by_kind_and_content(facts, filters, expected):
    assert objects(facts.fetch_by_metadata(org_id="o1", filters=filters)) == sorted(expected)


def test_non_ascii_is_stored_escaped_and_still_matches(facts):
    [(stored,)] = facts.conn.execute(
        "SELECT metadata FROM facts WHERE obj = 't-accent'"
    ).fetchall()
    assert "\\u00e9" in stored and "é" not in stored
    assert objects(facts.fetch_by_metadata(org_id="o1", filters={"name": "é", "kind": "café"})) == ["t-accent"]


@pytest.mark.parametrize(
    "value",
    ["doc", "", "5", "null", "true", "[1, 2]", '{"a":1}', "not json at all", '"quoted"', "\\", "\x00", "é" * 100],
)
def test_text_values_never_raise_whatever_the_stored_metadata(store, value):
    kinds = ['{"k":"v"}', '{"k":5}', '{"k":true}', '{"k":null}', '{"k":[1]}', '{"k":{"a":1}}',
             '[1,2]', '"text"', "5", "null", None, "[1,2,]"]
    store.conn.execute(
        "INSERT INTO facts VALUES " + ", ".join(["(?, 's', 'p', ?, 'u', 'o1', current_timestamp, ?)"] * len(kinds)),
        [v for i, meta in enumerate(kinds) for v in (f"id{i}", f"o{i}", meta)],
    )
    got = store.fetch_by_metadata(org_id="o1", filters={"k": value})
    assert got == []
    got = store.fetch_by_metadata(org_id="o1", filters={"k": "v"})
    assert objects(got) == ["o0"]


@pytest.mark.parametrize(
    ("stored", "expected"),
    [
        (None, None),
        ("[1,2]", [1, 2]),
        ('["a",{"b":null}]', ["a", {"b": None}]),
        ('"text"', "text"),
        ("5", 5),
        ("true", True),
        ("null", None),
        ('{"a":{"b":[1,"\\u00e9"]}}', {"a": {"b": [1, "é"]}}),
        # the engine accepts these; the host parser does not
        ("[1,2,]", {}),
        ('{"a":1,}', {}),
        ("[" * 100000 + "]" * 100000, {}),
    ],
)
def test_stored_metadata_is_parsed_by_the_host_parser(store, stored, expected):
    store.conn.execute(
        "INSERT INTO facts VALUES ('x', 's', 'p', 'o', 'u', 'o1', current_timestamp, ?)", [stored]
    )
    store.conn.execute(
        "INSERT INTO facts VALUES ('y', 's', 'p', 'ok', 'u', 'o1', current_timestamp, '{\"a\":1}')"
    )
    got = {r["object"]: r["metadata"] for r in store.fetch_by_metadata(org_id="o1", filters={})}
    assert got == {"o": expected, "ok": {"a": 1}}


def test_invalid_json_text_cannot_be_stored_in_the_metadata_column(store):
    # so a row with metadata the engine itself cannot parse never reaches the fetch
    with pytest.raises(Exception, match="Malformed JSON"):
        store.conn.execute(
            "INSERT INTO facts VALUES ('x', 's', 'p', 'o', 'u', 'o1', current_timestamp, 'not json')"
        )


# ------------------------------------------------------------ key screening


UNSAFE_KEYS = ["a.b", "a-b", "a b", "", "a[0]", "$x", "é", "kéy", "a\nb", "\na", "a\n\n", "a\r", " a", "a\t",
               "a'b", 'a"b', "a;b", "ａ", "٣", "a)", "*"]


@pytest.mark.parametrize("key", UNSAFE_KEYS)
def test_unsafe_key_is_logged_and_skipped(facts, log, key):
    # the unsafe key names a value that would select nothing; the safe pair still filters
    got = facts.fetch_by_metadata(org_id="o1", filters={key: "zzz", "kind": "note"})
    assert objects(got) == ["t-other"]
    warnings = [r for r in fetch_records(log) if r.msg == UNSAFE]
    assert len(warnings) == 1
    assert warnings[0].levelno == logging.WARNING
    assert warnings[0].args == (key,)
    assert warnings[0].getMessage() == f"fetch_by_metadata: rejecting unsafe filter key: {key!r}"


def test_all_keys_unsafe_behaves_as_no_filter_with_one_warning_each(facts, log, recording_conn):
    keys = ["a.b", "a-b", "", "$x"]
    got = facts.fetch_by_metadata(org_id="o1", filters={k: "v" for k in keys})
    assert objects(got) == sorted(obj for org, obj, _ in ROWS if org == "o1")
    assert [r.args[0] for r in fetch_records(log) if r.msg == UNSAFE] == keys
    [(sql, params)] = recording_conn.statements
    assert norm(sql) == norm(SELECT + "org_id = ?") and params == ["o1"]


@pytest.mark.parametrize("key", ["k", "K_9", "_", "0", "a" * 200])
def test_safe_keys_filter(store, key):
    store.upsert_fact("s", "p", "hit", {"org_id": "o1", key: "v"})
    store.upsert_fact("s", "p", "miss", {"org_id": "o1", key: "w"})
    assert objects(store.fetch_by_metadata(org_id="o1", filters={key: "v"})) == ["hit"]


def test_key_with_final_line_feed_passes_and_keeps_it_in_the_path(store, log, recording_conn):
    store.upsert_fact("s", "p", "with-lf", {"org_id": "o1", "k\n": "v"})
    store.upsert_fact("s", "p", "without", {"org_id": "o1", "k": "v"})
    assert objects(store.fetch_by_metadata(org_id="o1", filters={"k\n": "v"})) == ["with-lf"]
    assert objects(store.fetch_by_metadata(org_id="o1", filters={"k": "v"})) == ["without"]
    assert not [r for r in fetch_records(log) if r.msg == UNSAFE]
    assert recording_conn.statements[-2][1] == ["o1", "$.k\n", "v"]


@pytest.mark.parametrize("bad_key", [1, 2.5, None, b"kind", ("k",), True])
def test_non_text_key_raises_type_error_before_any_query(facts, log, recording_conn, bad_key):
    with pytest.raises(TypeError):
        facts.fetch_by_metadata(org_id="o1", filters={"a.b": "x", bad_key: "v", "kind": "doc", "c-d": "y"})
    assert recording_conn.statements == []
    msgs = [(r.msg, r.args) for r in fetch_records(log)]
    # the warning for the earlier key stays; nothing after the bad key is logged
    assert msgs[0][0] == ENTER
    assert msgs[1:] == [(UNSAFE, ("a.b",))]


def test_pattern_is_read_through_the_instance(facts, log, monkeypatch):
    seen = []

    class Pattern:
        def match(self, key):
            seen.append(key)
            return key.startswith("ok")

    monkeypatch.setattr(facts, "_SAFE_KEY_RE", Pattern())
    facts.upsert_fact("s", "p", "dotted", {"org_id": "o1", "ok": {"x": "1"}})
    got = facts.fetch_by_metadata(org_id="o1", filters={"kind": "doc", "ok.x": "1"})
    assert seen == ["kind", "ok.x"]
    # "kind" was rejected by the replacement pattern, "ok.x" accepted
    assert objects(got) == ["dotted"]
    assert [r.args for r in fetch_records(log) if r.msg == UNSAFE] == [("kind",)]


def test_replaced_pattern_accepting_everything_is_honoured(facts, monkeypatch):
    monkeypatch.setattr(facts, "_SAFE_KEY_RE", re.compile(r".*"))
    facts.upsert_fact("s", "p", "has-dash", {"org_id": "o1", "a-b": "v"})
    facts.upsert_fact("s", "p", "nested", {"org_id": "o1", "a": {"b": "v"}})
    # "a.b" now becomes the path $.a.b
    assert objects(facts.fetch_by_metadata(org_id="o1", filters={"a.b": "v"})) == ["nested"]


def test_class_pattern_is_the_documented_one(store):
    pattern = type(store)._SAFE_KEY_RE
    assert pattern.pattern == "^[A-Za-z0-9_]+$"
    assert pattern.flags == re.UNICODE
    assert store._SAFE_KEY_RE is pattern


# ------------------------------------------------------------ logging


@pytest.mark.parametrize(
    "filters",
    [{}, {"kind": "secret-value"}, {"kind": "doc", "n": 5, "a.b": "hidden"}, {"k\n": "v"}],
)
def test_log_lines_name_keys_never_values(facts, log, filters):
    got = facts.fetch_by_metadata(org_id="o1", filters=filters)
    lines = fetch_records(log)
    enter, done = lines[0], lines[-1]
    assert enter.levelno == done.levelno == logging.DEBUG
    assert enter.msg == ENTER and enter.args == ("o1", list(filters))
    assert type(enter.args[1]) is list
    assert done.msg == DONE and done.args == ("o1", len(got))
    text = "\n".join(r.getMessage() for r in lines)
    for value in filters.values():
        if isinstance(value, str) and len(value) > 2:
            assert value not in text


def test_log_counts_zero(facts, log):
    assert facts.fetch_by_metadata(org_id="nobody", filters={}) == []
    assert fetch_records(log)[-1].args == ("nobody", 0)


# ------------------------------------------------------------ injection


@pytest.mark.parametrize(
    "filters",
    [
        {"kind": "'; DROP TABLE facts; --"},
        {"kind": "doc' OR '1'='1"},
        {"kind": '") OR 1=1 --'},
        {"kind": "$.n"},
        {"kind": "?"},
        {"kind; DROP TABLE facts; --": "doc"},
        {"kind') OR 1=1 --": "doc"},
        {"kind' OR '1'='1": "doc"},
        {"$.kind": "doc"},
        {"kind\n; DELETE FROM facts": "doc"},
    ],
)
@pytest.mark.parametrize("org", ["o1", "o1' OR '1'='1", "'; DROP TABLE facts; --"])
def test_injection_attempts_change_nothing(facts, org, filters):
    before = facts.conn.execute("SELECT * FROM facts ORDER BY id").fetchall()
    got = facts.fetch_by_metadata(org_id=org, filters=filters)
    after = facts.conn.execute("SELECT * FROM facts ORDER BY id").fetchall()
    assert after == before
    if org != "o1":
        assert got == []
    else:
        # unsafe keys are dropped (the whole organisation); otherwise nothing matches
        assert objects(got) in ([], sorted(obj for o, obj, _ in ROWS if o == "o1"))
        assert all(r["object"].startswith("t-") for r in got)


def test_value_that_looks_like_sql_is_an_ordinary_value(store):
    value = "'; DROP TABLE facts; --"
    store.upsert_fact("s", "p", "odd", {"org_id": "o1", "k": value})
    store.upsert_fact("s", "p", "odd-other-org", {"org_id": "o2", "k": value})
    assert objects(store.fetch_by_metadata(org_id="o1", filters={"k": value})) == ["odd"]


# ------------------------------------------------------------ boundary


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda s: s.fetch_by_metadata("o1", {}), TypeError),
        (lambda s: s.fetch_by_metadata(org_id="o1"), TypeError),
        (lambda s: s.fetch_by_metadata(filters={}), TypeError),
        (lambda s: s.fetch_by_metadata(org_id=None, filters={}), TypeError),
        (lambda s: s.fetch_by_metadata(org_id="o1", filters=None), TypeError),
        (lambda s: s.fetch_by_metadata(org_id="o1", filters=[("k", "v")]), TypeError),
    ],
)
def test_bad_arguments_fail_before_any_query(facts, recording_conn, log, call, error):
    with pytest.raises(error):
        call(facts)
    assert recording_conn.statements == []
    assert fetch_records(log) == []


def test_path_of_a_str_subclass_key_is_built_from_its_screened_value(store, recording_conn):
    class Key(str):
        def __str__(self):
            return "other"

    store.upsert_fact("s", "p", "o", {"org_id": "o1", "kind": "doc"})
    got = store.fetch_by_metadata(org_id="o1", filters={Key("kind"): "doc"})
    assert objects(got) == ["o"]
    path = recording_conn.statements[-1][1][1]
    assert (type(path), path) == (str, "$.kind")


def test_none_matches_a_stored_null_and_never_a_missing_key(store):
    for subject, meta in [("null", {"flag": None}), ("missing", {}), ("false", {"flag": False}), ("text", {"flag": "null"})]:
        store.upsert_fact(subject, "p", "o", {"org_id": "o", **meta})
    assert [r["subject"] for r in store.fetch_by_metadata(org_id="o", filters={"flag": None})] == ["null"]
