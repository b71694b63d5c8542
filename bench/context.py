"""`retrieval.context` against what a host writes today for the same answer:
`search`, then `traversal.neighbourhood` for each distinct entity of the hits
(scoped to the same user and organisation), merged and ranked in Python.

On a database of the realistic shape (bench/workload.py), bulk-loaded; the
user of `org-00` with the most facts asks; a null vector store answers every
search with the same five hits, facts of that user, so the figure is the
store's own. Both sides give the same records (checked before timing), and
take turns call by call."""

from __future__ import annotations

import importlib
import time
from typing import Any

from _common import MODULE_NAME, HitDoc, NullVectorStore, interleaved
from workload import TARGET_ORG, Workload, bulk_load

RETRIEVAL_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.retrieval"
TRAVERSAL_MODULE = "corvanta.kgraph.providers.duckdb_sqlite.traversal"
QUESTION = "which facts answer this question"
K = 5
DEFAULT_LIMIT = 50
NO_CAP = 10**9


def host_context(graph, traversal, user: str, depth: int, limit: int) -> list[dict[str, Any]]:
    """The host's way: the hits, then the walk from each of their entities;
    a fact keeps its smallest hop and the best score of the hits whose walks
    reach it there; a hit is not repeated; ranked as context ranks."""
    hits = graph.search(QUESTION, user_id=user, org_id=TARGET_ORG, k=K)
    best: dict[tuple[str, str, str], tuple[int, float]] = {}
    for h in hits:
        triple = (h["subject"], h["predicate"], h["object"])
        best[triple] = (0, max(h["score"], best.get(triple, (0, h["score"]))[1]))
    entity_score: dict[str, float] = {}
    for h in hits:
        for entity in (h["subject"], h["object"]):
            entity_score[entity] = max(h["score"], entity_score.get(entity, h["score"]))
    for entity, score in entity_score.items():
        for r in traversal.neighbourhood(graph, entity, depth, org_id=TARGET_ORG, user_id=user):
            triple = (r["subject"], r["predicate"], r["object"])
            seen = best.get(triple)
            if seen is None or (seen[0] > 0 and (r["hop"], -score) < (seen[0], -seen[1])):
                best[triple] = (r["hop"], score)
    ranked = sorted(best.items(), key=lambda item: (item[1][0], -item[1][1], *item[0]))[:limit]
    return [{"subject": s, "predicate": p, "object": o, "hop": hop, "score": score}
            for (s, p, o), (hop, score) in ranked]


def scale_point(workdir: str, n: int, reps: int, depths: list[int]) -> dict[str, Any]:
    module = importlib.import_module(MODULE_NAME)
    retrieval = importlib.import_module(RETRIEVAL_MODULE)
    traversal = importlib.import_module(TRAVERSAL_MODULE)
    graph = module.DuckSqliteGraph(workdir)
    graph.vector_store = NullVectorStore()
    t0 = time.perf_counter()
    bulk_load(graph.conn, Workload(n).facts(), workdir=workdir)
    graph.conn.execute("CHECKPOINT")
    conn = graph.conn
    [(user, user_facts)] = conn.execute(
        "SELECT user_id, count(*) FROM facts WHERE org_id = ? GROUP BY user_id ORDER BY 2 DESC, 1 LIMIT 1",
        [TARGET_ORG]).fetchall()
    picked = conn.execute("SELECT id, subject, predicate, obj FROM facts WHERE org_id = ? AND user_id = ? "
                          "ORDER BY id LIMIT ?", [TARGET_ORG, user, K]).fetchall()
    graph.vector_store = NullVectorStore([(HitDoc(f"{s}|{p}|{o}", {}, fid), 0.9 - i / 10)
                                          for i, (fid, s, p, o) in enumerate(picked)])
    out: dict[str, Any] = {"n": n, "build_s": time.perf_counter() - t0, "user": user, "user_facts": user_facts,
                           "entities": len({e for _, s, _, o in picked for e in (s, o)}), "reps": reps, "runs": []}
    for depth in depths:
        for limit in (DEFAULT_LIMIT, NO_CAP):
            ours = lambda i, d=depth, lim=limit: retrieval.context(graph, QUESTION, user_id=user, org_id=TARGET_ORG,
                                                                   k=K, depth=d, limit=lim)
            host = lambda i, d=depth, lim=limit: host_context(graph, traversal, user, d, lim)
            got = [{key: r[key] for key in ("subject", "predicate", "object", "hop", "score")} for r in ours(0)]
            want = host(0)
            assert got == want, f"context and the host's way differ at {n:,} facts, depth {depth}, limit {limit}"
            times = interleaved({"host": host, "context": ours}, reps=reps, inner=1)
            out["runs"].append({"depth": depth, "limit": None if limit == NO_CAP else limit, "rows": len(got),
                                "host_us": times["host"], "context_us": times["context"]})
    return out


# ------------------------------------------------------------------ report

GOAL = 0.5  # context / the host's way, at 1M facts


def report(res: dict[str, Any], misses: list[str], table) -> str:
    """Section 9 of the report; `table` is the report's table formatter."""
    rows = []
    for p in res["points"]:
        at_goal_size = p["n"] >= 1_000_000
        for r in p["runs"]:
            ratio = r["context_us"] / r["host_us"]
            ok = ratio <= GOAL
            limit = "none" if r["limit"] is None else f"{r['limit']:,}"
            rows.append([f"{p['n']:,}", f"{p['user_facts']:,}", r["depth"], limit, f"{r['rows']:,}",
                         f"{r['host_us'] / 1000:,.2f} ms", f"{r['context_us'] / 1000:,.2f} ms", f"{ratio:.2f}",
                         ("yes" if ok else "**no**") if at_goal_size else "not at this size"])
            if at_goal_size and not ok:
                misses.append(f"`retrieval.context` depth {r['depth']}, limit {limit} at {p['n']:,} facts: "
                              f"{ratio:.2f} of the host's way (goal {GOAL})")
    points = res["points"]
    return "\n".join([
        "## 9. Retrieval: context against search plus neighbourhood",
        "",
        f"`retrieval.context(graph, question, user_id=U, org_id=\"org-00\", k={K}, depth=D, limit=L)` against "
        "what a host writes today for the same records: `graph.search` with the same arguments, then "
        "`traversal.neighbourhood(graph, entity, D, org_id=\"org-00\", user_id=U)` for each distinct subject "
        "and object of the hits, merged in Python (each fact at its smallest hop with the best score of the "
        "hits whose walks reach it there, hits not repeated), ranked by hop, score, subject, predicate and "
        "object, and cut to L. On databases of the realistic shape (section 2), bulk-loaded; U is the user of "
        "`org-00` with the most facts; a null vector store answers every search with the same five hits, "
        f"facts of U ({', '.join(str(p['entities']) for p in points)} distinct entities). Both sides return "
        "the same records (checked before the clock starts; the host's way has no fact ids). Sides alternating "
        f"call by call, medians of {points[-1]['reps']} calls each. L = 50 is context's default; \"none\" "
        "returns every fact reached.",
        "",
        table(["facts", "U's facts", "depth", "limit", "records", "search + neighbourhood", "context", "ratio",
               f"≤ {GOAL} at 1M"], rows),
        "",
        "Where the time goes: each `neighbourhood` call reads the scope's rows of the table once, so the host's "
        "way reads them once per distinct entity (up to ten for five hits); `context` reads them once, matches "
        "the hits to their rows and walks from all of them in the same statement.",
    ])
