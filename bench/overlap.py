"""A reader's latency while another thread deletes through a slow vector
store: `retention.delete_context` of 10,000 facts whose vector store takes
50 ms for every `delete` call (ten calls of 1,000 ids), while a second thread
reads with `fetch_by_metadata`. The reader's median latency during the
deletions against the same reads with no deletion running, in one process,
the two phases taking turns."""

from __future__ import annotations

import importlib
import statistics
import threading
import time
from typing import Any

from _common import MODULE_NAME, NullVectorStore

BULK_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.bulk"
RETENTION_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.retention"
LATENCY_GOAL = 1.5


class SlowDeletes(NullVectorStore):
    """Keeps nothing; every delete takes `seconds`, as a networked store's would."""

    def __init__(self, seconds: float):
        super().__init__()
        self.seconds = seconds
        self.calls = 0

    def delete(self, ids=None):
        self.calls += 1
        time.sleep(self.seconds)
        return True


def run(workdir: str, doomed: int, kept: int, rounds: int, delete_seconds: float) -> dict[str, Any]:
    graph = importlib.import_module(MODULE_NAME).DuckSqliteGraph(workdir)
    bulk = importlib.import_module(BULK_MODULE)
    retention = importlib.import_module(RETENTION_MODULE)
    vectors = SlowDeletes(delete_seconds)
    graph.vector_store = vectors

    def facts(slice_id: str, n: int):
        return [(f"{slice_id}-{i}", "relates_to", f"object {i % 97}",
                 {"user_id": f"u{i % 7}", "org_id": "org-00", "graph_slice_id": slice_id}) for i in range(n)]

    bulk.upsert_facts(graph, facts("kept", kept))
    bulk.upsert_facts(graph, facts("reader", 20))

    def read() -> float:
        start = time.perf_counter()
        graph.fetch_by_metadata(org_id="org-00", filters={"graph_slice_id": "reader"})
        return time.perf_counter() - start

    def reads_while(busy: threading.Event, samples: list[float]) -> None:
        while busy.is_set():
            samples.append(read())

    quiet, during, deletion_s = [], [], []
    for _ in range(rounds):
        bulk.upsert_facts(graph, facts("doomed", doomed))
        graph.conn.execute("CHECKPOINT")
        # Quiet: the reader alone, as long as a deletion takes.
        busy = threading.Event()
        busy.set()
        reader = threading.Thread(target=reads_while, args=(busy, quiet))
        reader.start()
        time.sleep(doomed / 1000 * delete_seconds + 0.1)
        busy.clear()
        reader.join()
        # During: the same reads while the deletion runs.
        busy.set()
        reader = threading.Thread(target=reads_while, args=(busy, during))
        reader.start()
        start = time.perf_counter()
        result = retention.delete_context(graph, org_id="org-00", graph_slice_id="doomed")
        deletion_s.append(time.perf_counter() - start)
        busy.clear()
        reader.join()
        assert result["facts"] == doomed and result["pending"] == 0, result
    return {"doomed": doomed, "kept": kept, "rounds": rounds, "delete_ms": delete_seconds * 1000,
            "delete_calls": vectors.calls, "quiet_us": statistics.median(quiet) * 1e6,
            "during_us": statistics.median(during) * 1e6, "quiet_reads": len(quiet), "during_reads": len(during),
            "during_max_us": max(during) * 1e6, "deletion_ms": statistics.median(deletion_s) * 1000}


def report_rows(res: dict[str, Any], misses: list[str], table) -> list[str]:
    """The part of section 8 on a reader that overlaps a slow deletion."""
    ratio = res["during_us"] / res["quiet_us"]
    if ratio > LATENCY_GOAL:
        misses.append(f"a read during a deletion through a slow vector store: {ratio:.2f} of its quiet latency "
                      f"(goal {LATENCY_GOAL})")
    return [
        "",
        f"A reader beside a slow deletion: `retention.delete_context` of {res['doomed']:,} facts (beside "
        f"{res['kept']:,} others) through a vector store whose `delete` takes {res['delete_ms']:.0f} ms a call, "
        "while another thread reads with `fetch_by_metadata` (20 rows); the reader's median latency during the "
        f"deletions against the same reads with no deletion running, {res['rounds']} rounds, the two phases "
        "taking turns. The vector store is called without the connection lock, so the reader waits only for the "
        "deleting statement itself.",
        "",
        table(["deletion (median)", "delete calls", "reads quiet", "median quiet", "reads during",
               "median during", "slowest during", "ratio", f"≤ {LATENCY_GOAL}"],
              [[f"{res['deletion_ms']:,.0f} ms", f"{res['delete_calls']:,}", f"{res['quiet_reads']:,}",
                f"{res['quiet_us'] / 1000:.2f} ms", f"{res['during_reads']:,}", f"{res['during_us'] / 1000:.2f} ms",
                f"{res['during_max_us'] / 1000:,.1f} ms", f"{ratio:.2f}",
                "yes" if ratio <= LATENCY_GOAL else "**no**"]]),
    ]
