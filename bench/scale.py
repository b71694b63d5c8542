"""One scale point: a database of n facts of the realistic shape, its write
rate through the store, and the latency of every read and delete on it."""

from __future__ import annotations

import importlib
import statistics
import time
from typing import Any

from _common import MODULE_NAME, NullVectorStore, file_size, median_time, proc_status
from workload import TARGET_ORG, Workload, bulk_load


def run(workdir: str, n: int, store_writes: int, query_reps: int, delete_reps: int) -> dict[str, Any]:
    """The first n - store_writes facts are bulk-loaded with the upsert's row
    shape, the last store_writes go through upsert_fact one at a time."""
    module = importlib.import_module(MODULE_NAME)
    g = module.DuckSqliteGraph(workdir)
    g.vector_store = NullVectorStore()
    conn = g.conn
    work = Workload(n)
    out: dict[str, Any] = {"n": n, "store_writes": store_writes}
    rss_start = proc_status()

    bulk = n - store_writes
    t0 = time.perf_counter()
    if bulk:
        bulk_load(conn, work.facts(0, bulk), workdir=workdir)
    out["bulk_s"] = time.perf_counter() - t0
    out["rss_after_bulk_peak_kb"] = proc_status()["VmHWM"]
    # Start the peak afresh, so that it covers the writes through the store
    # only (writing 5 to clear_refs resets VmHWM to the current RSS).
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        out["peak_reset"] = True
    except OSError:
        out["peak_reset"] = False

    # Writes through the store, with the time and memory at every tenth.
    marks: list[tuple[int, float]] = [(0, time.perf_counter())]
    rss_marks: list[tuple[int, int]] = [(0, proc_status()["VmRSS"])]
    step = max(1, store_writes // 10)
    upsert = g.upsert_fact
    for i, (s, p, o, md) in enumerate(work.facts(bulk, n), 1):
        upsert(s, p, o, md)
        if i % step == 0 or i == store_writes:
            marks.append((i, time.perf_counter()))
            rss_marks.append((i, proc_status()["VmRSS"]))
    total_s = marks[-1][1] - marks[0][1]
    out["store_write_s"] = total_s
    out["rate_all"] = store_writes / total_s
    # the rate over the last tenth: the rate at (nearly) this size
    (i0, t_0), (i1, t_1) = marks[-2], marks[-1]
    out["rate_last"] = (i1 - i0) / (t_1 - t_0)
    out["rate_marks"] = [((b - a) / (tb - ta)) for (a, ta), (b, tb) in zip(marks, marks[1:])]
    out["rss_marks_kb"] = rss_marks
    status = proc_status()
    out["rss_before_kb"] = rss_start["VmRSS"]
    out["rss_peak_kb"] = status["VmHWM"]
    out["duckdb_memory_kb"] = int(conn.execute(
        "SELECT sum(memory_usage_bytes) FROM duckdb_memory()").fetchone()[0] or 0) // 1024

    db = g.db_path
    out["facts"] = conn.execute("SELECT count(*) FROM facts").fetchone()[0]
    out["size_before_checkpoint"] = file_size(db) + file_size(db + ".wal")
    conn.execute("CHECKPOINT")
    out["db_bytes"] = file_size(db) + file_size(db + ".wal")
    out["org_share"] = conn.execute("SELECT avg((org_id = ?)::INT) FROM facts", [TARGET_ORG]).fetchone()[0]

    # ---- neighbourhood from the hub and from a leaf
    hub, leaf = work.hub, work.leaf()
    out["hub_degree"] = conn.execute("SELECT count(*) FROM facts WHERE subject = ? OR obj = ?",
                                     [hub, hub]).fetchone()[0]
    reads: list[dict[str, Any]] = []
    for label, ent in (("hub", hub), ("leaf", leaf)):
        for depth in (2, 3):
            rows = len(g.get_neighbours(ent, depth))
            ms = median_time(lambda e=ent, d=depth: g.get_neighbours(e, d), query_reps)
            reads.append({"what": f"get_neighbours {label} depth {depth}", "ms": ms, "rows": rows})
    slice3 = work.slice_id(3)
    for filters in ({}, {"graph_slice_id": slice3}):
        rows = len(g.fetch_by_metadata(org_id=TARGET_ORG, filters=filters))
        ms = median_time(lambda f=filters: g.fetch_by_metadata(org_id=TARGET_ORG, filters=f), query_reps)
        what = "fetch_by_metadata org-00, no filter" if not filters else "fetch_by_metadata org-00, 1 slice"
        reads.append({"what": what, "ms": ms, "rows": rows})
    out["reads"] = reads

    # ---- deletes: nothing due / nothing matching, then real deletions
    deletes: list[dict[str, Any]] = []
    deletes.append({"what": "purge_expired, nothing due", "rows": 0,
                    "ms": median_time(lambda: g.purge_expired(90), query_reps)})
    deletes.append({"what": "delete_context, no such slice", "rows": 0,
                    "ms": median_time(lambda: g.delete_context(org_id=TARGET_ORG, graph_slice_id="none"),
                                      query_reps)})
    times, counts = [], []
    for k in range(delete_reps):
        # one sixteenth of the facts (ids starting with one hex digit) ages
        conn.execute("UPDATE facts SET created_at = created_at - INTERVAL 120 DAY WHERE id LIKE ?",
                     [f"{k:x}%"])
        before = conn.execute("SELECT count(*) FROM facts").fetchone()[0]
        t0 = time.perf_counter()
        g.purge_expired(90)
        times.append((time.perf_counter() - t0) * 1000)
        counts.append(before - conn.execute("SELECT count(*) FROM facts").fetchone()[0])
    deletes.append({"what": "purge_expired, 1/16 of facts due", "ms": statistics.median(times),
                    "rows": round(statistics.mean(counts))})
    times, counts = [], []
    for k in range(delete_reps):
        t0 = time.perf_counter()
        counts.append(g.delete_context(org_id=TARGET_ORG, graph_slice_id=work.slice_id(k)))
        times.append((time.perf_counter() - t0) * 1000)
    deletes.append({"what": "delete_context, one slice of org-00", "ms": statistics.median(times),
                    "rows": round(statistics.mean(counts))})
    out["deletes"] = deletes
    out["wal_bytes_end"] = file_size(db + ".wal")
    return out
