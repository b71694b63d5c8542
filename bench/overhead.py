"""Every operation against its floor: the same statement issued from Python
with the same record building, or the same vector-store call. Each pair is
measured twice: on the real database, and with the connection replaced by
one that answers instantly with the same rows, which leaves only the
store's own work and the floor's Python work. Also the cost of the default
stand-in vector store, measured apart."""

from __future__ import annotations

import hashlib
import importlib
import json
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from typing import Any, Callable

from _common import (MODULE_NAME, SQL_DELETE_CONTEXT, SQL_INSERT, SQL_INSERT_GUARDED, SQL_NEIGHBOURS, SQL_PURGE,
                     VS_META_MAX,
                     NullVectorStore, compact_json, fact_id, fetch_sql, fixed_hits, interleaved)
from plain_clamp import plain_clamp
from workload import TARGET_ORG, Workload, bulk_load, distinct, entity

# 100 rows of one slice, written by SQL between timed runs (never timed).
_SEED_ROWS = (
    "INSERT INTO facts SELECT 'bench-' || ? || '-' || i, 'ent:victim', 'relates_to', 'lit:' || i,"
    " 'user-00-00', 'org-00', ?::TIMESTAMP, '{\"user_id\":\"user-00-00\",\"org_id\":\"org-00\","
    "\"graph_slice_id\":\"victim\",\"source\":\"doc-1\",\"kind\":\"claim\",\"confidence\":0.5}'"
    " FROM range(100) t(i)"
)


class _Answer:
    __slots__ = ("rows",)

    def __init__(self, rows: list[tuple]):
        self.rows = rows

    def fetchall(self) -> list[tuple]:
        return self.rows


class CannedConnection:
    """Answers every statement at once with the same rows: what is left of
    a timing is the caller's own work."""

    def __init__(self, rows: list[tuple] | None = None):
        self.answer = _Answer(rows or [])

    def execute(self, sql, params=None):
        return self.answer


def _records(rows):
    return [{"subject": s, "predicate": p, "object": o} for s, p, o in rows]


def _fetch_records(rows):
    out = []
    loads = json.loads
    for s, p, o, md in rows:
        if isinstance(md, str):
            try:
                meta = loads(md)
            except Exception:
                meta = {}
        else:
            meta = md
        out.append({"subject": s, "predicate": p, "object": o, "metadata": meta})
    return out


@dataclass
class Case:
    op: str
    store: Callable[[int], Any]
    floor: Callable[[int], Any]
    rows: list[tuple]  # what the statement returns (for the canned run)
    reps: int
    inner: int
    prepare: Callable[[str], Any] | None = None
    extra: dict[str, Any] = field(default_factory=dict)


def run(workdir: str, db_facts: int, scale: float) -> dict[str, Any]:
    """`scale` multiplies the repetition counts (the quick mode uses less)."""
    module = importlib.import_module(MODULE_NAME)
    g = module.DuckSqliteGraph(workdir)
    default_vs = g.vector_store
    null_vs = NullVectorStore(fixed_hits(5))
    g.vector_store = null_vs
    real_conn = g.conn
    work = Workload(db_facts)
    bulk_load(real_conn, work.facts(), workdir=workdir)
    real_conn.execute("CHECKPOINT")

    # The floors look the connection up at call time, like the store does,
    # so that both follow the swap to the canned connection.
    def conn():
        return g.conn

    def reps(n: int) -> int:
        return max(5, int(n * scale)) | 1

    cases: list[Case] = []

    # ---- search (the vector store returns 5 fixed hits)
    q, user, org = "what does ent:3 relate to", "user-01-00", "org-01"

    def search_floor(_i: int):
        hits = null_vs.similarity_search_with_score(q, k=5, filter={"user_id": user, "org_id": org})
        out = []
        for doc, score in hits:
            s, p, o = doc.page_content.split("|", 2)
            out.append({"subject": s, "predicate": p, "object": o, "score": score})
        return out

    assert g.search(q, user_id=user, org_id=org) == search_floor(0)
    cases.append(Case("search (k=5, 5 hits)", lambda i: g.search(q, user_id=user, org_id=org), search_floor,
                      [], reps(41), 500))

    # ---- get_neighbours from a mid-degree entity, and from the hub
    for label, ent, depths in (("", entity(40), (1, 2, 3)), (", hub", work.hub, (2,))):
        for depth in depths:
            params = [ent, ent, depth]
            rows = real_conn.execute(SQL_NEIGHBOURS, params).fetchall()
            assert g.get_neighbours(ent, depth) == _records(rows)
            cases.append(Case(f"get_neighbours (depth {depth}{label})",
                              lambda i, e=ent, d=depth: g.get_neighbours(e, d),
                              lambda i, p=params: _records(conn().execute(SQL_NEIGHBOURS, p).fetchall()),
                              rows, reps(41), 5 if len(rows) < 1000 else 1))

    # ---- fetch_by_metadata for org-00 (10% of the facts)
    filter_sets = [
        {},
        {"graph_slice_id": work.slice_id(3)},
        {"graph_slice_id": work.slice_id(3), "kind": "claim", "user_id": "user-00-00"},
    ]
    for filters in filter_sets:
        sql = fetch_sql(len(filters))
        params = [TARGET_ORG]
        for key, value in filters.items():
            params += ["$." + key, value]
        rows = real_conn.execute(sql, params).fetchall()
        assert g.fetch_by_metadata(org_id=TARGET_ORG, filters=filters) == _fetch_records(rows)
        cases.append(Case(f"fetch_by_metadata ({len(filters)} filter{'' if len(filters) == 1 else 's'})",
                          lambda i, f=filters: g.fetch_by_metadata(org_id=TARGET_ORG, filters=f),
                          lambda i, s=sql, p=params: _fetch_records(conn().execute(s, p).fetchall()),
                          rows, reps(41), 3))

    # ---- purge_expired: nothing due, then 100 rows due in every run
    def purge_floor(_i: int):
        conn().execute(SQL_PURGE, [datetime.now(timezone.utc) - timedelta(days=90)])

    cases.append(Case("purge_expired (nothing due)", lambda i: g.purge_expired(90), purge_floor, [],
                      reps(41), 5))
    seeded = iter(range(10**9))
    old = (datetime.now(timezone.utc) - timedelta(days=200)).replace(tzinfo=None)
    now = datetime.now(timezone.utc).replace(tzinfo=None)

    def seed_old(_side: str) -> None:
        real_conn.execute(_SEED_ROWS, [f"old{next(seeded)}", old])

    def seed_slice(_side: str) -> None:
        real_conn.execute(_SEED_ROWS, [f"new{next(seeded)}", now])

    cases.append(Case("purge_expired (100 rows due)", lambda i: g.purge_expired(90), purge_floor, [],
                      reps(41), 1, prepare=seed_old))

    # ---- delete_context: a slice that does not exist, then a slice of 100 rows
    cases.append(Case("delete_context (nothing matches)",
                      lambda i: g.delete_context(org_id=TARGET_ORG, graph_slice_id="no-such-slice"),
                      lambda i: conn().execute(SQL_DELETE_CONTEXT, [TARGET_ORG, "no-such-slice"]).fetchall(),
                      [(0,)], reps(41), 5))
    seed_slice("check")
    assert g.delete_context(org_id=TARGET_ORG, graph_slice_id="victim") == 100
    cases.append(Case("delete_context (100 rows)",
                      lambda i: g.delete_context(org_id=TARGET_ORG, graph_slice_id="victim"),
                      lambda i: conn().execute(SQL_DELETE_CONTEXT, [TARGET_ORG, "victim"]).fetchall(),
                      [(100,)], reps(41), 1, prepare=seed_slice))

    # ---- upsert_fact: new facts on every side; small metadata
    n_up = reps(61) * 10
    stream = distinct(Workload(db_facts, seed=7).facts(0, 10 * n_up))
    store_facts = [next(stream) for _ in range(n_up)]
    full_facts = [next(stream) for _ in range(n_up)]
    bare_facts = [next(stream) for _ in range(n_up)]
    guarded_facts = [next(stream) for _ in range(n_up)]

    def bare_args_of(facts):
        args = []
        for s, p, o, md in facts:
            u, og = md["user_id"], md["org_id"]
            fid = fact_id(s, p, o, u, og)
            args.append(([fid, s, p, o, u, og, compact_json(md)], [f"{s}|{p}|{o}"], [md], [fid]))
        return args

    bare_args, guarded_args = bare_args_of(bare_facts), bare_args_of(guarded_facts)
    add_texts = null_vs.add_texts
    dumps = json.dumps
    sha256 = hashlib.sha256

    def upsert_store(i: int):
        s, p, o, md = store_facts[i % n_up]
        return g.upsert_fact(s, p, o, md)

    def upsert_bare(i: int):
        params, texts, metadatas, ids = bare_args[i % n_up]
        conn().execute(SQL_INSERT, params)
        add_texts(texts, metadatas=metadatas, ids=ids)

    def upsert_guarded(i: int):
        params, texts, metadatas, ids = guarded_args[i % n_up]
        conn().execute(SQL_INSERT_GUARDED, params).fetchall()
        add_texts(texts, metadatas=metadatas, ids=ids)

    def upsert_full(i: int):
        s, p, o, md = full_facts[i % n_up]
        u, og = md.get("user_id", ""), md.get("org_id", "")
        triple = f"{s}|{p}|{o}"
        fid = sha256((triple + u + og).encode("utf-8")).hexdigest()
        js = dumps(md, separators=(",", ":"))
        conn().execute(SQL_INSERT, [fid, s, p, o, u, og, js])
        vs_meta = dict(md) if len(js) <= VS_META_MAX else plain_clamp(md, VS_META_MAX)
        add_texts([triple], metadatas=[vs_meta], ids=[fid])
        return fid

    upsert = Case("upsert_fact (small metadata)", upsert_store, upsert_bare, [], n_up // 10, 10,
                  extra={"floor_full": upsert_full, "floor_guarded": upsert_guarded})
    cases.append(upsert)

    # ---- upsert_fact rewriting a stored fact: the same facts again on each side
    n_rw = reps(31) * 10
    rewrite_facts = [next(stream) for _ in range(n_rw)]
    rewrite_args = bare_args_of([next(stream) for _ in range(n_rw)])
    for s, p, o, md in rewrite_facts:
        g.upsert_fact(s, p, o, md)
    for params, _texts, _metas, _ids in rewrite_args:
        real_conn.execute(SQL_INSERT, params)

    def rewrite_store(i: int):
        s, p, o, md = rewrite_facts[i % n_rw]
        return g.upsert_fact(s, p, o, md)

    def rewrite_bare(i: int):
        params, texts, metadatas, ids = rewrite_args[i % n_rw]
        conn().execute(SQL_INSERT, params)
        add_texts(texts, metadatas=metadatas, ids=ids)

    cases.append(Case("upsert_fact (rewriting the same fact)", rewrite_store, rewrite_bare, [], n_rw // 10, 10))

    rows_out: list[dict[str, Any]] = []
    for case in cases:
        sides = {"store": case.store, "floor": case.floor, **case.extra}
        med = interleaved(sides, reps=case.reps, inner=case.inner, prepare=case.prepare)
        # the same pair with DuckDB out of the way
        g.conn = CannedConnection(case.rows)
        try:
            canned = interleaved(sides, reps=max(5, case.reps // 2) | 1, inner=max(case.inner, 20))
        finally:
            g.conn = real_conn
        row = {"op": case.op, "rows_out": len(case.rows) if case.rows and len(case.rows[0]) > 1 else None,
               "store_us": med["store"], "floor_us": med["floor"], "ratio": med["store"] / med["floor"],
               "own_store_us": canned["store"], "own_floor_us": canned["floor"],
               "reps": case.reps, "inner": case.inner}
        if case.op.startswith("search"):
            row["rows_out"] = 5
        if "floor_full" in med:
            row.update(full_floor_us=med["floor_full"], full_ratio=med["store"] / med["floor_full"],
                       own_full_us=canned["floor_full"], guarded_floor_us=med["floor_guarded"])
        rows_out.append(row)

    vs_rows = _default_vector_store(g, default_vs, null_vs, scale)
    return {"db_facts": real_conn.execute("SELECT count(*) FROM facts").fetchone()[0], "rows": rows_out,
            "vector_store": vs_rows,
            "vector_store_type": f"{type(default_vs).__module__}.{type(default_vs).__name__}"}


def _default_vector_store(g, default_vs, null_vs, scale: float) -> list[dict[str, Any]]:
    out: list[dict[str, Any]] = []
    n_docs = max(1000, int(10_000 * scale))
    stream = distinct(Workload(n_docs, seed=11).facts(0, 3 * n_docs))
    docs = [next(stream) for _ in range(n_docs)]
    reps = max(5, int(31 * scale)) | 1

    # add_texts alone, on a store filling up to n_docs documents
    def add_one(i: int):
        s, p, o, md = docs[i]
        fid = fact_id(s, p, o, md["user_id"], md["org_id"])
        default_vs.add_texts([f"{s}|{p}|{o}"], metadatas=[dict(md)], ids=[fid])

    inner = max(1, n_docs // (2 * reps))
    med = interleaved({"add": add_one}, reps=reps, inner=inner)
    out.append({"what": "add_texts (1 document, small metadata)", "us": med["add"]})
    for i in range(inner * reps, n_docs):
        add_one(i)
    held = len(default_vs)

    # the same upsert with the default store and with the null store, on the
    # real database and with the canned connection (the mirror's cost alone)
    extra = distinct(Workload(n_docs, seed=13).facts(0, 3 * n_docs))
    n_up = reps * 5
    facts = [next(extra) for _ in range(4 * n_up)]

    def upsert_with(vs, offset: int):
        def call(i: int):
            g.vector_store = vs
            s, p, o, md = facts[offset + i]
            g.upsert_fact(s, p, o, md)
        return call

    med = interleaved({"default": upsert_with(default_vs, 0), "null": upsert_with(null_vs, n_up)},
                      reps=reps, inner=5)
    real_conn = g.conn
    g.conn = CannedConnection()
    try:
        canned = interleaved({"default": upsert_with(default_vs, 2 * n_up), "null": upsert_with(null_vs, 3 * n_up)},
                             reps=reps, inner=5)
    finally:
        g.conn = real_conn
    out.append({"what": "upsert_fact with the default store", "us": med["default"], "vs_null_us": med["null"],
                "own_default_us": canned["default"], "own_null_us": canned["null"]})

    # similarity search over what the store holds, scoped to one user
    md = docs[0][3]
    user, org = md["user_id"], md["org_id"]

    def search_default(_i: int):
        g.vector_store = default_vs
        return g.search("ent:12 relates to", user_id=user, org_id=org)

    def search_direct(_i: int):
        return default_vs.similarity_search_with_score("ent:12 relates to", k=5,
                                                       filter={"user_id": user, "org_id": org})

    med = interleaved({"store": search_default, "direct": search_direct}, reps=reps, inner=3)
    out.append({"what": f"search through the store ({held:,} documents held)", "us": med["store"],
                "direct_us": med["direct"]})
    g.vector_store = null_vs
    return out
