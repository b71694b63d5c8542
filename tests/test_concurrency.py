"""Several host threads sharing the one store: no crash, no deadlock, no lost
write, no wrong rows."""

from __future__ import annotations

import random
import threading
import time

import pytest

from corvanta.vectorstores.memory import InMemoryVectorStore
from support import MODULE_NAME, run_python

THREADS = 8
OPS_PER_THREAD = 400


class Worker:
    """One thread's share of the mixed load. Subjects, objects and slices are
    private to the thread, so every read has an exact expected answer."""

    def __init__(self, store, n):
        self.store = store
        self.n = n
        self.rng = random.Random(n)
        self.org = f"org{n % 4}"  # two threads per organisation
        self.user = f"user{n}"
        self.kept_slice = f"kept-{n}"
        self.kept_ids: list[str] = []
        self.kept_facts: list[tuple[str, str, str]] = []
        self.private_round = 0
        self.private_ids: list[str] = []
        self.deleted_ids: list[str] = []
        self.ops = 0

    def meta(self, slice_id):
        return {"user_id": self.user, "org_id": self.org, "graph_slice_id": slice_id, "thread": self.n}

    def upsert(self, i, private):
        s, o = f"t{self.n}-s{i}", f"t{self.n}-o{i}"
        slice_id = f"private-{self.n}-{self.private_round}" if private else self.kept_slice
        fact_id = self.store.upsert_fact(s, "rel", o, self.meta(slice_id))
        assert isinstance(fact_id, str) and len(fact_id) == 64
        if private:
            self.private_ids.append(fact_id)
        else:
            self.kept_ids.append(fact_id)
            self.kept_facts.append((s, "rel", o))

    def neighbours(self):
        s, p, o = self.rng.choice(self.kept_facts)
        got = self.store.get_neighbours(s, 2)
        assert got == [{"subject": s, "predicate": p, "object": o}], (s, got)

    def fetch(self):
        got = self.store.fetch_by_metadata(org_id=self.org, filters={"graph_slice_id": self.kept_slice})
        assert len(got) == len(self.kept_ids), (len(got), len(self.kept_ids))
        assert all(r["metadata"]["org_id"] == self.org and r["metadata"]["thread"] == self.n for r in got)
        assert {(r["subject"], r["predicate"], r["object"]) for r in got} == set(self.kept_facts)

    def search(self):
        s, p, o = self.rng.choice(self.kept_facts)
        got = self.store.search(f"{s} {p} {o}", user_id=self.user, org_id=self.org, k=3)
        assert 1 <= len(got) <= 3
        assert all(r["subject"].startswith(f"t{self.n}-") for r in got)

    def delete_private(self):
        slice_id = f"private-{self.n}-{self.private_round}"
        count = self.store.delete_context(org_id=self.org, graph_slice_id=slice_id)
        assert count == len(self.private_ids), (count, len(self.private_ids))
        self.deleted_ids.extend(self.private_ids)
        self.private_ids = []
        self.private_round += 1

    def run(self):
        self.upsert(0, private=False)
        for i in range(1, OPS_PER_THREAD):
            r = self.rng.random()
            if i % 50 == 0:
                self.delete_private()
            elif r < 0.30:
                self.upsert(i, private=False)
            elif r < 0.40:
                self.upsert(i, private=True)
            elif r < 0.60:
                self.neighbours()
            elif r < 0.80:
                self.fetch()
            elif r < 0.99:
                self.search()
            else:
                self.store.purge_expired(36500)  # nothing is that old
            self.ops += 1
        self.delete_private()


@pytest.mark.timeout(120)
def test_mixed_operations_from_eight_threads(store):
    store.vector_store = InMemoryVectorStore()
    workers = [Worker(store, n) for n in range(THREADS)]
    errors: list[BaseException] = []
    start = threading.Barrier(THREADS)

    def body(worker):
        try:
            start.wait()
            worker.run()
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(w,), daemon=True) for w in workers]
    for t in threads:
        t.start()
    deadline = time.monotonic() + 90
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not [t for t in threads if t.is_alive()], "threads still running: deadlock or starvation"
    assert not errors, errors[:3]
    assert sum(w.ops for w in workers) >= THREADS * (OPS_PER_THREAD - 1)

    stored = {row[0] for row in store.conn.execute("SELECT id FROM facts").fetchall()}
    kept = {i for w in workers for i in w.kept_ids}
    deleted = {i for w in workers for i in w.deleted_ids}
    assert len(kept) == sum(len(w.kept_ids) for w in workers)
    assert kept <= stored, f"{len(kept - stored)} written facts are missing"
    assert not (deleted & stored)
    assert stored == kept
    # every write was mirrored once into the vector store
    assert len(store.vector_store) == len(kept) + len(deleted)


def test_waiting_for_the_store_lets_other_threads_run():
    # A statement is held up (inside the connection, without the GIL) while a
    # second thread calls the store and a third runs plain Python. The second
    # must wait without holding the GIL: otherwise the third stalls and the
    # first can never finish.
    result = run_python(
        f"""
        import tempfile, threading, time
        import {MODULE_NAME} as m
        store = m.DuckSqliteGraph(tempfile.mkdtemp())
        store.upsert_fact("A", "r", "B", {{"org_id": "o"}})
        real = store.conn
        entered = threading.Event()

        class SlowConn:
            def __init__(self):
                self.first = True
            def execute(self, *args):
                if self.first:
                    self.first = False
                    entered.set()
                    time.sleep(1.0)
                return real.execute(*args)

        store.conn = SlowConn()
        order = []
        a = threading.Thread(target=lambda: order.append(("a", len(store.get_neighbours("A", 1)))))
        b = threading.Thread(target=lambda: order.append(("b", len(store.fetch_by_metadata(org_id="o", filters={{}})))))
        a.start()
        entered.wait()
        b.start()
        time.sleep(0.1)
        spins = 0
        t0 = time.monotonic()
        while time.monotonic() - t0 < 0.5:
            spins += 1
        a.join(30); b.join(30)
        print("alive", a.is_alive() or b.is_alive())
        print("order", order)
        print("spins", spins)
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    lines = dict(line.split(" ", 1) for line in result.stdout.splitlines())
    assert lines["alive"] == "False"
    assert lines["order"] == "[('a', 1), ('b', 1)]"
    assert int(lines["spins"]) > 10_000


def test_store_called_again_from_inside_a_statement_does_not_deadlock():
    # a replaced connection that calls back into the store on the same thread
    result = run_python(
        f"""
        import tempfile
        import {MODULE_NAME} as m
        store = m.DuckSqliteGraph(tempfile.mkdtemp())
        store.upsert_fact("A", "r", "B", {{"org_id": "o"}})
        real = store.conn
        inner = []

        class CallingBack:
            def execute(self, *args):
                if not inner:
                    inner.append(None)
                    store.conn = real
                    inner[0] = store.fetch_by_metadata(org_id="o", filters={{}})
                    store.conn = self
                return real.execute(*args)

        store.conn = CallingBack()
        outer = store.get_neighbours("A", 1)
        print(len(outer), len(inner[0]))
        """,
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1", "1"]


def test_failed_statement_does_not_keep_the_store_locked():
    # after statements that fail inside the connection on one thread, another
    # thread can still use the store
    result = run_python(
        f"""
        import tempfile, threading
        import {MODULE_NAME} as m
        store = m.DuckSqliteGraph(tempfile.mkdtemp())
        store.upsert_fact("A", "r", "B", {{"org_id": "o"}})
        real = store.conn

        class FailingExecute:
            def execute(self, *args):
                raise RuntimeError("execute failed")

        class FailingFetch:
            def execute(self, *args):
                return self
            def fetchall(self):
                raise KeyboardInterrupt

        for conn, error in [(FailingExecute(), RuntimeError), (FailingFetch(), KeyboardInterrupt)]:
            store.conn = conn
            for call in (lambda: store.get_neighbours("A", 1),
                         lambda: store.fetch_by_metadata(org_id="o", filters={{}}),
                         lambda: store.delete_context(org_id="o", graph_slice_id="g"),
                         lambda: store.purge_expired(1)):
                try:
                    call()
                except error:
                    pass
        store.conn = real
        got = []
        t = threading.Thread(target=lambda: got.append(len(store.get_neighbours("A", 1))), daemon=True)
        t.start()
        t.join(10)
        print("alive" if t.is_alive() else got[0])
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["1"]
