"""The `facts` table and its two indexes: layout on a new file, the statements
that create them, idempotence on an existing file, and a pre-existing table
that does not fit."""

from __future__ import annotations

import json
import re
import textwrap

import duckdb
import pytest

from support import run_python

COLUMNS = [
    # name, type, nullable, default
    ("id", "VARCHAR", False, None),
    ("subject", "VARCHAR", True, None),
    ("predicate", "VARCHAR", True, None),
    ("obj", "VARCHAR", True, None),
    ("user_id", "VARCHAR", True, None),
    ("org_id", "VARCHAR", True, None),
    ("created_at", "TIMESTAMP", True, "current_timestamp"),
    ("metadata", "JSON", True, None),
]
INDEXES = {"idx_user": "[user_id, org_id]", "idx_org_created": "[org_id, created_at]"}

STATEMENTS = [
    "CREATE TABLE IF NOT EXISTS facts ( id TEXT PRIMARY KEY, subject TEXT, predicate TEXT, obj TEXT, "
    "user_id TEXT, org_id TEXT, created_at TIMESTAMP DEFAULT current_timestamp, metadata JSON )",
    "CREATE INDEX IF NOT EXISTS idx_user ON facts(user_id, org_id)",
    "CREATE INDEX IF NOT EXISTS idx_org_created ON facts(org_id, created_at)",
]


def normalise_sql(text: str) -> str:
    text = " ".join(text.split())
    return re.sub(r"\s*([(),])\s*", r"\1", text)


def columns(conn):
    rows = conn.execute(
        "SELECT column_name, data_type, is_nullable, column_default FROM duckdb_columns() "
        "WHERE table_name = 'facts' ORDER BY column_index").fetchall()
    return [(n, t, nullable, d.lower() if d else d) for n, t, nullable, d in rows]


def indexes(conn):
    rows = conn.execute(
        "SELECT index_name, expressions, is_unique FROM duckdb_indexes() WHERE table_name = 'facts'").fetchall()
    return {name: (expressions, unique) for name, expressions, unique in rows}


def constraints(conn):
    rows = conn.execute(
        "SELECT constraint_type, constraint_column_names FROM duckdb_constraints() "
        "WHERE table_name = 'facts'").fetchall()
    return sorted((kind, tuple(cols)) for kind, cols in rows)


def all_rows(conn):
    return conn.execute("SELECT * FROM facts ORDER BY id").fetchall()


def check_layout(conn):
    assert columns(conn) == COLUMNS
    assert indexes(conn) == {name: (cols, False) for name, cols in INDEXES.items()}
    assert constraints(conn) == [("NOT NULL", ("id",)), ("PRIMARY KEY", ("id",))]


def start_store(cwd, persist_path: str) -> dict:
    """Starts a store in a fresh process and reports how the start ended."""
    code = f'''
        import json, duckdb
        import corvanta.kgraph.providers.duckdb_sqlite.duck_graph as m
        out = {{}}
        try:
            m.DuckSqliteGraph({persist_path!r})
            out["raised"] = None
        except Exception as e:
            out.update(raised=type(e).__name__, message=str(e), cause_text=str(e.__cause__),
                       cause_is_duckdb_error=isinstance(e.__cause__, duckdb.Error))
        out["attrs"] = list(vars(m.DuckSqliteGraph._instance))
        print(json.dumps(out))
    '''
    proc = run_python(textwrap.dedent(code), cwd=cwd)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --- layout ------------------------------------------------------------------

def test_new_database_has_the_table_and_indexes(started_store):
    check_layout(started_store.conn)


def test_layout_is_on_disk_after_the_process_ends(tmp_path):
    assert start_store(tmp_path, "fresh")["raised"] is None
    with duckdb.connect(str(tmp_path / "fresh" / "kgraph.duckdb")) as conn:
        check_layout(conn)
        assert all_rows(conn) == []


def test_created_at_defaults_to_the_current_time(store):
    store.conn.execute("INSERT INTO facts (id) VALUES ('x')")
    row = store.conn.execute(
        "SELECT id, subject, predicate, obj, user_id, org_id, metadata, "
        "abs(epoch(now()::TIMESTAMP) - epoch(created_at)) FROM facts").fetchone()
    assert row[:7] == ("x", None, None, None, None, None, None)
    assert row[7] < 5


@pytest.mark.parametrize("statement", [
    "INSERT INTO facts (id, subject) VALUES (NULL, 's')",
    "INSERT INTO facts (subject) VALUES ('s')",
    "INSERT INTO facts (id) VALUES ('dup')",
])
def test_id_is_required_and_unique(store, statement):
    store.conn.execute("INSERT INTO facts (id) VALUES ('dup')")
    with pytest.raises(duckdb.ConstraintException):
        store.conn.execute(statement)
    assert store.conn.execute("SELECT id FROM facts").fetchall() == [("dup",)]


# --- _ensure_schema ----------------------------------------------------------

class RecordingConnection:
    def __init__(self, conn, fail_at: int | None = None, error: Exception | None = None):
        self.conn, self.fail_at, self.error = conn, fail_at, error
        self.calls = []

    def execute(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if len(self.calls) == self.fail_at:
            raise self.error
        return self.conn.execute(*args, **kwargs)


def test_ensure_schema_runs_three_statements_on_the_connection(store):
    recorder = RecordingConnection(store.conn)
    real = store.conn
    store.conn = recorder
    try:
        assert store._ensure_schema() is None
    finally:
        store.conn = real
    assert [kwargs for _, kwargs in recorder.calls] == [{}, {}, {}]
    assert [len(args) for args, _ in recorder.calls] == [1, 1, 1]
    assert [normalise_sql(args[0]) for args, _ in recorder.calls] == [normalise_sql(s) for s in STATEMENTS]


def test_ensure_schema_lets_an_error_through_unchanged(store):
    error = RuntimeError("no index today")
    recorder = RecordingConnection(store.conn, fail_at=2, error=error)
    real = store.conn
    store.conn = recorder
    try:
        with pytest.raises(RuntimeError) as info:
            store._ensure_schema()
    finally:
        store.conn = real
    assert info.value is error
    assert len(recorder.calls) == 2


def test_ensure_schema_is_idempotent(store):
    store.upsert_fact("a", "b", "c", {"user_id": "u", "org_id": "o", "note": "\u00e9"})
    store.conn.execute("INSERT INTO facts VALUES ('n', NULL, NULL, NULL, NULL, NULL, NULL, NULL)")
    before = all_rows(store.conn)
    store._ensure_schema()
    store._ensure_schema()
    assert all_rows(store.conn) == before
    check_layout(store.conn)


# --- start-up on an existing file ----------------------------------------------

def test_start_up_on_an_existing_database_keeps_its_rows(tmp_path):
    (tmp_path / "kept").mkdir()
    path = str(tmp_path / "kept" / "kgraph.duckdb")
    with duckdb.connect(path) as conn:
        conn.execute(STATEMENTS[0])  # the table without its indexes
        conn.execute("INSERT INTO facts VALUES ('1', 's', 'p', 'o', 'u', 'g', TIMESTAMP '2001-02-03 04:05:06', "
                     "'{\"user_id\":\"u\"}')")
        conn.execute("INSERT INTO facts VALUES ('2', 'x', 'y', 'z', NULL, NULL, NULL, NULL)")
        before = all_rows(conn)
    assert start_store(tmp_path, "kept")["raised"] is None
    with duckdb.connect(path) as conn:
        assert all_rows(conn) == before
        check_layout(conn)


@pytest.mark.parametrize("missing, indexes_left", [
    ("user_id", {}),
    ("org_id", {}),
    ("created_at", {"idx_user": ("[user_id, org_id]", False)}),
])
def test_existing_table_that_does_not_fit_fails_start_up(tmp_path, missing, indexes_left):
    (tmp_path / "old").mkdir()
    path = str(tmp_path / "old" / "kgraph.duckdb")
    kept = [c for c in ("id", "subject", "user_id", "org_id", "created_at") if c != missing]
    with duckdb.connect(path) as conn:
        conn.execute(f"CREATE TABLE facts ({', '.join(c + ' TEXT' for c in kept)})")
        conn.execute(f"INSERT INTO facts VALUES ({', '.join('?' * len(kept))})", kept)
        layout, rows = columns(conn), all_rows(conn)
    seen = start_store(tmp_path, "old")
    assert seen["raised"] == "InitializationError"
    assert seen["message"] == "Failed to initialize DuckDB at old/kgraph.duckdb: " + seen["cause_text"]
    assert seen["cause_is_duckdb_error"] is True
    assert seen["attrs"] == ["db_path", "conn"]
    with duckdb.connect(path) as conn:
        assert columns(conn) == layout
        assert all_rows(conn) == rows
        assert indexes(conn) == indexes_left
