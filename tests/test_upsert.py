"""Writing a fact: the row first, under its deterministic identifier, then
the mirror document in the vector store, whose failures are classified,
logged and tolerated."""

from __future__ import annotations

import datetime
import hashlib
import json
import logging
import re

import pytest

from support import MODULE_NAME, RecordingVectorStore

UPSERT_FORMAT = "upsert_fact: id=%s user=%s org=%s subj=%s pred=%s obj_len=%d"
DUPLICATE_FORMAT = "upsert_fact: duplicate id %s in vector store (expected): %s"
WARNING_FORMAT = "upsert_fact: unexpected ValueError adding to vector store: %s"
ERROR_FORMAT = "upsert_fact: failed to add fact %s to vector store: %s"
INSERT_SQL = (
    "INSERT INTO facts VALUES (?, ?, ?, ?, ?, ?, current_timestamp, ?) ON CONFLICT (id) DO UPDATE SET "
    "created_at = excluded.created_at, metadata = excluded.metadata WHERE facts.subject = excluded.subject "
    "AND facts.predicate = excluded.predicate AND facts.obj = excluded.obj AND facts.user_id = excluded.user_id "
    "AND facts.org_id = excluded.org_id")


class Str(str):
    pass


def sha(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def compact(value) -> str:
    return json.dumps(value, separators=(",", ":"))


def rows(store):
    return store.conn.execute("SELECT * FROM facts ORDER BY id").fetchall()


def module_records(caplog):
    return [r for r in caplog.records if r.name == MODULE_NAME]


@pytest.fixture
def debug_log(caplog):
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    return caplog


@pytest.fixture
def instance_override(store):
    """Sets attributes on the store instance and removes them afterwards."""
    names = []

    def set_(name, value):
        names.append(name)
        setattr(store, name, value)

    yield set_
    for name in names:
        if name in store.__dict__:
            delattr(store, name)


# --- what one write produces -------------------------------------------------

@pytest.mark.parametrize(
    ("subject", "predicate", "obj", "metadata"),
    [
        ("Alice", "knows", "Bob", {"user_id": "u1", "org_id": "o1", "graph_slice_id": "g"}),
        ("Alice", "knows", "Bob", {}),
        ("Alice", "knows", "Bob", {"org_id": "o1"}),
        ("Alice", "knows", "Bob", {"user_id": "u1"}),
        ("", "", "", {"user_id": "", "org_id": ""}),
        ("s", "p", "x|y|z", {"user_id": "u"}),
        ("caf\u00e9", "\u20ac", "\U0001f600", {"user_id": "\u00fc", "org_id": "\u7d44"}),
        ("  padded ", "\t", "\n", {"user_id": " u ", "org_id": "O"}),
    ],
)
def test_row_and_identifier(store, subject, predicate, obj, metadata):
    before = store.conn.execute("SELECT current_timestamp::TIMESTAMP").fetchone()[0]
    fact_id = store.upsert_fact(subject, predicate, obj, metadata)
    after = store.conn.execute("SELECT current_timestamp::TIMESTAMP").fetchone()[0]
    user_id, org_id = metadata.get("user_id", ""), metadata.get("org_id", "")
    triple = f"{subject}|{predicate}|{obj}"
    assert type(fact_id) is str
    assert fact_id == sha(triple + user_id + org_id) == store._det_id(triple, user_id, org_id)
    [row] = rows(store)
    assert row[:6] == (fact_id, subject, predicate, obj, user_id, org_id)  # '' not NULL when absent
    assert row[7] == compact(metadata)
    assert isinstance(row[6], datetime.datetime) and before <= row[6] <= after


@pytest.mark.parametrize(
    "metadata",
    [{}, {"user_id": "u", "org_id": "o"}, {"z": 1, "user_id": "u", "a": [1, {"b": None}], "c": "\u00e9"}],
)
def test_vector_store_document(store, vector_store, metadata):
    fact_id = store.upsert_fact("s", "p|q", "o", metadata)
    [(name, args, kwargs)] = vector_store.calls
    assert name == "add_texts"
    assert args == (["s|p|q|o"],)
    assert list(kwargs) == ["metadatas", "ids"]
    [vs_meta] = kwargs["metadatas"]
    assert kwargs["ids"] == [fact_id]
    # The caller's keys and values only, in their order, as a copy.
    assert vs_meta == metadata and list(vs_meta) == list(metadata) and vs_meta is not metadata


def test_every_write_offers_the_document_again(store, vector_store):
    ids = [store.upsert_fact("s", "p", "o", {"user_id": "u", "n": n}) for n in range(3)]
    assert len(set(ids)) == 1
    assert [call[2]["ids"] for call in vector_store.calls] == [ids[:1]] * 3
    assert [call[2]["metadatas"][0]["n"] for call in vector_store.calls] == [0, 1, 2]
    assert len(rows(store)) == 1


# --- the debug line ------------------------------------------------------------

@pytest.mark.parametrize(
    ("subject", "predicate", "obj", "metadata"),
    [
        ("S" * 100, "P" * 50, "O" * 77, {"user_id": "U" * 80, "org_id": "G" * 70}),
        ("short", "p", "", {}),
        ("S" * 40, "P" * 30, "x", {"user_id": "u"}),
        ("S" * 41, "P" * 31, "x", {"org_id": "o"}),
        ("\U0001f600" * 45, "\u00e9" * 35, "\u00e9" * 5 + "\U0001f600", {}),
    ],
)
def test_debug_line_cuts_long_texts_and_logs_only_the_object_length(store, debug_log, subject, predicate, obj, metadata):
    fact_id = store.upsert_fact(subject, predicate, obj, metadata)
    [record] = module_records(debug_log)
    assert record.levelno == logging.DEBUG
    assert record.msg == UPSERT_FORMAT
    assert record.args == (
        fact_id[:12], metadata.get("user_id", ""), metadata.get("org_id", ""),
        subject[:40], predicate[:30], len(obj),
    )
    assert type(record.args[5]) is int
    assert record.exc_info is None


# --- failures of the mirror ----------------------------------------------------

class VectorDimensionError(ValueError):
    pass


@pytest.mark.parametrize(
    ("exception", "level", "fmt"),
    [
        (ValueError("ID already exists"), logging.DEBUG, DUPLICATE_FORMAT),
        (ValueError("Duplicate document id"), logging.DEBUG, DUPLICATE_FORMAT),
        (ValueError("collection does not EXIST"), logging.DEBUG, DUPLICATE_FORMAT),
        (VectorDimensionError("ALREADY stored"), logging.DEBUG, DUPLICATE_FORMAT),
        (ValueError("bad vector dimension"), logging.WARNING, WARNING_FORMAT),
        (VectorDimensionError("expected 256, got 3"), logging.WARNING, WARNING_FORMAT),
        (ValueError(), logging.WARNING, WARNING_FORMAT),
        (UnicodeError("exis-t"), logging.WARNING, WARNING_FORMAT),
        (RuntimeError("boom"), logging.ERROR, ERROR_FORMAT),
        (KeyError("already exists"), logging.ERROR, ERROR_FORMAT),  # not a ValueError
        (Exception("duplicate"), logging.ERROR, ERROR_FORMAT),
        (ConnectionError("store unreachable"), logging.ERROR, ERROR_FORMAT),
    ],
)
def test_mirror_failure_is_classified_logged_and_tolerated(store, vector_store, debug_log, exception, level, fmt):
    vector_store.fail_with = exception
    fact_id = store.upsert_fact("s", "p", "o", {"user_id": "u"})
    assert fact_id == sha("s|p|ou")
    assert [r[0] for r in rows(store)] == [fact_id]
    first, second = module_records(debug_log)
    assert first.msg == UPSERT_FORMAT
    assert second.levelno == level and second.msg == fmt
    if level == logging.DEBUG:
        assert second.args == (fact_id, exception)
        assert second.exc_info is None
    else:
        expected_args = (exception,) if level == logging.WARNING else (fact_id, exception)
        assert second.args == expected_args
        assert second.exc_info[:2] == (type(exception), exception)
        assert second.exc_info[2] is not None and second.exc_info[2] is exception.__traceback__


@pytest.mark.parametrize("how", ["deleted", "no-add_texts", "add_texts-not-callable"])
def test_missing_or_broken_vector_store_is_an_error_line(store, debug_log, how):
    if how == "deleted":
        del store.vector_store  # the store fixture puts a fresh one back
    elif how == "no-add_texts":
        store.vector_store = object()
    else:
        store.vector_store = type("Broken", (), {"add_texts": 5})()
    fact_id = store.upsert_fact("s", "p", "o", {})
    assert [r[0] for r in rows(store)] == [fact_id]
    first, second = module_records(debug_log)
    assert second.levelno == logging.ERROR and second.msg == ERROR_FORMAT
    assert second.args[0] == fact_id
    assert second.args[1] is second.exc_info[1]
    assert isinstance(second.exc_info[1], (AttributeError, TypeError))


def test_mirror_failure_is_not_left_as_the_handled_exception(store, vector_store):
    vector_store.fail_with = RuntimeError("boom")
    store.upsert_fact("s", "p", "o", {})
    import sys

    assert sys.exception() is None


class FailingLogger(logging.Logger):
    """Logs nothing and fails when asked to report a mirror failure."""

    def error(self, *args, **kwargs):
        raise OSError("log sink gone")


def test_failure_while_logging_a_mirror_failure_reaches_the_caller(module, store, vector_store, monkeypatch):
    monkeypatch.setattr(module, "logger", FailingLogger("tests.failing"))
    vector_store.fail_with = RuntimeError("boom")
    with pytest.raises(OSError, match="log sink gone") as info:
        store.upsert_fact("s", "p", "o", {})
    import sys

    assert sys.exception() is None
    assert isinstance(info.value.__context__, RuntimeError)  # raised while handling the mirror failure
    assert len(rows(store)) == 1


class Abort(BaseException):
    pass


@pytest.mark.parametrize("exception", [KeyboardInterrupt(), SystemExit(3), Abort("stop")])
def test_interrupts_and_exit_requests_pass_through_with_the_row_kept(store, vector_store, debug_log, exception):
    vector_store.fail_with = exception
    with pytest.raises(type(exception)) as info:
        store.upsert_fact("s", "p", "o", {"user_id": "u"})
    assert info.value is exception
    assert [r[0] for r in rows(store)] == [sha("s|p|ou")]
    assert [r.msg for r in module_records(debug_log)] == [UPSERT_FORMAT]


# --- the actor must be exact text ----------------------------------------------

@pytest.mark.parametrize(
    ("metadata", "name", "got"),
    [
        ({"user_id": None}, "user_id", "NoneType"),
        ({"user_id": 5}, "user_id", "int"),
        ({"user_id": Str("u")}, "user_id", "Str"),
        ({"user_id": b"u"}, "user_id", "bytes"),
        ({"org_id": None}, "org_id", "NoneType"),
        ({"user_id": "u", "org_id": 1.5}, "org_id", "float"),
        ({"org_id": Str("o")}, "org_id", "Str"),
        ({"user_id": None, "org_id": None}, "user_id", "NoneType"),
    ],
)
def test_non_text_actor_is_rejected_before_anything_happens(store, vector_store, debug_log, metadata, name, got):
    with pytest.raises(TypeError) as info:
        store.upsert_fact("s", "p", "o", metadata)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"
    if got == "Str":
        assert getattr(info.value, "__notes__", [])  # subclasses of built-in types are rejected
    assert module_records(debug_log) == []
    assert rows(store) == []
    assert vector_store.calls == []


# --- what is read through the instance ---------------------------------------

def test_budget_read_through_the_instance(module, store, vector_store, instance_override):
    metadata = {"user_id": "u", "a": "x" * 300, "code_content": "c" * 100}
    instance_override("_VS_META_MAX", 100)
    store.upsert_fact("s", "p", "o", metadata)
    [vs_meta] = vector_store.calls[0][2]["metadatas"]
    assert vs_meta == module.DuckSqliteGraph._clamp_metadata_for_vs(metadata, 100)
    assert vs_meta != metadata


@pytest.mark.parametrize(
    ("budget", "error", "message"),
    [
        ("100", TypeError, "Argument 'max_bytes' has incorrect type (expected int, got str)"),
        (None, TypeError, "Argument 'max_bytes' has incorrect type (expected int, got NoneType)"),
        (float("nan"), ValueError, None),
    ],
)
def test_unusable_budget_fails_after_the_row_is_written(store, vector_store, instance_override, budget, error, message):
    instance_override("_VS_META_MAX", budget)
    with pytest.raises(error) as info:
        store.upsert_fact("s", "p", "o", {})
    if message is not None:
        assert str(info.value) == message
    assert [r[0] for r in rows(store)] == [sha("s|p|o")]
    assert vector_store.calls == []


def test_clamp_read_through_the_instance(store, vector_store, instance_override):
    seen = []

    def clamp(metadata, max_bytes):
        seen.append((metadata, max_bytes))
        return {"clamped": True}

    metadata = {"user_id": "u"}
    instance_override("_clamp_metadata_for_vs", clamp)
    store.upsert_fact("s", "p", "o", metadata)
    instance_override("_VS_META_MAX", 123)
    store.upsert_fact("s", "p", "o", metadata)
    assert seen[0][0] is metadata and seen[1][0] is metadata
    assert [s[1] for s in seen] == [60000, 123]
    assert [c[2]["metadatas"] for c in vector_store.calls] == [[{"clamped": True}]] * 2
    assert rows(store)[0][7] == compact(metadata)  # the row is never reduced


def test_identifier_read_through_the_instance(store, vector_store, debug_log, instance_override):
    seen = []

    def det_id(*args, **kwargs):
        seen.append((args, kwargs))
        return "f" * 64

    instance_override("_det_id", det_id)
    assert store.upsert_fact("s", "p", "o", {"user_id": "u", "org_id": "g"}) == "f" * 64
    assert seen == [(("s|p|o", "u", "g"), {})]
    assert rows(store)[0][0] == "f" * 64
    assert vector_store.calls[0][2]["ids"] == ["f" * 64]
    assert module_records(debug_log)[0].args[0] == "f" * 12


def test_module_logger_looked_up_at_call_time(module, store, vector_store, caplog, monkeypatch):
    replacement = logging.getLogger("tests.replacement_logger")
    caplog.set_level(logging.DEBUG, logger="tests.replacement_logger")
    caplog.set_level(logging.DEBUG, logger=MODULE_NAME)
    monkeypatch.setattr(module, "logger", replacement)
    vector_store.fail_with = RuntimeError("boom")
    store.upsert_fact("s", "p", "o", {})
    assert [(r.name, r.msg) for r in caplog.records] == [
        ("tests.replacement_logger", UPSERT_FORMAT),
        ("tests.replacement_logger", ERROR_FORMAT),
    ]


# --- the order of the steps, and the statement ---------------------------------

class RecordingConnection:
    def __init__(self, events, fail_with=None):
        self.events = events
        self.statements = []
        self.fail_with = fail_with

    def execute(self, sql, *params):
        self.events.append("execute")
        self.statements.append((sql, params))
        if self.fail_with is not None:
            raise self.fail_with
        return self

    def fetchall(self):
        return []  # no count row: counts as written


class EventHandler(logging.Handler):
    def __init__(self, events):
        super().__init__(logging.DEBUG)
        self.events = events

    def emit(self, record):
        self.events.append(f"log:{record.levelname.lower()}")


@pytest.fixture
def traced_store(module, store, instance_override, monkeypatch, debug_log):
    """The store with every collaborator of the upsert recording into one
    list of events."""
    events = []
    real_json = module.json
    real_det_id = store._det_id

    class TracingJson:
        @staticmethod
        def dumps(*args, **kwargs):
            events.append("dumps")
            return real_json.dumps(*args, **kwargs)

    def det_id(*args):
        events.append("det_id")
        return real_det_id(*args)

    def clamp(metadata, max_bytes):
        events.append("clamp")
        return dict(metadata)

    class TracingVectorStore(RecordingVectorStore):
        def add_texts(self, *args, **kwargs):
            events.append("add_texts")
            return super().add_texts(*args, **kwargs)

    monkeypatch.setattr(module, "json", TracingJson)
    instance_override("_det_id", det_id)
    instance_override("_clamp_metadata_for_vs", clamp)
    store.vector_store = TracingVectorStore()
    handler = EventHandler(events)
    logger = logging.getLogger(MODULE_NAME)
    logger.addHandler(handler)
    conn = RecordingConnection(events)
    real_conn = store.conn
    store.conn = conn
    try:
        yield store, events, conn
    finally:
        store.conn = real_conn
        logger.removeHandler(handler)


def test_steps_run_in_order_with_the_statement_and_seven_values(traced_store):
    store, events, conn = traced_store
    metadata = {"user_id": "u", "org_id": "g", "k": "v"}
    fact_id = store.upsert_fact("s", "p", "o", metadata)
    # This connection tells no transaction id: the replacing statement runs
    # at once, and its result without a count counts as written.
    assert events == ["det_id", "log:debug", "dumps", "execute", "execute", "clamp", "add_texts"]
    [(question, _), (sql, params)] = conn.statements
    assert question == "SELECT current_transaction_id()"
    assert re.sub(r"\s+", " ", sql).strip() == INSERT_SQL
    assert len(params) == 1 and type(params[0]) is list
    assert params[0] == [fact_id, "s", "p", "o", "u", "g", compact(metadata)]


def test_database_failure_reaches_the_caller_and_the_vector_store_is_not_called(traced_store):
    import duckdb

    store, events, conn = traced_store
    failure = duckdb.IOException("disk gone")
    conn.fail_with = failure
    with pytest.raises(duckdb.IOException) as info:
        store.upsert_fact("s", "p", "o", {})
    assert info.value is failure
    assert events == ["det_id", "log:debug", "dumps", "execute"]


def test_mirror_failure_is_logged_after_the_row_is_written(traced_store):
    store, events, _ = traced_store
    store.vector_store.fail_with = ValueError("bad vector dimension")
    store.upsert_fact("s", "p", "o", {})
    assert events == ["det_id", "log:debug", "dumps", "execute", "execute", "clamp", "add_texts", "log:warning"]
