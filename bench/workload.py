"""A realistic stream of facts for the scale and memory runs.

Shape (deterministic for a seed):
- entities: a pool of n/5 names (at least 100). Subjects are drawn from it
  with Zipf weights (exponent 1), so out-degrees follow a power law: the
  rank-1 entity (the hub) states several percent of all facts.
- objects: 80% are entities drawn with Zipf weights too, but in the reverse
  ranking (the most cited entities - concepts, places, types - state little
  themselves); 20% are literal values that occur once and are never a
  subject (dates, names, numbers). In-degrees follow a power law as well.
- 12 predicates with Zipf weights.
- 10 organisations: "org-00" holds exactly 10% of the facts, the other nine
  share the rest with Zipf weights; 20 users per organisation, Zipf weights.
- metadata: user_id, org_id, graph_slice_id (10 slices per organisation,
  uniform, so one slice of org-00 is about 1% of all facts), source, kind and
  confidence: about 160 bytes of Compact JSON.
"""

from __future__ import annotations

import csv
import itertools
import os
import random
import tempfile
from collections.abc import Iterator
from typing import Any

from _common import compact_json, fact_id

TARGET_ORG = "org-00"
N_ORGS = 10
USERS_PER_ORG = 20
SLICES_PER_ORG = 10
PREDICATES = ["relates_to", "mentions", "depends_on", "part_of", "is_a", "authored_by", "located_in",
              "calls", "defines", "cites", "owns", "reports_to"]
KINDS = ["claim", "observation", "relation", "definition", "event"]

Fact = tuple[str, str, str, dict[str, Any]]


def _zipf_cum(n: int, s: float = 1.0) -> list[float]:
    return list(itertools.accumulate(1.0 / (r ** s) for r in range(1, n + 1)))


def entity(rank: int) -> str:
    return f"ent:{rank}"


class Workload:
    def __init__(self, n: int, seed: int = 20240501):
        self.n = n
        self.seed = seed
        self.pool = max(100, n // 5)
        self.hub = entity(0)  # subject rank 1: the largest out-degree

    def leaf(self) -> str:
        """The first literal object of the stream: it occurs in exactly one
        fact and is never a subject."""
        for _, _, obj, _ in self.facts():
            if obj.startswith("lit:"):
                return obj
        raise LookupError("no literal object")

    @staticmethod
    def slice_id(j: int) -> str:
        return f"slice-{j:02d}"

    def facts(self, start: int = 0, stop: int | None = None) -> Iterator[Fact]:
        """Facts start..stop-1 of the stream (the same for every caller).
        The whole stream is drawn in chunks, so a slice costs what drawing
        its prefix costs."""
        stop = self.n if stop is None else stop
        rng = random.Random(self.seed)
        subj_cum = _zipf_cum(self.pool)
        pred_cum = _zipf_cum(len(PREDICATES))
        org_cum = _zipf_cum(N_ORGS - 1)
        user_cum = _zipf_cum(USERS_PER_ORG)
        pool = self.pool
        docs = max(10, self.n // 20)
        chunk = 50_000
        for base in range(0, stop, chunk):
            k = chunk  # always whole chunks: every prefix of the stream is the same
            subjects = rng.choices(range(pool), cum_weights=subj_cum, k=k)
            objects = rng.choices(range(pool), cum_weights=subj_cum, k=k)
            preds = rng.choices(range(len(PREDICATES)), cum_weights=pred_cum, k=k)
            orgs = rng.choices(range(1, N_ORGS), cum_weights=org_cum, k=k)
            users = rng.choices(range(USERS_PER_ORG), cum_weights=user_cum, k=k)
            rand = [rng.random() for _ in range(3 * k)]
            for j in range(k):
                i = base + j
                if i < start:
                    continue
                if i >= stop:
                    return
                r1, r2, r3 = rand[3 * j], rand[3 * j + 1], rand[3 * j + 2]
                if r1 < 0.2:
                    obj = f"lit:{i}"
                else:
                    obj = entity(pool - 1 - objects[j])
                org = 0 if i % 10 == 0 else orgs[j]
                org_id = f"org-{org:02d}"
                md = {
                    "user_id": f"user-{org:02d}-{users[j]:02d}",
                    "org_id": org_id,
                    "graph_slice_id": self.slice_id(int(r2 * SLICES_PER_ORG)),
                    "source": f"doc-{int(r3 * docs)}",
                    "kind": KINDS[i % len(KINDS)],
                    "confidence": round(r2 * r3, 3),
                }
                yield entity(subjects[j]), PREDICATES[preds[j]], obj, md


def bulk_load(conn, facts: Iterator[Fact], *, workdir: str) -> int:
    """Inserts facts with exactly the row shape the upsert writes (its id,
    its Compact JSON, created_at now) through one INSERT ... SELECT from a
    CSV file. A fact drawn twice keeps one row, as repeated upserts would.
    Returns the number of facts offered."""
    fd, path = tempfile.mkstemp(suffix=".csv", dir=workdir)
    count = 0
    try:
        with os.fdopen(fd, "w", newline="") as f:
            w = csv.writer(f)
            for s, p, o, md in facts:
                u, org = md["user_id"], md["org_id"]
                w.writerow((fact_id(s, p, o, u, org), s, p, o, u, org, compact_json(md)))
                count += 1
        conn.execute(
            "INSERT OR REPLACE INTO facts "
            "SELECT id, subject, predicate, obj, user_id, org_id, current_timestamp, metadata FROM ("
            " SELECT *, row_number() OVER (PARTITION BY id) AS dup FROM read_csv(?, header = false,"
            " columns = {'id': 'TEXT', 'subject': 'TEXT', 'predicate': 'TEXT', 'obj': 'TEXT',"
            " 'user_id': 'TEXT', 'org_id': 'TEXT', 'metadata': 'TEXT'}, quote = '\"', escape = '\"')"
            ") WHERE dup = 1",
            [path],
        )
    finally:
        os.unlink(path)
    return count


def distinct(facts: Iterator[Fact]) -> Iterator[Fact]:
    """The facts whose identifiers have not been seen before in `facts`."""
    seen: set[str] = set()
    for s, p, o, md in facts:
        fid = fact_id(s, p, o, md["user_id"], md["org_id"])
        if fid not in seen:
            seen.add(fid)
            yield s, p, o, md
