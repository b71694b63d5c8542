"""The batch upsert: every fact stored as a single upsert stores it, a call
written whole or not at all, the vector store fed after the rows."""

from __future__ import annotations

import hashlib
import json
import logging
import threading
import types

import duckdb
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from support import MODULE_NAME, lines_until_sigkill, run_python

BULK_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.bulk"
COLUMNS = "id, subject, predicate, obj, user_id, org_id, metadata"


@pytest.fixture(scope="module")
def bulk():
    import importlib

    return importlib.import_module(BULK_MODULE)


class ReplacingVectorStore:
    """Keeps the last document given for an id, as most vector stores do."""

    def __init__(self):
        self.docs: dict[str, tuple[str, dict]] = {}
        self.calls = 0

    def add_texts(self, texts, metadatas=None, ids=None):
        self.calls += 1
        for text, meta, doc_id in zip(texts, metadatas, ids, strict=True):
            self.docs[doc_id] = (text, meta)
        return ids


def table(conn):
    return conn.execute(f"SELECT {COLUMNS} FROM facts ORDER BY id").fetchall()


def fresh_connection(store):
    """Points the store at a new in-memory database with the facts schema."""
    store.conn = duckdb.connect(":memory:")
    store._ensure_schema()
    return store.conn


@pytest.fixture
def own_connection(store):
    original = store.conn
    yield lambda: fresh_connection(store)
    store.conn = original


# --- the same outcome as one upsert after another ----------------------------

texts = st.text(st.characters(codec="utf-8"), max_size=12) | st.sampled_from(["a|b", "é", "\U0001f600", ""])
actor = st.sampled_from(["u", "", "|", "ü\U0001d11e"])
metadata = st.fixed_dictionaries(
    {},
    optional={
        "user_id": actor,
        "org_id": actor,
        "graph_slice_id": texts,
        "n": st.integers() | st.floats(allow_nan=False) | st.none() | st.booleans(),
        "body": st.text(st.characters(codec="utf-8"), min_size=60, max_size=400),
        "code_content": st.text(max_size=300),
        "list": st.lists(st.integers(), max_size=5),
    },
)
fact = st.tuples(st.sampled_from(["s", "s|x", "é"]), st.sampled_from(["p", "x|p"]), texts, metadata)


def refused_calls(store, calls):
    """Which calls refuse a fact whose id is stored, or given earlier in the
    call, for another fact; the others are written."""
    stored, refused = {}, []
    for facts in calls:
        seen = dict(stored)
        for subject, predicate, obj, meta in facts:
            user, org = meta.get("user_id", ""), meta.get("org_id", "")
            identity = (subject, predicate, obj, user, org)
            fact_id = store._det_id(f"{subject}|{predicate}|{obj}", user, org)
            if seen.setdefault(fact_id, identity) != identity:
                refused.append(True)
                break
        else:
            refused.append(False)
            stored = seen
    return refused


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(facts=st.lists(fact, max_size=25).flatmap(lambda fs: st.permutations(fs + fs[: len(fs) // 2])))
def test_same_table_and_documents_as_one_by_one(bulk, store, own_connection, facts):
    # A small budget makes the clamp work on most facts.
    # Two calls, the second rewriting what the first stored, so that rows
    # are both added and replaced; a call holding another fact's id is
    # refused whole.
    store._VS_META_MAX = 150
    calls = [facts[: len(facts) // 3], facts]
    refused = refused_calls(store, calls)
    try:
        batch_conn = own_connection()
        store.vector_store = batch_vs = ReplacingVectorStore()
        batch_ids = []
        for call in calls:
            try:
                batch_ids.append(bulk.upsert_facts(store, call))
            except ValueError as error:
                assert "another fact" in str(error) or "different facts" in str(error)
                batch_ids.append(None)

        single_conn = own_connection()
        store.vector_store = single_vs = ReplacingVectorStore()
        single_ids = [None if refuse else [store.upsert_fact(*f) for f in call]
                      for call, refuse in zip(calls, refused)]
    finally:
        del store._VS_META_MAX
    assert batch_ids == single_ids
    assert table(batch_conn) == table(single_conn)
    assert batch_vs.docs == single_vs.docs
    assert batch_vs.calls == sum(bool(call) and not refuse for call, refuse in zip(calls, refused))


class RecordingConnection:
    """Takes the batch's statements and their parameters instead of running them."""

    def __init__(self):
        self.statements, self.params = [], []

    def execute(self, sql, params=None):
        self.statements.append(sql)
        self.params.append(params)
        return self

    def fetchall(self):
        return [(len(self.params),)]  # a new transaction every statement


class Number(int):
    pass


class Text(str):
    pass


# Values of every kind the serialiser takes, including the types the batch
# writes itself and those it leaves to the standard encoder (subclasses,
# ints beyond 64 bits, keys that are not text, nesting past its depth).
json_leaf = (st.none() | st.booleans() | st.integers() | st.integers(2**63 - 3, 2**64 + 3).map(lambda n: -n)
             | st.floats() | st.text(st.characters(codec=None, categories=None), max_size=8)
             | st.sampled_from([Number(3), Text("t"), 10**30, True, '\x00\x1f\x7f"\\/\b\f\n\r\t é\u2026\U0001f600\udc80']))
json_key = st.text(max_size=4) | st.integers() | st.floats() | st.booleans() | st.none() | st.just(Text("k"))
json_value = st.recursive(
    json_leaf,
    lambda inner: st.lists(inner, max_size=3) | st.lists(inner, max_size=3).map(tuple)
    | st.dictionaries(json_key, inner, max_size=3),
    max_leaves=12,
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=json_value, depth=st.sampled_from([0, 70]))
def test_metadata_text_is_the_serialisers(bulk, store, value, depth):
    for _ in range(depth):
        value = [value]
    metadata = {"value": value}
    original, store.conn = store.conn, RecordingConnection()
    try:
        bulk.upsert_facts(store, [("s", "p", "o", metadata)])
        columns = store.conn.params[-1]
    finally:
        store.conn = original
    assert columns[6] == [json.dumps(metadata, separators=(",", ":"))]


def test_input_may_be_any_iterable_of_four_item_sequences(bulk, store):
    facts = (x for x in [["a", "b", "c", {}], ("a", "b", "d", {"user_id": "u"})])
    ids = bulk.upsert_facts(store, facts)
    assert ids == [store._det_id("a|b|c", "", ""), store._det_id("a|b|d", "u", "")]
    assert bulk.upsert_facts(store, []) == []
    assert store.vector_store.calls[1:] == []  # nothing to mirror: no call


@pytest.mark.parametrize("replaced", ["_det_id", "hashlib"])
def test_ids_come_from_the_facilities_in_place_at_the_call(bulk, module, store, monkeypatch, replaced):
    if replaced == "_det_id":
        monkeypatch.setitem(vars(store), "_det_id", lambda triple, user_id, org_id: f"{triple}/{user_id}")
        expected = ["s|p|o/u"]
    else:
        monkeypatch.setattr(module, "hashlib", types.SimpleNamespace(sha256=hashlib.md5))
        expected = [hashlib.md5(b"s|p|ou").hexdigest()]
    assert bulk.upsert_facts(store, [("s", "p", "o", {"user_id": "u"})]) == expected
    assert store.upsert_fact("s", "p", "o", {"user_id": "u"}) == expected[0]


# --- a call is written whole or not at all -----------------------------------

class Unserialisable:
    pass


cyclic: dict = {}
cyclic["self"] = cyclic


@pytest.mark.parametrize(
    ("bad", "error", "message"),
    [
        (("s", 1, "o", {}), TypeError, "Argument 'predicate' has incorrect type (expected str, got int)"),
        (("s", "p", "o", None), TypeError, "Argument 'metadata' has incorrect type (expected dict, got NoneType)"),
        (("s", "p", "o"), ValueError, "not enough values to unpack (expected 4, got 3)"),
        (("s", "p", "o", {}, 5), ValueError, "too many values to unpack (expected 4)"),
        (7, TypeError, "'int' object is not iterable"),
        (("s", "p", "o", {"user_id": None}), TypeError,
         "Argument 'user_id' has incorrect type (expected str, got NoneType)"),
        (("s", "p", "o", {"x": Unserialisable()}), TypeError, None),
        (("s", "p", "o", cyclic), ValueError, "Circular reference detected"),
    ],
)
def test_refused_fact_leaves_nothing_and_names_its_position(bulk, store, bad, error, message):
    good = [(f"s{i}", "p", "o", {"org_id": "g"}) for i in range(5)]
    with pytest.raises(error) as info:
        bulk.upsert_facts(store, good[:3] + [bad] + good[3:])
    if message is not None:
        assert str(info.value) == message
    assert any(note.startswith("facts[3] ") for note in info.value.__notes__)
    assert table(store.conn) == []
    assert store.vector_store.calls == []


@pytest.mark.parametrize(("raised", "replaced"), [
    (duckdb.ConstraintException, True),
    (KeyboardInterrupt, False),
    (RuntimeError, False),  # how the client reports Ctrl-C inside a statement
    (duckdb.ConversionException, False),
])
def test_only_an_error_of_the_adding_statement_leads_to_the_replacing_one(bulk, store, raised, replaced):
    class RefusingConnection(RecordingConnection):
        def execute(self, sql, params=None):
            if "current_transaction_id() <>" in sql:
                raise raised("Query interrupted" if raised is RuntimeError else "refused")
            return super().execute(sql, params)

    original, store.conn = store.conn, RefusingConnection()
    try:
        if replaced:
            bulk.upsert_facts(store, [("s", "p", "o", {})])
        else:
            with pytest.raises(raised):
                bulk.upsert_facts(store, [("s", "p", "o", {})])
        statements = store.conn.statements
    finally:
        store.conn = original
    assert any("ON CONFLICT" in sql for sql in statements) == replaced


def test_database_error_in_the_middle_leaves_nothing(bulk, store):
    # The database refuses metadata holding a lone surrogate as JSON.
    facts = [(f"s{i}", "p", "o", {"x": "\ud800" if i == 50 else "ok"}) for i in range(100)]
    with pytest.raises(duckdb.Error) as info:
        bulk.upsert_facts(store, facts)
    assert info.value.__notes__[-1].startswith("facts[50]: the database refuses its metadata as JSON")
    assert table(store.conn) == []
    assert store.vector_store.calls == []


def test_database_error_inside_the_callers_transaction_keeps_its_own_error(bulk, store):
    # The transaction is aborted by the error, so the question that would name
    # the fact fails too; the write's own error reaches the caller.
    store.conn.execute("BEGIN TRANSACTION")
    try:
        with pytest.raises(duckdb.Error) as info:
            bulk.upsert_facts(store, [("s", "p", "o", {"x": "\ud800"})])
        assert "Malformed JSON" in str(info.value)
        assert info.value.__notes__[-1].startswith("upsert_facts: the statement writing this call's rows failed")
    finally:
        store.conn.execute("ROLLBACK")
    assert table(store.conn) == []


@pytest.mark.parametrize("outcome", ["COMMIT", "ROLLBACK"])
def test_joins_a_transaction_the_caller_opened(bulk, store, outcome):
    bulk.upsert_facts(store, [("stored", "p", "o", {"v": 1})])
    store.conn.execute("BEGIN TRANSACTION")
    store.upsert_fact("single", "p", "o", {})
    bulk.upsert_facts(store, [("batch", "p", "o", {}), ("stored", "p", "o", {"v": 2})])
    store.conn.execute(outcome)
    rows = {row[1]: row[6] for row in table(store.conn)}
    assert rows == ({"stored": '{"v":2}', "single": "{}", "batch": "{}"} if outcome == "COMMIT" else {"stored": '{"v":1}'})


@pytest.mark.parametrize(
    ("graph", "error", "message"),
    [
        (object(), TypeError, "upsert_facts() argument 'graph' must be DuckSqliteGraph, not object"),
        (None, TypeError, "upsert_facts() argument 'graph' must be DuckSqliteGraph, not NoneType"),
    ],
)
def test_graph_must_be_the_store(bulk, graph, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        bulk.upsert_facts(graph, [])


def test_arguments_are_bound_like_the_store_operations(bulk, store):
    with pytest.raises(TypeError, match=r"upsert_facts\(\) takes exactly 2 positional arguments \(1 given\)"):
        bulk.upsert_facts(store)
    assert bulk.upsert_facts(facts=[], graph=store) == []


def test_every_returned_call_survives_sigkill_and_none_is_partial(tmp_path):
    path = str(tmp_path / "store")
    printed = lines_until_sigkill(f"""
        import itertools
        from {MODULE_NAME} import DuckSqliteGraph
        from {BULK_MODULE} import upsert_facts
        store = DuckSqliteGraph({path!r})
        for call in itertools.count():
            upsert_facts(store, [(f"s{{call}}-{{i}}", "p", "o", {{"call": call}}) for i in range(500)])
            print(call, flush=True)
    """, cwd=tmp_path, deadline=60, enough=lambda lines: bool(lines) and int(lines[-1]) >= 20)
    returned = int(printed[-1])
    reader = run_python(f"""
        import json, duckdb
        conn = duckdb.connect({path + "/kgraph.duckdb"!r}, read_only=True)
        rows = conn.execute("SELECT metadata->>'call', count(*) FROM facts GROUP BY 1").fetchall()
        print(json.dumps({{int(c): n for c, n in rows}}))
    """, cwd=tmp_path, timeout=60)
    assert reader.returncode == 0, reader.stderr
    counts = {int(k): v for k, v in json.loads(reader.stdout).items()}
    assert set(range(returned + 1)) <= set(counts)
    assert set(counts.values()) == {500}


# --- threads -------------------------------------------------------------------

def test_single_upserts_while_another_thread_bulk_loads(bulk, store):
    errors: list[BaseException] = []
    acknowledged: list[str] = []

    def bulk_load():
        try:
            for call in range(20):
                bulk.upsert_facts(store, [(f"b{call}-{i}", "p", "o", {"org_id": "g"}) for i in range(300)])
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    loader = threading.Thread(target=bulk_load)
    loader.start()
    i = 0
    while loader.is_alive() or i < 50:
        acknowledged.append(store.upsert_fact(f"single{i}", "p", "o", {"org_id": "g"}))
        i += 1
    loader.join()
    assert errors == []
    stored = {r[0] for r in store.conn.execute("SELECT id FROM facts").fetchall()}
    assert set(acknowledged) <= stored
    assert len(stored) == 20 * 300 + len(acknowledged)


# --- the vector store ------------------------------------------------------------

def test_refused_batch_falls_back_to_one_add_per_fact(bulk, store, caplog):
    """A store that refuses a whole batch holding a known id: each fact is
    then added alone and a duplicate is classified as a single upsert's."""
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    store.vector_store.refuse_stored_ids = True
    known = store.upsert_fact("known", "p", "o", {"user_id": "u"})
    facts = [("new1", "p", "o", {"user_id": "u"}), ("known", "p", "o", {"user_id": "u"}),
             ("new2", "p", "o", {"user_id": "u"})]
    new1, _, new2 = bulk.upsert_facts(store, facts)
    calls = [c[2]["ids"] for c in store.vector_store.calls]
    assert calls == [[known], [new1, known, new2], [new1], [known], [new2]]
    messages = [r.getMessage() for r in caplog.records if r.name == MODULE_NAME]
    assert f"upsert_fact: duplicate id {known} in vector store (expected): Document with ID {known!r} already exists" \
        in messages
    stored = {d.id for d, _ in store.vector_store.inner.similarity_search_with_score("o", k=10)}
    assert stored == {known, new1, new2}


@pytest.mark.parametrize(
    ("exception", "level"),
    [(ValueError("bad vector dimension"), logging.WARNING), (RuntimeError("down"), logging.ERROR)],
)
def test_every_fact_of_a_failing_store_is_logged_and_the_rows_stay(bulk, store, caplog, exception, level):
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    store.vector_store.fail_with = exception
    ids = bulk.upsert_facts(store, [(f"s{i}", "p", "o", {}) for i in range(3)])
    failures = [r for r in caplog.records if r.name == MODULE_NAME and r.levelno == level]
    assert len(failures) == 3 and all(r.exc_info for r in failures)
    assert sorted(r[0] for r in table(store.conn)) == sorted(ids)


def test_interrupt_from_the_vector_store_passes_through_with_the_rows_kept(bulk, store):
    store.vector_store.fail_with = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        bulk.upsert_facts(store, [("s", "p", "o", {})])
    assert len(table(store.conn)) == 1
    assert len(store.vector_store.calls) == 1  # no fallback for an interrupt
