"""A host that misbehaves (a vector store that changes what it is handed,
replaced facilities that return the wrong kind of value, an interrupt at the
wrong moment, a fork while a statement runs) gets a clean error or a sound
result, never a crash, a hang or a wrong row. Also run under the sanitizers."""

from __future__ import annotations

import hashlib
import importlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import types

import duckdb
import pytest

from support import MODULE_NAME, run_python

bulk = importlib.import_module("corvanta.kgraph.providers.duckdb_sqlite.bulk")
sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
from plain_clamp import plain_clamp  # noqa: E402

FACTS = [(f"s{i}", "p", "o", {"user_id": "u", "org_id": "g", "text": "é" * 200}) for i in range(5)]


def rows(store):
    return store.conn.execute("SELECT id, metadata FROM facts ORDER BY id").fetchall()


def write(store, path, facts):
    if path == "batch":
        return bulk.upsert_facts(store, facts)
    return [store.upsert_fact(*fact) for fact in facts]


class ShrinkingVectorStore:
    """Empties the lists it is handed, then refuses them."""

    def __init__(self):
        self.added = []

    def add_texts(self, texts, metadatas=None, ids=None):
        if len(ids) > 1:
            texts.clear(), metadatas.clear(), ids.clear()
            raise RuntimeError("refused the batch")
        self.added.extend(ids)


def test_a_vector_store_that_shrinks_the_batch_and_raises(store):
    store.vector_store = vs = ShrinkingVectorStore()
    ids = bulk.upsert_facts(store, FACTS)
    assert vs.added == ids and len(rows(store)) == len(FACTS)


def fake_hashlib(digest):
    return types.SimpleNamespace(sha256=lambda data: types.SimpleNamespace(hexdigest=lambda: digest))


def fake_json(dumps):
    return types.SimpleNamespace(dumps=dumps, loads=json.loads, JSONEncoder=json.JSONEncoder)


@pytest.mark.parametrize("path", ["single", "batch"])
@pytest.mark.parametrize(("name", "replacement", "message"), [
    ("hashlib", fake_hashlib(12345), "Expected str, got int"),
    ("hashlib", fake_hashlib(None), "Expected str, got NoneType"),
    ("json", fake_json(lambda value, separators: b"{}"), "json.dumps returned bytes, not str"),
    ("json", fake_json(lambda value, separators: None), "json.dumps returned NoneType, not str"),
])
def test_a_facility_result_of_the_wrong_kind_is_refused_before_anything_is_written(
        module, store, monkeypatch, path, name, replacement, message):
    monkeypatch.setattr(module, name, replacement)
    with pytest.raises(TypeError) as info:
        write(store, path, FACTS[:2])
    assert str(info.value) == message
    assert rows(store) == [] and store.vector_store.calls == []


class Verbose(json.JSONEncoder):
    """Keeps non-ASCII text as it is: other sizes, other bytes."""

    def __init__(self, **options):
        super().__init__(**{**options, "ensure_ascii": False})


@pytest.mark.parametrize("path", ["single", "batch"])
def test_a_replaced_encoder_class_decides_sizes_and_the_stored_text(module, store, monkeypatch, path):
    monkeypatch.setattr(json, "JSONEncoder", Verbose)
    metadata = {"a": "é" * 300, "b": "x" * 300}
    assert module.DuckSqliteGraph._clamp_metadata_for_vs(metadata, 500) == plain_clamp(metadata, 500)
    write(store, path, [("s", "p", "o", metadata)])
    assert rows(store)[0][1] == json.dumps(metadata, separators=(",", ":"))
    [(_, args, kwargs)] = store.vector_store.calls
    assert kwargs["metadatas"] == [plain_clamp(metadata, store._VS_META_MAX)]


class ScriptedConnection:
    """The real connection, with an interrupt or an error where it is told to."""

    def __init__(self, real, script):
        self.real, self.script = real, script

    def execute(self, sql, params=None):
        for marker, when, error in self.script:
            if marker in sql and when == "execute":
                raise error
        result = self.real.execute(sql) if params is None else self.real.execute(sql, params)
        for marker, when, error in self.script:
            if marker in sql and when == "fetch":
                return types.SimpleNamespace(fetchall=lambda error=error: (_ for _ in ()).throw(error))
        return result


@pytest.mark.parametrize(("script", "written", "note"), [
    # The adding statement fails; the question which fact was bad is interrupted.
    ([("current_transaction_id() <>", "execute", duckdb.ConversionException("bad")),
      ("json_valid", "execute", KeyboardInterrupt())], 0, False),
    # Interrupted after the adding statement committed: no "nothing written".
    ([("current_transaction_id() <>", "fetch", KeyboardInterrupt())], 5, False),
    # Ctrl-C inside the statement, as the client reports it: never retried,
    # and it travels like the interrupt itself (no note).
    ([("current_transaction_id() <>", "execute", RuntimeError("Query interrupted"))], 0, False),
    # Interrupted in the replacing statement's own transaction: rolled back.
    ([("current_transaction_id() <>", "execute", duckdb.ConstraintException("Duplicate key")),
      ("ON CONFLICT", "execute", KeyboardInterrupt())], 0, False),
])
def test_interrupts_pass_and_notes_say_only_what_holds(store, script, written, note):
    real = store.conn
    store.conn = ScriptedConnection(real, script)
    try:
        with pytest.raises((KeyboardInterrupt, RuntimeError)) as info:
            bulk.upsert_facts(store, FACTS)
    finally:
        store.conn = real
    assert type(info.value) is type(script[-1][2])
    store.conn.execute("BEGIN TRANSACTION")  # no transaction of the batch is left open
    store.conn.execute("ROLLBACK")
    assert len(rows(store)) == written
    assert any("nothing" in n or "no row" in n for n in getattr(info.value, "__notes__", [])) == note


def test_a_child_forked_while_a_statement_runs_is_refused_and_can_leave(tmp_path):
    proc = run_python(f"""
        import os, sys, threading, time, warnings
        warnings.simplefilter("ignore", DeprecationWarning)
        from {MODULE_NAME} import DuckSqliteGraph
        store = DuckSqliteGraph({str(tmp_path)!r})
        store.upsert_fact("A", "r", "B", {{}})
        store.upsert_fact("B", "r", "A", {{}})
        walk = threading.Thread(target=store.get_neighbours, args=("A", 200_000))
        walk.start()
        time.sleep(1.0)  # well inside the walk
        pid = os.fork()
        if pid == 0:
            try:
                store.fetch_by_metadata(org_id="", filters={{}})
            except RuntimeError as error:
                print("child:", error, flush=True)
            sys.exit(0)
        for _ in range(300):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                print("child exit", os.waitstatus_to_exitcode(status))
                break
            time.sleep(0.1)
        else:
            os.kill(pid, 9)
            print("child hung")
        walk.join()
    """, timeout=90)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert "child exit 0" in lines
    assert any(line.startswith("child: this process was forked from the one that opened the store") for line in lines)


def test_ctrl_c_stops_a_batch_and_leaves_nothing_of_it(tmp_path):
    code = f"""
        import signal, sys
        # A shell that runs the suite in the background starts it with SIGINT ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        from {MODULE_NAME} import DuckSqliteGraph
        from corvanta.kgraph.providers.duckdb_sqlite.bulk import upsert_facts
        from support import NullVectorStore
        store = DuckSqliteGraph({str(tmp_path)!r})
        store.vector_store = NullVectorStore()
        facts = [(f"s{{i}}", "p", "o" * 50, {{"org_id": "g", "n": i}}) for i in range(300_000)]
        print("ready", flush=True)
        try:
            upsert_facts(store, facts)
            print("returned")
        except BaseException as error:
            print("raised", type(error).__name__, error)
        print("rows", store.conn.execute("SELECT count(*) FROM facts").fetchone()[0])
    """
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True,
                             env={**os.environ, "PYTHONPATH": os.path.dirname(__file__)})
    assert child.stdout.readline() == "ready\n"
    try:
        child.wait(timeout=1.0)
    except subprocess.TimeoutExpired:
        child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=120)
    lines = out.splitlines()
    assert lines[0].startswith("raised "), (out, err)
    assert lines[-1] in ("rows 0", "rows 300000")  # whole or nothing
