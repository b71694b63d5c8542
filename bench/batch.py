"""The batch upsert against its baselines, side by side in one process:

- `upsert_facts` at a given number of facts per call, writing new facts;
- `upsert_facts` rewriting the facts of its previous call (every id stored,
  so the rows are replaced);
- `upsert_facts` with a connection that runs nothing (the store's own work);
- `upsert_fact` one fact at a time (the single-fact rate);
- the bare engine statements fed columns computed before the clock starts
  (the floor: what the engine alone costs): the adding statement that the
  batch runs for new facts, and the replacing one;
- a plain-Python batch that computes the columns itself, ids through
  `_det_id` and JSON through `json.dumps`, and runs the adding statement.

The sides alternate call by call and, but for the rewrite, write new facts
each time, so the table grows alike under all of them. The figures are
facts per second at each side's median call."""

from __future__ import annotations

import importlib
import json
import statistics
import time
from typing import Any

from _common import MODULE_NAME, NullVectorStore

BULK_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.bulk"
_COLUMNS = ("SELECT unnest(?), unnest(?), unnest(?), unnest(?), unnest(?), unnest(?), "
            "current_timestamp, unnest(?)::JSON")
SQL_ADD = "INSERT INTO facts " + _COLUMNS
SQL_REPLACE = "INSERT OR REPLACE INTO facts " + _COLUMNS


def _facts(tag: str, start: int, n: int) -> list[tuple[str, str, str, dict[str, Any]]]:
    """Facts of the realistic shape: a code entity, a predicate, a target
    and the metadata the demo writes (actor, slice, source, a short text)."""
    return [
        (f"ent:{tag}{i}", "calls", f"ent:{tag}{i // 7}",
         {"user_id": f"user-{i % 10:02d}", "org_id": f"org-{i % 3}", "graph_slice_id": "bench",
          "source": f"module_{i % 50}.py", "lineno": i % 900, "docstring": "Return the value." * (i % 3)})
        for i in range(start, start + n)
    ]


class _IdleConnection:
    """Runs nothing: every statement is answered at once, each as if in a
    transaction of its own, so that `upsert_facts` shows the store's own
    work alone."""

    def __init__(self):
        self._statements = 0

    def execute(self, sql, params=None):
        self._statements += 1
        return self

    def fetchall(self):
        return [(self._statements,)]


def _python_batch(graph, facts) -> list[str]:
    det_id, dumps = graph._det_id, json.dumps
    cols: list[list[Any]] = [[], [], [], [], [], [], []]
    for s, p, o, m in facts:
        user, org = m.get("user_id", ""), m.get("org_id", "")
        for col, value in zip(cols, (det_id(f"{s}|{p}|{o}", user, org), s, p, o, user, org,
                                     dumps(m, separators=(",", ":")))):
            col.append(value)
    try:
        graph.conn.execute(SQL_ADD, cols)
    except Exception:
        graph.conn.execute(SQL_REPLACE, cols)
    return cols[0]


def _columns(graph, facts) -> list[list[Any]]:
    cols: list[list[Any]] = [[], [], [], [], [], [], []]
    for s, p, o, m in facts:
        user, org = m.get("user_id", ""), m.get("org_id", "")
        for col, value in zip(cols, (graph._det_id(f"{s}|{p}|{o}", user, org), s, p, o, user, org,
                                     json.dumps(m, separators=(",", ":")))):
            col.append(value)
    return cols


def run(workdir: str, per_call: list[int], facts_per_size: int, single_facts: int,
        vector_store: str, sides: list[str]) -> dict[str, Any]:
    mod = importlib.import_module(MODULE_NAME)
    bulk = importlib.import_module(BULK_MODULE)
    graph = mod.DuckSqliteGraph(workdir)
    if vector_store == "null":
        graph.vector_store = NullVectorStore()
    else:
        from corvanta.vectorstores.memory import InMemoryVectorStore

        graph.vector_store = InMemoryVectorStore()

    counter = iter(range(10**9))
    result: dict[str, Any] = {"vector_store": vector_store, "sizes": []}

    start = time.perf_counter()
    for fact in _facts("single", 0, single_facts):
        graph.upsert_fact(*fact)
    result["single_rate"] = single_facts / (time.perf_counter() - start)

    for size in per_call:
        calls = max(3, facts_per_size // size)
        spent: dict[str, list[float]] = {side: [] for side in sides}
        last_bulk = _facts("first-", 0, size)
        bulk.upsert_facts(graph, last_bulk)
        for round_ in range(calls):
            for side in sides[round_ % len(sides):] + sides[:round_ % len(sides)]:
                facts = _facts(f"{side}{next(counter)}-", 0, size)
                if side == "bulk":
                    t = time.perf_counter()
                    bulk.upsert_facts(graph, facts)
                    last_bulk = facts
                elif side == "own":
                    conn, graph.conn = graph.conn, _IdleConnection()
                    t = time.perf_counter()
                    bulk.upsert_facts(graph, facts)
                    spent[side].append(time.perf_counter() - t)
                    graph.conn = conn
                    continue
                elif side == "rewrite":
                    t = time.perf_counter()
                    bulk.upsert_facts(graph, last_bulk)
                elif side == "python":
                    t = time.perf_counter()
                    _python_batch(graph, facts)
                else:
                    cols = _columns(graph, facts)
                    t = time.perf_counter()
                    graph.conn.execute(SQL_ADD if side == "bare" else SQL_REPLACE, cols)
                spent[side].append(time.perf_counter() - t)
        result["sizes"].append({"per_call": size, "calls": calls,
                                **{f"{side}_rate": size / statistics.median(s) for side, s in spent.items()}})
    return result
