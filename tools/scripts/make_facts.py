"""Writes N synthetic facts as JSON Lines, for measuring `kgraph load`.

    python tools/scripts/make_facts.py 100000 > /tmp/facts.jsonl
    kgraph --path /tmp/bench-graph load /tmp/facts.jsonl

The facts form a sparse graph of components, people and documents across a
few organisations, users and slices; every metadata holds a note of a few
hundred bytes. The output depends only on N and --seed.
"""

from __future__ import annotations

import argparse
import json
import random
import sys

PREDICATES = ("depends_on", "owned_by", "documents", "calls", "replaces", "tested_by", "deployed_to")
WORDS = ("parser", "cache", "index", "scheduler", "ledger", "gateway", "billing", "search", "report",
         "session", "queue", "storage", "audit", "profile", "invoice", "catalog", "router", "stream")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("count", type=int)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--entities", type=int, default=20_000, help="distinct subjects and objects")
    args = parser.parse_args()
    rng = random.Random(args.seed)
    orgs = [f"org-{i}" for i in range(5)]
    out = sys.stdout
    for i in range(args.count):
        a, b = rng.randrange(args.entities), rng.randrange(args.entities)
        org = rng.choice(orgs)
        note = " ".join(rng.choice(WORDS) for _ in range(rng.randint(10, 60)))
        record = {
            "subject": f"{WORDS[a % len(WORDS)]}-{a}",
            "predicate": PREDICATES[i % len(PREDICATES)],
            "object": f"{WORDS[b % len(WORDS)]}-{b}",
            "user_id": f"user-{rng.randrange(20)}",
            "org_id": org,
            "metadata": {"graph_slice_id": f"slice-{rng.randrange(50)}", "seq": i, "note": note},
        }
        out.write(json.dumps(record) + "\n")


if __name__ == "__main__":
    main()
