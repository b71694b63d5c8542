"""retention: the store's deletions, whose documents also leave the vector
store, through a table of pending deletions that survives a failing vector
store and a crash."""

from __future__ import annotations

import datetime as dt
import importlib
import json
import logging

import pytest

from support import MODULE_NAME, run_python

RETENTION_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.retention"
NOW = dt.datetime(2030, 6, 15, 12, 0, 0, 123456, tzinfo=dt.timezone.utc)


@pytest.fixture(scope="module")
def retention():
    return importlib.import_module(RETENTION_MODULE)


class DeletingStore:
    """Records the ids of every delete call; `outcome` is what the call
    returns, or raises when it is an exception; `fail_from` makes only the
    calls from that one on behave so."""

    def __init__(self, outcome=True, fail_from=0):
        self.outcome, self.fail_from = outcome, fail_from
        self.calls: list[list[str]] = []

    def add_texts(self, texts, metadatas=None, ids=None):
        return ids

    def delete(self, ids=None):
        self.calls.append(list(ids))
        ids.clear()  # a host may change the list it was given
        if len(self.calls) > self.fail_from:
            if isinstance(self.outcome, BaseException):
                raise self.outcome
            return self.outcome
        return True

    @property
    def deleted(self) -> list[str]:
        return [i for call in self.calls for i in call]


class WithoutDelete:
    def add_texts(self, texts, metadatas=None, ids=None):
        return ids


@pytest.fixture
def graph(store):
    store.vector_store = DeletingStore()
    yield store
    store.conn.execute("DROP TABLE IF EXISTS pending_vector_deletions")


def write(graph, n, org="o", slice_id="s", prefix="f"):
    from corvanta.kgraph.providers.duckdb_sqlite.bulk import upsert_facts

    return upsert_facts(graph, [(f"{prefix}{i}", "p", "o", {"org_id": org, "graph_slice_id": slice_id})
                                for i in range(n)])


def pending(graph):
    return sorted(r[0] for r in graph.conn.execute("SELECT id FROM pending_vector_deletions").fetchall())


def fact_ids(graph):
    return sorted(r[0] for r in graph.conn.execute("SELECT id FROM facts").fetchall())


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == MODULE_NAME and r.levelno == logging.WARNING]


# --- the same facts go as with the store's own operations ---------------------

ROWS = [
    # id, org, created_at (None: NULL), metadata (None: NULL)
    ("old", "o", NOW - dt.timedelta(days=91), '{"graph_slice_id": "s"}'),
    ("edge", "o", NOW - dt.timedelta(days=90), '{"graph_slice_id": "s"}'),
    ("new", "o", NOW - dt.timedelta(days=1), '{"graph_slice_id": "t"}'),
    ("never", "o", None, None),
    ("number", "o", NOW, '{"graph_slice_id": 5}'),
    ("nested", "o", NOW, '{"x": {"graph_slice_id": "s"}}'),
    ("other-org", "p", NOW - dt.timedelta(days=400), '{"graph_slice_id": "s"}'),
    ("unicode", "o", NOW, '{"graph_slice_id": "é"}'),
]


def load(graph):
    graph.conn.execute("DELETE FROM facts")
    graph.conn.executemany(
        "INSERT INTO facts VALUES (?, 's', 'p', 'o', 'u', ?, ?, ?)",
        [(i, org, None if at is None else at.replace(tzinfo=None), meta) for i, org, at, meta in ROWS])


@pytest.fixture
def frozen(module, monkeypatch, graph):
    class Frozen(dt.datetime):
        @classmethod
        def now(cls, tz=None):
            return NOW if tz is None else NOW.astimezone(tz)

    monkeypatch.setattr(module, "datetime", Frozen)
    [(zone,)] = graph.conn.execute("SELECT current_setting('TimeZone')").fetchall()
    graph.conn.execute("SET TimeZone = 'UTC'")
    yield
    graph.conn.execute(f"SET TimeZone = '{zone}'")


@pytest.mark.parametrize(
    "operation",
    [("purge_expired", (90,), {}), ("purge_expired", (-1,), {}), ("purge_expired", (0.5,), {}),
     ("delete_context", (), {"org_id": "o", "graph_slice_id": "s"}),
     ("delete_context", (), {"org_id": "o", "graph_slice_id": "5"}),
     ("delete_context", (), {"org_id": "o", "graph_slice_id": "é"}),
     ("delete_context", (), {"org_id": "p", "graph_slice_id": "s"})],
)
def test_same_facts_go_as_with_the_store_and_their_documents_too(retention, graph, frozen, operation):
    name, args, kwargs = operation
    load(graph)
    getattr(graph, name)(*args, **kwargs)
    expected_gone = sorted({r[0] for r in ROWS} - set(fact_ids(graph)))
    load(graph)
    result = getattr(retention, name)(graph, *args, **kwargs)
    assert sorted({r[0] for r in ROWS} - set(fact_ids(graph))) == expected_gone
    assert sorted(graph.vector_store.deleted) == expected_gone
    n = len(expected_gone)
    assert result == {"facts": n, "documents": n, "pending": 0}
    assert pending(graph) == []


def test_documents_leave_the_default_vector_store(retention, graph):
    from corvanta.vectorstores.memory import InMemoryVectorStore

    graph.vector_store = vs = InMemoryVectorStore()
    gone = write(graph, 3, slice_id="s")
    kept = write(graph, 2, slice_id="t", prefix="g")
    assert retention.delete_context(graph, org_id="o", graph_slice_id="s") == {"facts": 3, "documents": 3,
                                                                                "pending": 0}
    assert sorted(vs.ids()) == sorted(kept)
    assert not set(gone) & set(vs.ids())


def test_ids_go_in_chunks_of_a_thousand_as_lists_of_their_own(retention, graph):
    # DeletingStore empties every list it gets: the store must not read them back.
    ids = write(graph, 2500)
    assert retention.purge_expired(graph, -1) == {"facts": 2500, "documents": 2500, "pending": 0}
    assert [len(c) for c in graph.vector_store.calls] == [1000, 1000, 500]
    assert sorted(graph.vector_store.deleted) == sorted(ids)
    assert pending(graph) == []


# --- a vector store that fails leaves the ids pending; reconcile delivers them -

@pytest.mark.parametrize(
    ("vector_store", "warning"),
    [(WithoutDelete(), "the vector store has no delete()"),
     (DeletingStore(RuntimeError("down")), "vector store delete() failed (RuntimeError('down'))"),
     (DeletingStore(False), "vector store delete() returned False"),
     (DeletingStore(ValueError("second chunk"), fail_from=1), "vector store delete() failed")],
)
def test_failed_delivery_stays_pending_until_reconcile(retention, graph, caplog, vector_store, warning):
    caplog.set_level(logging.INFO, logger=MODULE_NAME)
    ids = write(graph, 1500)
    graph.vector_store = vector_store
    delivered = 1000 if getattr(vector_store, "fail_from", 0) else 0
    result = retention.delete_context(graph, org_id="o", graph_slice_id="s")
    assert result == {"facts": 1500, "documents": delivered, "pending": 1500 - delivered}
    [line] = warnings_of(caplog)
    assert line.startswith(f"retention.delete_context: {warning}")
    assert line.endswith(f"; {1500 - delivered} ids stay pending until reconcile delivers them")
    assert len(pending(graph)) == 1500 - delivered
    assert fact_ids(graph) == []

    # The next deletion tries the earlier ids again, then reconcile has nothing left.
    graph.vector_store = working = DeletingStore()
    more = write(graph, 2, slice_id="t", prefix="g")
    assert retention.delete_context(graph, org_id="o", graph_slice_id="t") == {
        "facts": 2, "documents": 1500 - delivered + 2, "pending": 0}
    assert sorted(working.deleted) == sorted(sorted(ids)[delivered:] + more)
    assert retention.reconcile(graph) == {"delivered": 0, "pending": 0}


@pytest.mark.parametrize("delivered_by", ["reconcile", "a later deletion"])
def test_a_fact_written_again_keeps_its_document(retention, graph, delivered_by):
    first, second = write(graph, 2)
    graph.vector_store = WithoutDelete()
    retention.delete_context(graph, org_id="o", graph_slice_id="s")
    graph.upsert_fact("f0", "p", "o", {"org_id": "o", "graph_slice_id": "s"})  # first, again
    graph.vector_store = working = DeletingStore()
    if delivered_by == "reconcile":
        assert retention.reconcile(graph) == {"delivered": 1, "pending": 0}
        assert working.deleted == [second]
    else:
        [other] = write(graph, 1, slice_id="t", prefix="g")
        assert retention.delete_context(graph, org_id="o", graph_slice_id="t") == {
            "facts": 1, "documents": 2, "pending": 0}
        assert sorted(working.deleted) == sorted([second, other])
    assert pending(graph) == [] and first in fact_ids(graph)


@pytest.mark.parametrize("raised", [KeyboardInterrupt(), SystemExit(3), RuntimeError("Query interrupted")])
def test_an_interrupt_passes_and_the_ids_stay_pending(retention, graph, raised):
    write(graph, 3)
    graph.vector_store = DeletingStore(raised)
    with pytest.raises(type(raised)) as info:
        retention.purge_expired(graph, -1)
    assert info.value is raised
    assert fact_ids(graph) == [] and len(pending(graph)) == 3


# --- inside the caller's transaction -------------------------------------------

@pytest.mark.parametrize("outcome", ["COMMIT", "ROLLBACK"])
def test_deletions_join_the_callers_transaction_and_deliver_nothing(retention, graph, outcome):
    ids = write(graph, 2)
    graph.conn.execute("BEGIN TRANSACTION")
    assert retention.delete_context(graph, org_id="o", graph_slice_id="s") == {"facts": 2, "documents": 0,
                                                                                "pending": 2}
    with pytest.raises(RuntimeError, match=r"^reconcile\(\) cannot deliver inside a transaction open on graph\.conn"):
        retention.reconcile(graph)
    graph.conn.execute(outcome)  # the refusal left the transaction usable
    assert graph.vector_store.calls == []
    if outcome == "COMMIT":
        assert fact_ids(graph) == [] and pending(graph) == sorted(ids)
        assert retention.reconcile(graph) == {"delivered": 2, "pending": 0}
    else:
        assert fact_ids(graph) == sorted(ids)
        assert retention.reconcile(graph) == {"delivered": 0, "pending": 0}


# --- arguments and logging --------------------------------------------------------

@pytest.mark.parametrize(
    ("call", "error", "message"),
    [(lambda r, g: r.purge_expired(g, "7"), TypeError, "Argument 'days' has incorrect type (expected int, got str)"),
     (lambda r, g: r.delete_context(g, "o", "s"), TypeError,
      "delete_context() takes exactly 1 positional argument (3 given)"),
     (lambda r, g: r.delete_context(g, org_id="o"), TypeError,
      "delete_context() needs keyword-only argument graph_slice_id"),
     (lambda r, g: r.reconcile(None), TypeError, "reconcile() argument 'graph' must be DuckSqliteGraph, not NoneType")],
)
def test_argument_errors_change_nothing(retention, graph, call, error, message):
    write(graph, 1)
    with pytest.raises(error) as info:
        call(retention, graph)
    assert str(info.value) == message
    assert len(fact_ids(graph)) == 1 and graph.vector_store.calls == []


def test_info_lines_through_the_store_logger(retention, graph, caplog):
    caplog.set_level(logging.INFO, logger=MODULE_NAME)
    write(graph, 2)
    retention.delete_context(graph, org_id="o", graph_slice_id="s")
    retention.purge_expired(graph, 30)
    retention.reconcile(graph)
    assert [r.getMessage() for r in caplog.records if r.name == MODULE_NAME and r.levelno == logging.INFO] == [
        "retention.delete_context: org=o graph_slice_id=s",
        "retention.delete_context: org=o graph_slice_id=s deleted=2 documents=2 pending=0",
        "retention.purge_expired: deleting facts older than 30 days",
        "retention.purge_expired: deleted=0 documents=0 pending=0",
        "retention.reconcile: delivered=0 pending=0",
    ]


# --- a crash between the commit and the vector store's call -------------------------

def test_sigkill_between_commit_and_delivery_leaves_the_ids_pending(tmp_path):
    path = str(tmp_path / "store")
    killed = run_python(f"""
        import os, signal
        from {MODULE_NAME} import DuckSqliteGraph
        from {RETENTION_MODULE} import delete_context

        class Killing:
            def add_texts(self, texts, metadatas=None, ids=None):
                return ids
            def delete(self, ids=None):
                os.kill(os.getpid(), signal.SIGKILL)

        graph = DuckSqliteGraph({path!r})
        graph.vector_store = Killing()
        for i in range(5):
            print(graph.upsert_fact(f"s{{i}}", "p", "o", {{"org_id": "o", "graph_slice_id": "s" if i < 3 else "t"}}),
                  flush=True)
        delete_context(graph, org_id="o", graph_slice_id="s")
    """, cwd=tmp_path, timeout=120)
    assert killed.returncode == -9, killed.stderr
    ids = killed.stdout.split()
    reopened = run_python(f"""
        import json
        from {MODULE_NAME} import DuckSqliteGraph
        from {RETENTION_MODULE} import reconcile

        class Recording:
            calls = []
            def delete(self, ids=None):
                self.calls.append(list(ids))

        graph = DuckSqliteGraph({path!r})
        graph.vector_store = Recording()
        facts = sorted(r[0] for r in graph.conn.execute("SELECT id FROM facts").fetchall())
        result = reconcile(graph)
        print(json.dumps([facts, Recording.calls, result]))
    """, cwd=tmp_path, timeout=120)
    assert reopened.returncode == 0, reopened.stderr
    facts, calls, result = json.loads(reopened.stdout)
    assert facts == sorted(ids[3:])
    assert [sorted(c) for c in calls] == [sorted(ids[:3])]
    assert result == {"delivered": 3, "pending": 0}
