"""The default vector store against its previous version (bench/baseline),
side by side in one run: adding in chunks of 1,000, opening a persisted
store, similarity search, and `kgraph search` end to end on a graph loaded by
`kgraph load`. Prints ratios (old time / new time).

    .venv/bin/python bench/vector_store.py [--docs 100000] [--repeat 5]
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "baseline"))

import memory_before as old  # noqa: E402

from corvanta.vectorstores import memory as new  # noqa: E402

QUERIES = ("who maintains the parser", "cache depends on billing", "invoice-1234")
FILTER = {"user_id": "user-3", "org_id": "org-1"}

E2E = """
import sys
sys.path.insert(0, {baseline!r})
if {use_old}:
    import memory_before, corvanta.vectorstores.factory as factory
    factory.InMemoryVectorStore = memory_before.InMemoryVectorStore
from kgraph_cli.cli import main
sys.exit(main(["--path", {graph!r}, "search", {query!r}, "--user", "user-3", "--org", "org-1", "--json"]))
"""


def timed(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--docs", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    work = Path(tempfile.mkdtemp(prefix="kgraph-vs-bench-"))
    facts = work / "facts.jsonl"
    with facts.open("w") as f:
        subprocess.run([sys.executable, str(ROOT / "tools/scripts/make_facts.py"), str(args.docs)], stdout=f, check=True)
    recs = [json.loads(line) for line in facts.open()]
    texts = [f"{r['subject']}|{r['predicate']}|{r['object']}" for r in recs]
    metas = [{**r["metadata"], "user_id": r["user_id"], "org_id": r["org_id"]} for r in recs]
    ids = [f"id{i}" for i in range(len(texts))]
    rows = []

    def side(mod, name):
        directory = work / f"vs-{name}"
        store = mod.InMemoryVectorStore(persist_directory=directory)
        t = time.perf_counter()
        for i in range(0, len(texts), 1000):
            store.add_texts(texts[i:i + 1000], metas[i:i + 1000], ids[i:i + 1000])
        add = time.perf_counter() - t
        t = time.perf_counter()
        store = mod.InMemoryVectorStore(persist_directory=directory)
        reopen = time.perf_counter() - t
        results = {}
        for flt in (FILTER, None):
            store.similarity_search_with_score(QUERIES[0], k=5, filter=flt)  # first use builds indexes
            results[flt is None] = timed(lambda: [store.similarity_search_with_score(q, k=5, filter=flt)
                                                  for q in QUERIES], args.repeat) / len(QUERIES)
        answers = [[(d.id, s) for d, s in store.similarity_search_with_score(q, k=10, filter=FILTER)]
                   for q in QUERIES]
        return add, reopen, results[False], results[True], answers

    o, n = side(old, "old"), side(new, "new")
    assert o[4] == n[4], "the two stores rank differently"
    for label, a, b in (("add_texts, chunks of 1,000", o[0], n[0]), ("open a persisted store", o[1], n[1]),
                        ("similarity_search_with_score, user and org filter", o[2], n[2]),
                        ("similarity_search_with_score, no filter", o[3], n[3])):
        rows.append((label, a, b))

    graph = work / "graph"
    subprocess.run([str(ROOT / ".venv/bin/kgraph"), "--path", str(graph), "load", str(facts)], check=True,
                   capture_output=True)
    e2e = {}
    for use_old in (True, False):
        code = E2E.format(baseline=str(HERE / "baseline"), use_old=use_old, graph=str(graph), query=QUERIES[0])
        e2e[use_old] = timed(lambda: subprocess.run([sys.executable, "-c", code], check=True, capture_output=True),
                             max(2, args.repeat // 2))
    rows.append(("`kgraph search` end to end (process start to exit)", e2e[True], e2e[False]))

    print(f"{args.docs:,} documents; rankings and scores identical: yes")
    print("| operation | before | now | ratio |\n|---|---:|---:|---:|")
    for label, a, b in rows:
        fmt = (lambda x: f"{x * 1000:.2f} ms") if a < 1 else (lambda x: f"{x:.2f} s")
        print(f"| {label} | {fmt(a)} | {fmt(b)} | {a / b:.1f}x |")


if __name__ == "__main__":
    main()
