"""Resident memory over a long run of mixed operations after a warm-up: a
leak shows as steady growth. The same sequence issued directly from Python
(the floor) runs in its own process as a control, so growth that belongs to
DuckDB or the interpreter is told apart from the store's."""

from __future__ import annotations

import gc
import hashlib
import importlib
import json
import logging
import sys
from datetime import datetime, timedelta, timezone
from typing import Any, Callable

from _common import (MODULE_NAME, SQL_DELETE_CONTEXT, SQL_INSERT, SQL_NEIGHBOURS, SQL_PURGE, VS_META_MAX,
                     fetch_sql, fixed_hits, rss_kb)
from plain_clamp import plain_clamp
from workload import Workload, bulk_load, entity

ORG = "org-03"


class FlakyVectorStore:
    """Keeps nothing; of every four adds one reports a duplicate, one raises
    another ValueError and one fails with another error, so every tolerated
    failure path of the upsert (debug; warning and error with a traceback)
    runs all the time. Searches return five fixed hits."""

    def __init__(self) -> None:
        self.calls = 0
        self.hits = fixed_hits(5)

    def add_texts(self, texts, metadatas=None, ids=None):
        self.calls += 1
        if self.calls % 4 == 1:
            raise ValueError(f"Document with ID {ids[0]!r} already exists")
        if self.calls % 4 == 2:
            raise ValueError("bad vector dimension")
        if self.calls % 4 == 3:
            raise RuntimeError("vector store unavailable")
        return ids

    def similarity_search_with_score(self, query, k=4, filter=None):
        return self.hits


def _store_ops(g) -> dict[str, Callable[..., Any]]:
    return {
        "upsert": g.upsert_fact,
        "search": lambda q, u, o: g.search(q, user_id=u, org_id=o),
        "neighbours": g.get_neighbours,
        "fetch": lambda o, f: g.fetch_by_metadata(org_id=o, filters=f),
        "purge": g.purge_expired,
        "delete": lambda o, s: g.delete_context(org_id=o, graph_slice_id=s),
        "det_id": g._det_id,
        "clamp": g._clamp_metadata_for_vs,
    }


def _floor_ops(conn, vs, logger: logging.Logger) -> dict[str, Callable[..., Any]]:
    """The same operations written directly in Python on the same connection."""

    def upsert(s, p, o, md):
        u, org = md.get("user_id", ""), md.get("org_id", "")
        triple = f"{s}|{p}|{o}"
        fid = hashlib.sha256((triple + u + org).encode("utf-8")).hexdigest()
        js = json.dumps(md, separators=(",", ":"))
        conn.execute(SQL_INSERT, [fid, s, p, o, u, org, js])
        vs_meta = dict(md) if len(js) <= VS_META_MAX else plain_clamp(md, VS_META_MAX)
        try:
            vs.add_texts([triple], metadatas=[vs_meta], ids=[fid])
        except ValueError as exc:
            msg = str(exc).lower()
            if "duplicate" in msg or "already" in msg or "exist" in msg:
                logger.debug("duplicate id %s: %s", fid, exc)
            else:
                logger.warning("unexpected ValueError: %s", exc, exc_info=True)
        except Exception as exc:
            logger.error("failed to add fact %s: %s", fid, exc, exc_info=True)
        return fid

    def search(q, u, o):
        out = []
        for doc, score in vs.similarity_search_with_score(q, k=5, filter={"user_id": u, "org_id": o}):
            s, p, obj = doc.page_content.split("|", 2)
            out.append({"subject": s, "predicate": p, "object": obj, "score": score})
        return out

    def neighbours(e, d):
        return [{"subject": s, "predicate": p, "object": o}
                for s, p, o in conn.execute(SQL_NEIGHBOURS, [e, e, d]).fetchall()]

    def fetch(org, filters):
        params = [org]
        for k, v in filters.items():
            params += ["$." + k, v]
        out = []
        for s, p, o, md in conn.execute(fetch_sql(len(filters)), params).fetchall():
            out.append({"subject": s, "predicate": p, "object": o, "metadata": json.loads(md)})
        return out

    def purge(days):
        conn.execute(SQL_PURGE, [datetime.now(timezone.utc) - timedelta(days=days)])

    def delete(org, slice_id):
        return conn.execute(SQL_DELETE_CONTEXT, [org, slice_id]).fetchall()[0][0]

    def det_id(triple, u, o):
        return hashlib.sha256((triple + u + o).encode("utf-8")).hexdigest()

    return {"upsert": upsert, "search": search, "neighbours": neighbours, "fetch": fetch, "purge": purge,
            "delete": delete, "det_id": det_id, "clamp": plain_clamp}


def mixed_memory(workdir: str, db_facts: int, warmup: int, warmup_traversals: int, ops: int, sample_every: int,
                 floor: bool, skip: tuple[str, ...] = ()) -> dict[str, Any]:
    """Warm-up: `warmup` mixed operations, then `warmup_traversals` traversals
    alone (DuckDB's allocator keeps growing over its first tens of thousands
    of recursive statements before it levels off; the same happens with no
    store involved). `skip` names operations left out of the cycle (for
    telling apart where growth comes from); each still counts as one."""
    module = importlib.import_module(MODULE_NAME)
    g = module.DuckSqliteGraph(workdir)
    vs = FlakyVectorStore()
    g.vector_store = vs
    conn = g.conn
    work = Workload(db_facts)
    bulk_load(conn, work.facts(), workdir=workdir)
    conn.execute("CHECKPOINT")
    facts = list(work.facts(0, min(db_facts, 5000)))
    big_md = {"user_id": "u", "org_id": ORG, "code_content": "def f(x):\n    return 'é'\n" * 4000,
              "docstring": "Returns the thing.\t" * 3000, "n": 1}
    op = _floor_ops(conn, vs, logging.getLogger(MODULE_NAME)) if floor else _store_ops(g)
    for name in skip:
        op[name] = lambda *args: None
    upsert, search, neighbours, fetch = op["upsert"], op["search"], op["neighbours"], op["fetch"]
    purge, delete, det_id, clamp = op["purge"], op["delete"], op["det_id"], op["clamp"]

    # One cycle of 40 operations: 2 upserts (rewrites of existing facts with
    # new metadata), 3 traversals, 3 filter fetches, 1 purge, 1 context
    # deletion, and cheap calls: 18 searches, 8 identifiers, 4 clampings.
    def cycle(c: int) -> None:
        for k in (0, 1):
            s, p, o, md = facts[(2 * c + k) % len(facts)]
            upsert(s, p, o, {**md, "confidence": (c % 1000) / 1000, "rev": c})
        for d in (1, 2, 3):
            neighbours(entity(20 + (c * 3 + d) % 200), d)
        fetch(ORG, {"graph_slice_id": work.slice_id(c % 10)})
        fetch(ORG, {"graph_slice_id": work.slice_id(c % 10), "kind": "claim", "user_id": "user-03-00"})
        fetch(ORG, {"source": f"doc-{c % 500}"})
        purge(90)
        delete(ORG, f"no-such-slice-{c % 7}")
        for k in range(18):
            search(f"what relates to ent:{k}", f"user-03-{k % 20:02d}", ORG)
        for k in range(8):
            det_id(f"ent:{c}|relates_to|ent:{k}", "user-03-00", ORG)
        for k in range(4):
            clamp(big_md if k == 0 else facts[(c + k) % len(facts)][3], VS_META_MAX)

    def duck() -> tuple[int, int, int]:
        """DuckDB's own account of its memory, the database's used blocks, and
        the interpreter's count of allocated memory blocks (after rss_kb's
        garbage collection): objects left behind show in the last."""
        mem = conn.execute("SELECT sum(memory_usage_bytes) FROM duckdb_memory()").fetchone()[0] or 0
        used = conn.execute("SELECT used_blocks * block_size FROM pragma_database_size()").fetchone()[0] or 0
        return int(mem) // 1024, int(used) // 1024, sys.getallocatedblocks()

    per_cycle = 40
    warm_samples: list[tuple[int, int]] = [(0, rss_kb())]
    for c in range(max(1, warmup // per_cycle)):
        cycle(c)
    warm_samples.append((warmup, rss_kb()))
    step = max(1, warmup_traversals // 9)
    for t in range(1, warmup_traversals + 1):
        neighbours(entity(20 + t % 200), 1 + t % 3)
        if t % step == 0:
            warm_samples.append((warmup + t, rss_kb()))
    samples: list[tuple[int, int]] = [(0, rss_kb())]
    duck_samples: list[tuple[int, int, int, int]] = [(0, *duck())]
    done = 0
    c = 10**6
    while done < ops:
        cycle(c)
        c += 1
        done += per_cycle
        if done % sample_every < per_cycle or done >= ops:
            samples.append((done, rss_kb()))
            duck_samples.append((done, *duck()))
    return {"floor": floor, "skip": list(skip), "ops": done, "warmup": warmup,
            "warmup_traversals": warmup_traversals, "warm_samples": warm_samples, "samples": samples, "duck_samples": duck_samples,
            "growth_kb": samples[-1][1] - samples[0][1], "slope_kb_per_100k": _slope(samples) * 100_000,
            "second_half_growth_kb": samples[-1][1] - samples[len(samples) // 2][1],
            "duck_mem_growth_kb": duck_samples[-1][1] - duck_samples[0][1],
            "db_used_growth_kb": duck_samples[-1][2] - duck_samples[0][2],
            "py_blocks_growth": duck_samples[-1][3] - duck_samples[0][3]}


def own_leaks(workdir: str, calls: int) -> list[dict[str, Any]]:
    """Each operation alone, many times, with the connection replaced by one
    that answers at once with canned rows: DuckDB is out of the picture, so
    what the process keeps is what the store keeps. Counts the interpreter's
    allocated blocks (objects left behind) and RSS (any heap growth)."""
    from overhead import CannedConnection

    module = importlib.import_module(MODULE_NAME)
    g = module.DuckSqliteGraph(workdir)
    g.vector_store = FlakyVectorStore()
    md = {"user_id": "user-03-00", "org_id": ORG, "graph_slice_id": "slice-01", "kind": "claim"}
    big = {"user_id": "u", "org_id": ORG, "code_content": "def f(x):\n    return 'é'\n" * 8000,
           "docstring": "Returns the thing.\t" * 6000, "n": 1}
    rows3 = [(f"ent:{i}", "relates_to", f"ent:{i + 1}") for i in range(20)]
    rows4 = [(s, p, o, '{"kind":"claim","n":[1,2.5,null]}') for s, p, o in rows3]
    heavy = max(1, calls // 10)  # the 180 KB cases cost about half a millisecond each
    cases = [
        ("upsert_fact (vector store: duplicate, ValueError, other error, ok)", lambda i: g.upsert_fact(
            "ent:1", "relates_to", f"ent:{i % 50}", md), [], calls),
        ("upsert_fact with 180 KB of metadata (clamped)", lambda i: g.upsert_fact("ent:1", "defines", "f", big),
         [], heavy),
        ("search (5 hits)", lambda i: g.search("what", user_id="u", org_id=ORG), [], calls),
        ("get_neighbours (20 rows)", lambda i: g.get_neighbours("ent:1", 1 + i % 3), rows3, calls),
        ("fetch_by_metadata (20 rows, one unsafe key)", lambda i: g.fetch_by_metadata(
            org_id=ORG, filters={"kind": "claim", "bad key": "x"}), rows4, calls),
        ("purge_expired", lambda i: g.purge_expired(90), [], calls),
        ("delete_context", lambda i: g.delete_context(org_id=ORG, graph_slice_id="slice-01"), [(3,)], calls),
        ("_det_id", lambda i: g._det_id(f"ent:{i % 50}|p|o", "u", ORG), [], calls),
        ("_clamp_metadata_for_vs (180 KB)", lambda i: g._clamp_metadata_for_vs(big, VS_META_MAX), [], heavy),
    ]
    out = []
    for name, fn, rows, n in cases:
        g.conn = CannedConnection(rows)
        for i in range(max(1, n // 10)):
            fn(i)
        rss0 = rss_kb()
        gc.collect()
        blocks0 = sys.getallocatedblocks()
        for i in range(n):
            fn(i)
        gc.collect()
        blocks1 = sys.getallocatedblocks()
        out.append({"op": name, "calls": n, "py_blocks": blocks1 - blocks0, "rss_kb": rss_kb() - rss0})
    return out


def _slope(samples: list[tuple[int, int]]) -> float:
    n = len(samples)
    if n < 2:
        return 0.0
    mx = sum(x for x, _ in samples) / n
    my = sum(y for _, y in samples) / n
    sxx = sum((x - mx) ** 2 for x, _ in samples)
    return sum((x - mx) * (y - my) for x, y in samples) / sxx if sxx else 0.0
