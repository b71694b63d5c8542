"""Every operation, its failure paths included, thousands of times against
a canned connection: the interpreter's allocated blocks must not grow."""

from __future__ import annotations

import json

from support import run_python

SCRIPT = '''
import gc, json, logging, sys, tempfile
import corvanta.kgraph.providers.duckdb_sqlite.duck_graph as m
from corvanta.kgraph.providers.duckdb_sqlite.bulk import upsert_facts
from corvanta.kgraph.providers.duckdb_sqlite import retention, retrieval, traversal

C = m.DuckSqliteGraph
store = C(tempfile.mkdtemp())


class Formatting(logging.Handler):
    def emit(self, record):
        self.format(record)  # tracebacks included, then dropped


m.logger.addHandler(Formatting())
m.logger.setLevel(logging.DEBUG)
m.logger.propagate = False


class Doc:
    def __init__(self, text):
        self.page_content = text


class Canned:
    """Rows for each statement; `rows` overrides them."""
    rows = None

    def execute(self, sql, params=None):
        self.sql = sql
        return self

    def fetchall(self):
        if self.rows is not None:
            return self.rows
        if self.sql.startswith("WITH RECURSIVE scope"):
            return [("s", "p", "o", 1), ("s", "p", "o2", 2)]
        if self.sql.startswith("WITH gone"):
            return [(2, 1)]
        if self.sql.startswith("SELECT current_transaction_id(),"):
            return [(2, [f"id{i}" for i in range(1500)], ["id-again"])]
        if self.sql.startswith("SELECT current_transaction_id()"):
            return [(1,)]
        if self.sql.startswith("DELETE"):
            return [(2,)]
        if "metadata FROM" in self.sql:
            return [("s", "p", "o", '{"a": 1}'), ("s", "p", "o", "not json"), ("s", "p", "o", None)]
        return [("s", "p", "o"), ("s", "p", "o2")]


class VectorStore:
    fail = None  # (type, text): raised anew each time
    hits = None
    delete_answer = None  # raised anew when a (type, text) pair, else returned

    def delete(self, ids=None):
        if isinstance(self.delete_answer, tuple):
            raise self.delete_answer[0](self.delete_answer[1])
        return self.delete_answer

    def add_texts(self, texts, metadatas=None, ids=None):
        if self.fail is not None:
            raise self.fail[0](self.fail[1])
        return ids

    def similarity_search_with_score(self, query, k=4, filter=None):
        if self.fail is not None:
            raise self.fail[0](self.fail[1])
        return self.hits if self.hits is not None else [(Doc("s|p|o|x"), 0.5), (Doc("a|b|c"), 0.25)]


conn, vs = Canned(), VectorStore()
store.conn, store.vector_store = conn, vs
meta = {"user_id": "u", "org_id": "o", "graph_slice_id": "g", "text": "é" * 500}
big = {"user_id": "u", "org_id": "o", "blob": "x" * 70000, "other": "y" * 9000}


def with_vs(fail=None, hits=None):
    def run():
        vs.fail, vs.hits = fail, hits
        try:
            return store.upsert_fact("s", "p", "o", meta), store.search("q", user_id="u", org_id="o")
        finally:
            vs.fail = vs.hits = None
    return run


def with_vs_batch(fail):
    def run():
        vs.fail = fail
        try:
            return upsert_facts(store, [(f"s{i}", "p", "o", meta) for i in range(3)])
        finally:
            vs.fail = None
    return run


def with_rows(rows, run):
    def wrapped():
        conn.rows = rows
        try:
            return run()
        finally:
            conn.rows = None
    return wrapped


def with_hits(hits, run):
    def wrapped():
        vs.hits = hits
        try:
            return run()
        finally:
            vs.hits = None
    return wrapped


def with_delete(answer, run):
    def wrapped():
        vs.delete_answer = answer
        try:
            return run()
        finally:
            vs.delete_answer = None
    return wrapped


def without_delete(run):
    def wrapped():
        store.vector_store = object()
        try:
            return run()
        finally:
            store.vector_store = vs
    return wrapped


class Sub(dict):
    pass


purge = lambda: retention.purge_expired(store, 7)
context = lambda: retrieval.context(store, "q", user_id="u", org_id="o", depth=2)


operations = [
    with_vs(),
    with_vs(fail=(ValueError, "duplicate id")),
    with_vs(fail=(ValueError, "bad value")),
    with_vs(fail=(RuntimeError, "down")),
    with_vs(fail=(KeyboardInterrupt, "stop")),
    with_vs(hits=[(Doc("no bars"), 1.0)]),
    with_vs(hits=[(Doc(5), 1.0)]),
    with_vs(hits=[(Doc("a|b|c"),)]),
    with_vs(hits=[5]),
    lambda: store.upsert_fact("s", "p", "o", big),
    lambda: store.upsert_fact("s", "p", "o", {"bad": object()}),
    lambda: C._clamp_metadata_for_vs(big, 1000),
    lambda: C._det_id("s|p|o", "u", "o"),
    lambda: store.get_neighbours("s", 3),
    with_rows([("s", "p")], lambda: store.get_neighbours("s")),
    with_rows([("s", "p", "o", "x")], lambda: store.get_neighbours("s")),
    lambda: store.fetch_by_metadata(org_id="o", filters={"a": "1", "bad key": "2", "b\\n": "3"}),
    lambda: store.fetch_by_metadata(org_id="o", filters={5: "1"}),
    lambda: store.purge_expired(7.9),
    lambda: store.purge_expired(float("nan")),
    lambda: store.delete_context(org_id="o", graph_slice_id="g"),
    with_rows([("x",)], lambda: store.delete_context(org_id="o", graph_slice_id="g")),
    lambda: store.upsert_fact("s", "p", "o", None),
    lambda: store.upsert_fact("s", "p", "o", Sub()),
    lambda: store.search("q", "u", "o"),
    lambda: store.search("q", user_id="u"),
    lambda: store.get_neighbours("s", depth="2", extra=1),
    lambda: C("elsewhere"),
    lambda: C(None),
    lambda: upsert_facts(store, [("s", "p", "o", meta), ("s", "p", "o", meta), ("t", "p", "o", big)]),
    lambda: upsert_facts(store, [("s", "p", "o", meta), ("s", 1, "o", meta)]),
    lambda: upsert_facts(store, [("s", "p", "o", {"bad": object()})]),
    lambda: upsert_facts(store, [("s", "p")]),
    lambda: upsert_facts(None, []),
    with_vs_batch((ValueError, "Document already exists")),
    with_vs_batch((RuntimeError, "down")),
    lambda: traversal.neighbourhood(store, "s", 3, org_id="o", user_id="u", limit=10),
    lambda: traversal.neighbourhood(store, "s", org_id="o", limit=0),
    lambda: traversal.neighbourhood(store, "s", org_id=None),
    with_rows([("s", "p", "o")], lambda: traversal.neighbourhood(store, "s", org_id="o")),
    purge,
    with_delete(False, purge),
    with_delete((RuntimeError, "down"), purge),
    with_delete((RuntimeError, "Query interrupted"), purge),
    with_delete((KeyboardInterrupt, "stop"), purge),
    without_delete(purge),
    lambda: retention.delete_context(store, org_id="o", graph_slice_id="g"),
    lambda: retention.reconcile(store),
    with_rows([(1,)], lambda: retention.reconcile(store)),
    with_rows([(1, 2, 3)], purge),
    lambda: retention.purge_expired(store, "7"),
    with_rows([("s", "p", "o", 0, 0, "id1"), ("s", "p", "o2", 1, 1, "id2")], context),
    with_rows([("s", "p", "o", 0, 2, "id1")], context),
    with_hits([(Doc("a|b|c"), "high")], context),
    with_hits([], context),
    lambda: retrieval.context(store, "q", user_id="u", org_id="o", scope="all"),
]


def round_():
    for operation in operations:
        try:
            operation()
        except (Exception, KeyboardInterrupt):
            pass


for _ in range(300):
    round_()
gc.collect()
before = sys.getallocatedblocks()
for _ in range(ROUNDS):
    round_()
gc.collect()
print(json.dumps({"growth": sys.getallocatedblocks() - before, "operations": len(operations)}))
'''


def test_allocated_blocks_do_not_grow(tmp_path):
    rounds = 3000
    proc = run_python(SCRIPT.replace("ROUNDS", str(rounds)), cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, proc.stderr
    seen = json.loads(proc.stdout.strip().splitlines()[-1])
    # A reference lost per call of any one operation would be at least
    # `rounds` blocks; caches of the interpreter and the database client
    # move by a few hundred, more on a loaded machine.
    assert seen["growth"] < rounds // 3, seen
