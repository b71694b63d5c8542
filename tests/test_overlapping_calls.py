"""Promises that must hold when calls overlap, as in a web server's threads,
forked workers and vector stores that stall or call back: the documents of
the vector store agree with the rows, a forked child never writes through
its parent's database, a transaction keeps other threads out, and an
interrupt stays an interrupt."""

from __future__ import annotations

import asyncio
import logging
import threading
import time

import numpy as np
import pytest

from corvanta.kgraph.providers.duckdb_sqlite import bulk, retention, transactions, traversal
from corvanta.vectorstores.memory import InMemoryVectorStore
from support import MODULE_NAME, run_python

LOGGER = MODULE_NAME


def meta(slice_id="s", **extra):
    return {"user_id": "u", "org_id": "o", "graph_slice_id": slice_id, **extra}


def pending_ids(store):
    store.conn.execute("CREATE TABLE IF NOT EXISTS pending_vector_deletions (id TEXT, queued_at TIMESTAMP)")
    return {row[0] for row in store.conn.execute("SELECT id FROM pending_vector_deletions").fetchall()}


@pytest.fixture
def clean(store):
    pending_ids(store)
    store.conn.execute("DELETE FROM pending_vector_deletions")
    yield store
    store.conn.execute("DELETE FROM pending_vector_deletions")


def assert_documents_agree_with_rows(store, vectors):
    rows = {row[0] for row in store.conn.execute("SELECT id FROM facts").fetchall()}
    documents = set(vectors.ids())
    assert documents - rows <= pending_ids(store), "a document outlived its row without a pending id"
    assert rows <= documents, "a row lost its document"


class StallingStore(InMemoryVectorStore):
    """The default vector store, with adds that take a moment before they
    act (as a networked one's would), so that deletions overtake them."""

    def add_texts(self, *args, **kwargs):
        time.sleep(0.02)
        return super().add_texts(*args, **kwargs)


def test_writes_deletions_and_reads_overlapping_keep_documents_and_rows_in_step(clean):
    """Single and batch writes race two deleting threads, reconcile and reads
    on the default vector store; afterwards every document has its row or a
    pending id, and every row has its document."""
    store = clean
    vectors = StallingStore()
    store.vector_store = vectors
    padding = "x" * 300
    stop = threading.Event()
    errors = []

    def guarded(work):
        def run():
            try:
                while not stop.is_set():
                    work()
            except BaseException as error:  # reported by the test, not lost in the thread
                errors.append(error)
                stop.set()
        return threading.Thread(target=run)

    # Mostly new facts, so that a document a deletion leaves behind stays
    # behind; some written again, so that rewrites meet deliveries too.
    counter = iter(range(10**9))

    def subject():
        n = next(counter)
        return f"s{n % 50}" if n % 4 == 0 else f"s{n}"

    def write_one():
        store.upsert_fact(subject(), "p", f"o{padding}", meta())

    def write_batch():
        bulk.upsert_facts(store, [(subject(), "p", f"o{padding}", meta()) for _ in range(8)])

    def delete_slice():
        retention.delete_context(store, org_id="o", graph_slice_id="s")

    def purge_all():
        retention.purge_expired(store, days=-1)

    def read():
        traversal.neighbourhood(store, "s1", org_id="o")
        store.search("s1 p", user_id="u", org_id="o", k=3)
        retention.reconcile(store)

    threads = [guarded(w) for w in (write_one, write_one, write_batch, delete_slice, purge_all, read)]
    for thread in threads:
        thread.start()
    stop.wait(4.0)
    stop.set()
    for thread in threads:
        thread.join(60)
    assert not errors, errors
    assert_documents_agree_with_rows(store, vectors)
    retention.reconcile(store)
    assert set(vectors.ids()) == {r[0] for r in store.conn.execute("SELECT id FROM facts").fetchall()}


class GatedStore(InMemoryVectorStore):
    """A vector store whose delete() runs `during_delete` before it deletes."""

    def __init__(self, during_delete, result=True):
        super().__init__()
        self.during_delete = during_delete
        self.result = result

    def delete(self, ids=None, **kwargs):
        self.during_delete(list(ids))
        super().delete(ids=ids)
        return self.result


def test_a_delete_that_uses_the_store_from_another_thread_does_not_stall_it(clean):
    store = clean
    seen = []

    def during_delete(ids):
        reader = threading.Thread(target=lambda: seen.append(store.fetch_by_metadata(org_id="o", filters={})))
        reader.start()
        reader.join(30)
        assert not reader.is_alive(), "a read waited for the vector store's delete"

    store.vector_store = GatedStore(during_delete)
    for i in range(3):
        store.upsert_fact(f"a{i}", "p", "o", meta())
    store.upsert_fact("kept", "p", "o", meta("other"))
    assert retention.delete_context(store, org_id="o", graph_slice_id="s") == {"facts": 3, "documents": 3,
                                                                               "pending": 0}
    assert [r["subject"] for r in seen[0]] == ["kept"]


def test_a_nested_deletion_whose_delivery_fails_keeps_its_ids_pending(clean):
    store = clean
    inner_ids = []

    def during_delete(ids):
        if not inner_ids:
            store.vector_store.result = False  # the nested call's delivery fails
            inner_ids.extend(store.conn.execute(
                "SELECT id FROM facts WHERE json_extract_string(metadata, '$.graph_slice_id') = 'inner'").fetchall())
            retention.delete_context(store, org_id="o", graph_slice_id="inner")
            store.vector_store.result = True

    store.vector_store = GatedStore(during_delete)
    outer = [store.upsert_fact(f"a{i}", "p", "o", meta("outer")) for i in range(3)]
    inner = [store.upsert_fact(f"b{i}", "p", "o", meta("inner")) for i in range(3)]
    result = retention.delete_context(store, org_id="o", graph_slice_id="outer")
    assert result["documents"] == 3
    assert pending_ids(store) == set(inner)
    assert set(outer).isdisjoint(store.vector_store.ids())


async def _nothing():
    return True


@pytest.mark.parametrize("answer, delivered", [
    (True, True), (None, True),
    (False, False), (np.False_, False), (0, False), ("coroutine", False),
])
def test_only_true_or_none_from_delete_counts_as_delivered(clean, caplog, answer, delivered):
    store = clean
    store.vector_store = GatedStore(lambda ids: None)
    store.vector_store.result = _nothing() if answer == "coroutine" else answer
    fact_id = store.upsert_fact("a", "p", "o", meta())
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        result = retention.delete_context(store, org_id="o", graph_slice_id="s")
    assert (result["documents"], result["pending"]) == ((1, 0) if delivered else (0, 1))
    assert (fact_id in pending_ids(store)) is not delivered
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == (0 if delivered else 1)
    if answer == "coroutine":
        assert "an asynchronous delete() is not supported" in warnings[0]


def test_a_transaction_keeps_other_threads_out_and_a_rollback_withdraws_its_documents(clean):
    store = clean
    vectors = InMemoryVectorStore()
    store.vector_store = vectors
    other_done = threading.Event()
    other = threading.Thread(target=lambda: (store.upsert_fact("other", "p", "o", meta()), other_done.set()))

    with pytest.raises(LookupError):
        with transactions.transaction(store):
            inside = store.upsert_fact("inside", "p", "o", meta())
            other.start()
            assert not other_done.wait(0.3), "another thread's write entered the transaction"
            with pytest.raises(RuntimeError, match="already open on this thread"):
                transactions.transaction(store).__enter__()
            raise LookupError
    other.join(30)
    subjects = {r[0] for r in store.conn.execute("SELECT subject FROM facts").fetchall()}
    assert subjects == {"other"}
    assert inside not in vectors.ids() and inside not in pending_ids(store)

    doomed = store.upsert_fact("doomed", "p", "o", meta("gone"))
    with transactions.transaction(store) as t:
        assert isinstance(t, transactions.Transaction)
        retention.delete_context(store, org_id="o", graph_slice_id="gone")
        assert doomed in vectors.ids()  # nothing delivered before the commit
    assert doomed not in vectors.ids() and not pending_ids(store)
    assert_documents_agree_with_rows(store, vectors)


@pytest.mark.parametrize("path", ["single", "batch"])
def test_an_interrupted_statement_inside_the_vector_store_is_not_swallowed(store, path):
    store.vector_store.fail_with = RuntimeError("Query interrupted")
    with pytest.raises(RuntimeError, match="Query interrupted"):
        if path == "single":
            store.upsert_fact("a", "p", "o", meta())
        else:
            bulk.upsert_facts(store, [("a", "p", "o", meta()), ("b", "p", "o", meta())])


class OutOfRange:
    """A connection a host replaced that answers the "which stored id is
    another fact's" query with a position far outside the batch."""

    def __init__(self, real):
        self.real = real

    def execute(self, sql, params=None):
        if "b.slot" in sql:
            return self.real.execute("SELECT 1000000")
        return self.real.execute(sql, params) if params is not None else self.real.execute(sql)


def test_a_position_from_the_connection_is_checked_before_it_indexes(store):
    store.upsert_fact("1", "p", "o", {"user_id": "1", "org_id": "23"})
    real = store.conn
    store.conn = OutOfRange(real)
    try:
        with pytest.raises(ValueError, match="outside 0..1"):
            bulk.upsert_facts(store, [("1", "p", "o", {"user_id": "12", "org_id": "3"}),
                                      ("2", "p", "o", {"user_id": "12", "org_id": "3"})])
    finally:
        store.conn = real


FORKED_CHILD = f"""
    import multiprocessing, sys
    from {MODULE_NAME} import DuckSqliteGraph
    from corvanta.kgraph.providers.duckdb_sqlite import bulk, retention, transactions, traversal
    sys.path.insert(0, {{tests!r}})
    from support import NullVectorStore

    store = DuckSqliteGraph({{path!r}})
    store.vector_store = NullVectorStore()
    store.upsert_fact("parent", "p", "o", {{{{"org_id": "o"}}}})

    CALLS = [
        lambda: store.upsert_fact("child", "p", "o", {{{{"org_id": "o"}}}}),
        lambda: bulk.upsert_facts(store, [("child", "p", "o", {{{{"org_id": "o"}}}})]),
        lambda: store.fetch_by_metadata(org_id="o", filters={{{{}}}}),
        lambda: traversal.neighbourhood(store, "parent", org_id="o"),
        lambda: retention.purge_expired(store, days=-1),
        lambda: transactions.transaction(store).__enter__(),
    ]

    def child(queue):
        for call in CALLS:
            try:
                call()
                queue.put("ran")
            except RuntimeError as error:
                queue.put(str(error))

    if __name__ == "__main__":
        context = multiprocessing.get_context("fork")
        queue = context.Queue()
        worker = context.Process(target=child, args=(queue,))
        worker.start()
        answers = [queue.get(timeout=60) for _ in CALLS]
        worker.join(60)
        print("exitcode", worker.exitcode)
        for answer in answers:
            print("answer", answer.split(":")[0])
        print("rows", store.conn.execute("SELECT count(*) FROM facts").fetchone()[0])
"""


def test_a_forked_worker_never_writes_through_its_parents_database(tmp_path):
    script = tmp_path / "forked.py"
    import os
    script.write_text(__import__("textwrap").dedent(FORKED_CHILD).format(
        tests=os.path.dirname(__file__), path=str(tmp_path / "g")))
    proc = run_python(f"import runpy; runpy.run_path({str(script)!r}, run_name='__main__')", timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert "exitcode 0" in lines
    answers = [line for line in lines if line.startswith("answer")]
    assert answers == ["answer this process was forked from the one that opened the store"] * 6, lines
    assert "rows 1" in lines


def test_a_wait_for_the_connection_lock_answers_ctrl_c(tmp_path):
    proc = run_python(f"""
        import signal, threading, _thread
        signal.signal(signal.SIGINT, signal.default_int_handler)
        from {MODULE_NAME} import DuckSqliteGraph
        from corvanta.kgraph.providers.duckdb_sqlite import transactions
        store = DuckSqliteGraph({str(tmp_path)!r})
        entered, release = threading.Event(), threading.Event()
        def hold():
            with transactions.transaction(store):
                entered.set()
                release.wait(60)
        holder = threading.Thread(target=hold)
        holder.start()
        entered.wait(30)
        threading.Timer(0.3, _thread.interrupt_main).start()
        try:
            store.fetch_by_metadata(org_id="o", filters={{}})
            print("not interrupted")
        except KeyboardInterrupt:
            print("interrupted")
        release.set()
        holder.join(30)
        print("after", len(store.fetch_by_metadata(org_id="o", filters={{}})))
    """, timeout=60)
    assert proc.stdout.split() == ["interrupted", "after", "0"], proc.stderr
