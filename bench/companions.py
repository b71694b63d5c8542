"""The companion modules `traversal` and `retention` against the store's own
operations, side by side in one process:

- `traversal.neighbourhood` scoped to `org-00` against `get_neighbours` of
  the same entity and depth (hub and leaf, depth 1 to 3) on a database of
  the realistic shape, the sides alternating call by call; its rows against
  a breadth-first walk written in Python over the organisation's facts;
- `retention.purge_expired` of a sixteenth of the facts and
  `retention.delete_context` of one slice of `org-00` against the store's
  own operation plus one `delete` call with the deleted ids (gathered before
  the clock starts), the sides alternating deletion by deletion;
- the peak memory of one `neighbourhood` call on cyclic graphs at growing
  depth, and the memory left after many calls."""

from __future__ import annotations

import collections
import importlib
import statistics
import sys
import time
from typing import Any

from _common import MODULE_NAME, NullVectorStore, interleaved, proc_status, rss_kb
from overlap import report_rows as overlap_report
from workload import TARGET_ORG, Workload, bulk_load

TRAVERSAL_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.traversal"
RETENTION_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.retention"


class DeletingNullStore(NullVectorStore):
    """Keeps nothing and takes every delete at once."""

    def __init__(self):
        super().__init__()
        self.deleted = 0

    def delete(self, ids=None):
        self.deleted += len(ids)
        return True


def _store(workdir: str):
    module = importlib.import_module(MODULE_NAME)
    graph = module.DuckSqliteGraph(workdir)
    graph.vector_store = DeletingNullStore()
    return graph


def org_leaf(work: Workload) -> str:
    """A literal object of a fact of the organisation: it occurs in that one fact."""
    for _, _, obj, md in work.facts():
        if md["org_id"] == TARGET_ORG and obj.startswith("lit:"):
            return obj
    raise LookupError("no literal object in the organisation")


def reached_in_org(facts: list[tuple[str, str, str]], entity: str, depth: int) -> int:
    """The distinct facts of the organisation that the walk reaches, counted
    by a plain breadth-first walk."""
    by_subject: dict[str, list[int]] = collections.defaultdict(list)
    for i, (_, s, _) in enumerate(facts):
        by_subject[s].append(i)
    frontier = [i for i, (_, s, o) in enumerate(facts) if entity in (s, o)]
    seen = set(frontier)
    for _ in range(depth - 1):
        frontier = [j for i in frontier for j in by_subject.get(facts[i][2], ()) if j not in seen]
        frontier = list(dict.fromkeys(frontier))
        if not frontier:
            break
        seen.update(frontier)
    return len(seen)


def _walks(graph, work: Workload, reps: int) -> list[dict[str, Any]]:
    traversal = importlib.import_module(TRAVERSAL_MODULE)
    org_facts = graph.conn.execute("SELECT id, subject, obj FROM facts WHERE org_id = ?", [TARGET_ORG]).fetchall()
    out = []
    for label, entity in (("hub", work.hub), ("leaf", org_leaf(work))):
        for depth in (1, 2, 3):
            sides = {
                "get_neighbours": lambda i, e=entity, d=depth: graph.get_neighbours(e, d),
                "neighbourhood": lambda i, e=entity, d=depth: traversal.neighbourhood(graph, e, d, org_id=TARGET_ORG),
            }
            times = interleaved(sides, reps=reps, inner=1)
            out.append({
                "entity": label, "depth": depth,
                "store_us": times["get_neighbours"], "walk_us": times["neighbourhood"],
                "store_rows": len(graph.get_neighbours(entity, depth)),
                "walk_rows": len(traversal.neighbourhood(graph, entity, depth, org_id=TARGET_ORG)),
                "expected_rows": reached_in_org(org_facts, entity, depth),
            })
    return out


# The module's course run from Python on a pending table with a primary
# key, to show what the key would cost: the same statements but for the
# table's name and ON CONFLICT DO NOTHING in place of the NOT EXISTS test.
KEYED_TABLE = "CREATE TABLE IF NOT EXISTS pending_with_key (id TEXT PRIMARY KEY, queued_at TIMESTAMP)"
KEYED_DELETE = ("WITH gone AS (DELETE FROM facts WHERE {condition} RETURNING id),\n"
                "queued AS (INSERT INTO pending_with_key SELECT id, current_timestamp FROM gone ON CONFLICT DO NOTHING)\n"
                "SELECT count(*), current_transaction_id() FROM gone")
KEYED_READ = ("SELECT current_transaction_id(),\n"
              "       list(DISTINCT p.id ORDER BY p.id) FILTER (WHERE f.id IS NULL),\n"
              "       list(DISTINCT p.id ORDER BY p.id) FILTER (WHERE f.id IS NOT NULL)\n"
              "FROM pending_with_key p LEFT JOIN facts f ON f.id = p.id")
KEYED_REMOVE = "DELETE FROM pending_with_key WHERE id <= ? OR list_contains(?::TEXT[], id)"
PURGE_CONDITION = "created_at < ?"
SLICE_CONDITION = "org_id = ? AND json_extract(metadata, '$.graph_slice_id') = to_json(?)"


def _keyed_course(graph, condition: str, params: list[Any]) -> int:
    conn, vs = graph.conn, graph.vector_store
    conn.execute(KEYED_TABLE)
    [(deleted, _)] = conn.execute(KEYED_DELETE.format(condition=condition), params).fetchall()
    [(_, ids, rewritten)] = conn.execute(KEYED_READ).fetchall()
    ids = ids or []
    for start in range(0, len(ids), 1000):
        vs.delete(ids=ids[start:start + 1000])
    if ids:
        conn.execute(KEYED_REMOVE, [ids[-1], rewritten or []])
    return deleted


def _deletions(graph, work: Workload, reps: int) -> dict[str, Any]:
    """Each side in turn deletes the same part of the facts, put back (with a
    new `created_at`) after every deletion so that each one finds the table
    as the first did: a sixteenth of the facts made 120 days old for the
    purge (the ids that begin with "0"), one slice of the organisation for
    the context deletion. Sides: the store's operation and one delete call
    with the ids gathered before the clock starts; the retention module; the
    module's course on a keyed pending table."""
    retention = importlib.import_module(RETENTION_MODULE)
    conn, vs = graph.conn, graph.vector_store
    sides = ["store", "module", "keyed"]
    columns = "id, subject, predicate, obj, user_id, org_id, current_timestamp, metadata"

    def timed(fn) -> tuple[float, Any]:
        t0 = time.perf_counter()
        result = fn()
        return (time.perf_counter() - t0) * 1000, result

    def run(kind: str) -> dict[str, Any]:
        samples: dict[str, list[float]] = {side: [] for side in sides}
        rows: list[int] = []
        floor_parts: list[tuple[float, float]] = []
        slice_id = work.slice_id(0)
        for rep in range(reps):
            for side in sides[rep % 3:] + sides[:rep % 3]:
                if kind == "purge":
                    conn.execute("UPDATE facts SET created_at = created_at - INTERVAL 120 DAY WHERE id LIKE '0%'")
                    module_call = lambda: retention.purge_expired(graph, 90)
                    store_call = lambda: graph.purge_expired(90)
                    condition, params = PURGE_CONDITION, [retention_cutoff()]
                else:
                    module_call = lambda: retention.delete_context(graph, org_id=TARGET_ORG, graph_slice_id=slice_id)
                    store_call = lambda: graph.delete_context(org_id=TARGET_ORG, graph_slice_id=slice_id)
                    condition, params = SLICE_CONDITION, [TARGET_ORG, slice_id]
                conn.execute(f"CREATE TEMP TABLE saved AS SELECT * FROM facts WHERE {condition}", params)
                conn.execute("CHECKPOINT")
                if side == "store":
                    ids = [r[0] for r in conn.execute("SELECT id FROM saved").fetchall()]
                    op_ms, _ = timed(store_call)
                    delete_ms, _ = timed(lambda: vs.delete(ids=ids))
                    samples[side].append(op_ms + delete_ms)
                    floor_parts.append((op_ms, delete_ms))
                    rows.append(len(ids))
                elif side == "module":
                    ms, result = timed(module_call)
                    assert result["documents"] == result["facts"] and result["pending"] == 0, result
                    samples[side].append(ms)
                    rows.append(result["facts"])
                else:
                    ms, deleted = timed(lambda: _keyed_course(graph, condition, params))
                    samples[side].append(ms)
                    rows.append(deleted)
                conn.execute(f"INSERT INTO facts SELECT {columns} FROM saved")
                conn.execute("DROP TABLE saved")
        return {
            "store_ms": statistics.median(samples["store"]), "module_ms": statistics.median(samples["module"]),
            "keyed_ms": statistics.median(samples["keyed"]),
            "store_op_ms": statistics.median(p[0] for p in floor_parts),
            "store_delete_ms": statistics.median(p[1] for p in floor_parts),
            "rows": round(statistics.mean(rows)), "reps": reps,
        }

    return {"purge": run("purge"), "delete_context": run("context")}


def retention_cutoff():
    """The purge's cutoff as the store computes it."""
    module = importlib.import_module(MODULE_NAME)
    return module.datetime.now(module.timezone.utc) - module.timedelta(days=90)


def scale_point(workdir: str, n: int, walk_reps: int, delete_reps: int) -> dict[str, Any]:
    graph = _store(workdir)
    work = Workload(n)
    t0 = time.perf_counter()
    bulk_load(graph.conn, work.facts(), workdir=workdir)
    graph.conn.execute("CHECKPOINT")
    out: dict[str, Any] = {"n": n, "build_s": time.perf_counter() - t0,
                           "facts": graph.conn.execute("SELECT count(*) FROM facts").fetchone()[0],
                           "org_facts": graph.conn.execute("SELECT count(*) FROM facts WHERE org_id = ?",
                                                           [TARGET_ORG]).fetchone()[0]}
    out["walks"] = _walks(graph, work, walk_reps)
    out["deletions"] = _deletions(graph, work, delete_reps)
    return out


def _peak_kb(fn) -> tuple[int, float, Any]:
    """The rise of the peak resident size during fn() from the size before
    it, the time fn() took in milliseconds, and its result."""
    before = rss_kb()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from the current size
    t0 = time.perf_counter()
    result = fn()
    ms = (time.perf_counter() - t0) * 1000
    return proc_status()["VmHWM"] - before, ms, result


def cyclic_memory(workdir: str, ring: int, depths: list[int], calls: int) -> dict[str, Any]:
    """Two cyclic graphs in `org-00`, beside the same facts in another
    organisation: four facts with a cycle (a -> b -> c -> a, and b -> d), and
    a ring of `ring` entities with a chord from each (each entity points to
    the next and to the one seven times its number), which every hop widens.
    For each depth: the median over five calls of the peak's rise and of the
    time; `get_neighbours` on the ring at small depths, to compare."""
    traversal = importlib.import_module(TRAVERSAL_MODULE)
    graph = _store(workdir)
    small = [("a", "b"), ("b", "c"), ("c", "a"), ("b", "d")]
    large = [(f"n:{i}", f"n:{(i + 1) % ring}") for i in range(ring)] + \
            [(f"n:{i}", f"n:{(7 * i) % ring}") for i in range(ring)]
    rows = [(f"{org}|{s}|{o}|{k}", s, "r", o, "u", org, "{}")
            for org in (TARGET_ORG, "org-01") for k, (s, o) in enumerate(small + large)]
    graph.conn.executemany("INSERT INTO facts VALUES (?, ?, ?, ?, ?, ?, current_timestamp, ?)", rows)

    def measure(call) -> dict[str, Any]:
        call()
        runs = [_peak_kb(call) for _ in range(5)]
        return {"rows": len(runs[0][2]), "peak_kb": statistics.median(r[0] for r in runs),
                "ms": statistics.median(r[1] for r in runs)}

    out: dict[str, Any] = {"ring": ring, "all_facts": len(rows), "graphs": []}
    for label, entity, facts in (("4 facts with a cycle", "a", len(small)),
                                 (f"ring of {ring:,} with chords", "n:0", len(large))):
        points = [{"depth": depth, **measure(lambda e=entity, d=depth: traversal.neighbourhood(
            graph, e, d, org_id=TARGET_ORG))} for depth in depths]
        out["graphs"].append({"graph": label, "facts": facts, "points": points})
    out["get_neighbours"] = [{"depth": depth, **measure(lambda d=depth: graph.get_neighbours("n:0", d))}
                             for depth in (2, 4, 6)]
    # Many calls at depth 1,000 on the ring: the Python objects left after
    # them, and the resident size (which also holds what the engine's
    # allocator keeps: it grows over the first hundreds of recursive
    # statements, then levels off).
    walk = lambda: traversal.neighbourhood(graph, "n:0", 1000, org_id=TARGET_ORG)
    for _ in range(calls // 10):
        walk()
    rss = [rss_kb()]
    blocks = sys.getallocatedblocks()
    for i in range(calls):
        walk()
        if (i + 1) % (calls // 2) == 0:
            rss.append(rss_kb())
    out["calls"] = calls
    out["blocks_growth"] = sys.getallocatedblocks() - blocks
    out["rss_kb"] = rss
    return out


# ------------------------------------------------------------------ report

WALK_GOAL = 0.5       # neighbourhood time / get_neighbours time, at 1M facts
RETENTION_GOAL = 1.3  # retention's deletion / the store's deletion plus one delete call, at 1M facts
FLAT_KB = 2048        # a call at depth 1,000 or more peaks within this of one at depth 100 (medians)


def report(res: dict[str, Any], misses: list[str], table) -> str:
    """Section 8 of the report; `table` is the report's table formatter."""
    points = res["points"]
    at_goal_size = [p for p in points if p["n"] >= 1_000_000]

    def ms(us: float) -> str:
        return f"{us / 1000:,.1f} ms" if us >= 10_000 else f"{us / 1000:.2f} ms"

    def verdict(applies: bool, ok: bool) -> str:
        return ("yes" if ok else "**no**") if applies else "not at this size"

    walk_rows = []
    for p in points:
        goal_size = p in at_goal_size
        for w in p["walks"]:
            ratio = w["walk_us"] / w["store_us"]
            rows_ok = w["walk_rows"] == w["expected_rows"]
            walk_rows.append([f"{p['n']:,}", w["entity"], w["depth"], ms(w["store_us"]), f"{w['store_rows']:,}",
                              ms(w["walk_us"]), f"{w['walk_rows']:,}", "yes" if rows_ok else "**no**",
                              f"{ratio:.2f}", verdict(goal_size, ratio <= WALK_GOAL)])
            if not rows_ok:
                misses.append(f"`neighbourhood` {w['entity']} depth {w['depth']} at {p['n']:,} facts: "
                              f"{w['walk_rows']:,} rows, the organisation's facts reached are {w['expected_rows']:,}")
            if goal_size and ratio > WALK_GOAL:
                misses.append(f"`neighbourhood` {w['entity']} depth {w['depth']} at {p['n']:,} facts: {ratio:.2f} "
                              f"of `get_neighbours`'s time (goal {WALK_GOAL})")
    delete_rows = []
    for p in points:
        goal_size = p in at_goal_size
        for kind, label in (("purge", "`purge_expired`, 1/16 of the facts"),
                            ("delete_context", "`delete_context`, one slice of `org-00`")):
            d = p["deletions"][kind]
            ratio = d["module_ms"] / d["store_ms"]
            delete_rows.append([f"{p['n']:,}", label, f"{d['rows']:,}", f"{d['store_op_ms']:,.1f} ms",
                                f"{d['store_delete_ms']:,.2f} ms", f"{d['store_ms']:,.1f} ms",
                                f"{d['module_ms']:,.1f} ms", f"{ratio:.2f}",
                                verdict(goal_size, ratio <= RETENTION_GOAL), f"{d['keyed_ms']:,.1f} ms",
                                f"{d['keyed_ms'] / d['store_ms']:.2f}"])
            if goal_size and ratio > RETENTION_GOAL:
                misses.append(f"`retention.{'purge_expired' if kind == 'purge' else 'delete_context'}` at "
                              f"{p['n']:,} facts: {ratio:.2f} times the store's deletion plus one delete call "
                              f"(goal {RETENTION_GOAL})")
    memory = res["memory"]
    memory_rows, flat = [], True
    for g in memory["graphs"]:
        by_depth = {pt["depth"]: pt for pt in g["points"]}
        base = by_depth.get(100, g["points"][0])["peak_kb"]
        for pt in g["points"]:
            if pt["depth"] >= 1000 and pt["peak_kb"] > base + FLAT_KB:
                flat = False
            memory_rows.append([f"`neighbourhood`, {g['graph']}", f"{g['facts']:,}", f"{pt['depth']:,}",
                                f"{pt['rows']:,}", f"{pt['peak_kb'] / 1024:+.1f} MiB", f"{pt['ms']:,.1f} ms"])
    for pt in memory["get_neighbours"]:
        memory_rows.append([f"`get_neighbours` (every organisation), ring of {memory['ring']:,} with chords",
                            f"{memory['all_facts']:,}", f"{pt['depth']:,}", f"{pt['rows']:,}",
                            f"{pt['peak_kb'] / 1024:+.1f} MiB", f"{pt['ms']:,.1f} ms"])
    flat = flat and memory["blocks_growth"] < 100
    if not flat:
        misses.append("`neighbourhood` on a cyclic graph: memory at depth 1,000 is not flat")
    return "\n".join([
        "## 8. Companion modules: traversal and retention",
        "",
        "On databases of the realistic shape (section 2), bulk-loaded with the upsert's row shape. Null vector "
        "store, with a `delete` that takes the ids at once.",
        "",
        "`traversal.neighbourhood(graph, entity, depth, org_id=\"org-00\")` against `graph.get_neighbours(entity, "
        "depth)`, the sides alternating call by call, median times. `get_neighbours` walks every organisation's "
        "facts and returns one row per path; `neighbourhood` walks `org-00`'s (10% of the facts) and returns "
        "each fact once. \"Expected\" is the number of distinct facts of `org-00` that a breadth-first walk in "
        "Python over them reaches. The hub is the entity with the largest out-degree; the leaf a literal object "
        "of one fact of `org-00`.",
        "",
        table(["facts", "entity", "depth", "get_neighbours", "rows", "neighbourhood", "rows", "= expected",
               "time ratio", f"≤ {WALK_GOAL} at 1M"], walk_rows),
        "",
        "Where the time goes: reading `subject` and `obj` of the table is most of either statement (there is "
        "no index on them). `get_neighbours` reads them for every fact once for the anchor and once more for "
        "each further hop, and builds a record per path; `neighbourhood` reads the organisation's rows once "
        "into the statement (its `scope`) and walks them in memory, each fact once.",
        "",
        "Deletions: `retention.purge_expired(graph, 90)` and `retention.delete_context(graph, org_id=\"org-00\", "
        "graph_slice_id=...)` against the store's own operation followed by one `vector_store.delete(ids=...)` "
        "call with the deleted ids (gathered before the clock starts). Every deletion removes the same part, put "
        "back after it with a new `created_at`, so each finds the table as the first did: a sixteenth of the "
        "facts (those whose id begins with \"0\") made 120 days old, or the first slice of `org-00`. The "
        "sides take turns, the order rotating every round, with a CHECKPOINT before each deletion; medians of "
        f"{points[-1]['deletions']['purge']['reps']} deletions per side. The module's "
        "deletion also queues the ids in `pending_vector_deletions` in the same statement, reads them back, "
        "hands them to `delete` in chunks of 1,000 and removes them from the table. The last two columns run "
        "the module's statements from Python on a pending table whose `id` is a PRIMARY KEY (queueing with ON "
        "CONFLICT DO NOTHING): the cost of that key, which is why the module's table has none.",
        "",
        table(["facts", "deletion", "rows", "store's operation", "one delete call", "store + delete",
               "retention", "ratio", f"≤ {RETENTION_GOAL} at 1M", "with a keyed pending table", "ratio"],
              delete_rows),
        "",
        "Memory: the rise of the peak resident size (VmHWM, reset before the call) during one `neighbourhood` "
        "call from `a` and from `n:0`, on two cyclic graphs of `org-00` beside the same facts in another "
        "organisation, medians of five calls; the walk stops when a hop reaches no new fact, so beyond the "
        "depth that reaches every fact nothing grows. `get_neighbours` on the ring, whose paths multiply every "
        f"hop, is shown for comparison at small depths. {memory['calls']:,} calls at depth 1,000 on the ring (after a tenth as many to warm "
        f"up) left {memory['blocks_growth']:+,} of the interpreter's allocated blocks; the resident size went "
        + " → ".join(f"{kb / 1024:,.1f} MiB" for kb in memory["rss_kb"]) + " (start, half-way, end; it also "
        "holds what the engine's allocator keeps, which grows over the first hundreds of recursive statements "
        "and then levels off, for `get_neighbours` too: section 3). Flat (a call at depth 1,000 or more peaks "
        f"within {FLAT_KB // 1024} MiB of one at depth 100, and the calls leave no objects): "
        f"{'yes' if flat else '**no**'}.",
        "",
        table(["walk, graph", "facts walked", "depth", "rows", "peak rise", "time"], memory_rows),
        *(overlap_report(res["overlap"], misses, table) if "overlap" in res else []),
    ])
