"""Helpers shared by the benchmark tasks: the store's SQL texts (the floors
issue the very same statements), vector stores that cost nothing, paired
timing and memory readings."""

from __future__ import annotations

import gc
import hashlib
import json
import os
import statistics
import time
from typing import Any, Callable

MODULE_NAME = "corvanta.kgraph.providers.duckdb_sqlite.duck_graph"

# The statements the store runs, character for character, so that DuckDB
# parses and plans the same text on both sides of a comparison.
# The bare replacing INSERT (the upsert's floor) and the statement the store
# runs, which replaces only the row of the same fact and returns its count.
SQL_INSERT = "INSERT OR REPLACE INTO facts VALUES (?, ?, ?, ?, ?, ?, current_timestamp, ?)"
SQL_INSERT_GUARDED = (
    "INSERT INTO facts VALUES (?, ?, ?, ?, ?, ?, current_timestamp, ?) ON CONFLICT (id) DO UPDATE SET "
    "created_at = excluded.created_at, metadata = excluded.metadata WHERE facts.subject = excluded.subject "
    "AND facts.predicate = excluded.predicate AND facts.obj = excluded.obj AND facts.user_id = excluded.user_id "
    "AND facts.org_id = excluded.org_id")
SQL_NEIGHBOURS = (
    "WITH RECURSIVE hop(n, s, p, o) AS (\n"
    "    SELECT 1, subject, predicate, obj FROM facts WHERE subject = ? OR obj = ?\n"
    "    UNION ALL\n"
    "    SELECT n + 1, f.subject, f.predicate, f.obj\n"
    "    FROM facts f JOIN hop h ON f.subject = h.o\n"
    "    WHERE n < ?\n"
    ")\n"
    "SELECT s, p, o FROM hop;"
)
SQL_FETCH_HEAD = "SELECT subject, predicate, obj, metadata FROM facts WHERE org_id = ?"
SQL_FETCH_CONDITION = " AND json_extract(metadata, ?) = to_json(?)"
SQL_PURGE = "DELETE FROM facts WHERE created_at < ?"
SQL_DELETE_CONTEXT = (
    "DELETE FROM facts\n"
    "    WHERE org_id = ?\n"
    "      AND json_extract(metadata, '$.graph_slice_id') = to_json(?)"
)

VS_META_MAX = 60000


def compact_json(value: Any) -> str:
    return json.dumps(value, separators=(",", ":"))


def fact_id(subject: str, predicate: str, obj: str, user_id: str, org_id: str) -> str:
    return hashlib.sha256(f"{subject}|{predicate}|{obj}{user_id}{org_id}".encode("utf-8")).hexdigest()


def fetch_sql(n_filters: int) -> str:
    return SQL_FETCH_HEAD + SQL_FETCH_CONDITION * n_filters


class HitDoc:
    """A vector-store document as the store reads it back."""

    __slots__ = ("page_content", "metadata", "id")

    def __init__(self, page_content: str, metadata: dict | None = None, id: str | None = None):
        self.page_content = page_content
        self.metadata = metadata or {}
        self.id = id


class NullVectorStore:
    """Keeps nothing and answers every search with the same hits, so a timing
    shows the store's own cost and not a vector store's."""

    def __init__(self, hits: list[tuple[HitDoc, float]] | None = None):
        self.hits = hits if hits is not None else []

    def add_texts(self, texts, metadatas=None, ids=None):
        return ids

    def similarity_search_with_score(self, query, k=4, filter=None):
        return self.hits


def fixed_hits(n: int = 5) -> list[tuple[HitDoc, float]]:
    return [(HitDoc(f"ent:{i}|relates_to|ent:{i + 7}"), 1.0 - i / 10) for i in range(n)]


# --------------------------------------------------------------- timing

def interleaved(sides: dict[str, Callable[[int], Any]], *, reps: int, inner: int,
                prepare: Callable[[str], Any] | None = None) -> dict[str, float]:
    """Times each side in batches of `inner` calls, the sides taking turns
    and the order rotating every repetition (AB, BA, AB, ... for two sides),
    so drift and the neighbours' load hit every side alike. `prepare(side)`
    runs untimed before each batch; each side's function gets its own
    running call index (0, 1, 2, ...).
    Returns the median time per call of each side in microseconds."""
    names = list(sides)
    samples: dict[str, list[float]] = {name: [] for name in names}
    counters = dict.fromkeys(names, 0)
    for rep in range(reps):
        shift = rep % len(names)
        order = names[shift:] + names[:shift]  # AB, BA, ... (ABC, BCA, CAB, ... for three)
        for name in order:
            if prepare is not None:
                prepare(name)
            fn = sides[name]
            base = counters[name]
            t0 = time.perf_counter_ns()
            for i in range(base, base + inner):
                fn(i)
            elapsed = time.perf_counter_ns() - t0
            counters[name] = base + inner
            samples[name].append(elapsed / inner / 1000.0)
    return {name: statistics.median(values) for name, values in samples.items()}


def median_time(fn: Callable[[], Any], reps: int, prepare: Callable[[], Any] | None = None) -> float:
    """Median wall time of `fn()` over `reps` calls, in milliseconds."""
    samples = []
    for _ in range(reps):
        if prepare is not None:
            prepare()
        t0 = time.perf_counter_ns()
        fn()
        samples.append((time.perf_counter_ns() - t0) / 1e6)
    return statistics.median(samples)


# --------------------------------------------------------------- memory

def proc_status() -> dict[str, int]:
    """VmRSS and VmHWM of this process, in kB."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(("VmRSS:", "VmHWM:")):
                key, value = line.split(":", 1)
                out[key] = int(value.split()[0])
    return out


def rss_kb() -> int:
    gc.collect()
    return proc_status()["VmRSS"]


def file_size(path: str | os.PathLike[str]) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0
