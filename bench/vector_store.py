"""The default vector store against its previous version (bench/baseline),
side by side in one run: adding in chunks of 1,000, opening a persisted
store, similarity search, and `kgraph search` end to end on a graph loaded by
`kgraph load` (timed too). Prints ratios (old time / new time); bench/run.py
reports the same figures in its tool section.

    .venv/bin/python bench/vector_store.py [--docs 100000] [--repeat 5]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

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


def tool_env() -> dict[str, str]:
    """The environment of a kgraph process: the working tree's tool, no
    vector-store directory inherited from the caller."""
    env = {k: v for k, v in os.environ.items() if k != "CORVANTA_VECTORSTORE_DIR"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "tools"), env.get("PYTHONPATH")]))
    return env


def timed(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def compare(work: Path, docs: int, repeat: int) -> dict[str, Any]:
    """Times both stores on ``docs`` synthetic facts in ``work``; fails if
    they rank or score differently. Times are in seconds."""
    facts = work / "facts.jsonl"
    with facts.open("w") as f:
        subprocess.run([sys.executable, str(ROOT / "tools/scripts/make_facts.py"), str(docs)], stdout=f, check=True)
    recs = [json.loads(line) for line in facts.open()]
    texts = [f"{r['subject']}|{r['predicate']}|{r['object']}" for r in recs]
    metas = [{**r["metadata"], "user_id": r["user_id"], "org_id": r["org_id"]} for r in recs]
    ids = [f"id{i}" for i in range(len(texts))]
    del recs

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
                                                  for q in QUERIES], repeat) / len(QUERIES)
        answers = [[(d.id, d.page_content, d.metadata, s)
                    for d, s in store.similarity_search_with_score(q, k=10, filter=flt)]
                   for q in QUERIES for flt in (FILTER, None)]
        return {"add": add, "open": reopen, "search_filter": results[False], "search_all": results[True]}, answers

    before, old_answers = side(old, "old")
    now, new_answers = side(new, "new")
    assert old_answers == new_answers, "the two stores rank, score or return differently"

    graph = work / "graph"
    t = time.perf_counter()
    proc = subprocess.run([sys.executable, "-m", "kgraph_cli", "--path", str(graph), "load", str(facts), "--json"],
                          check=True, capture_output=True, text=True, env=tool_env())
    load = {"whole_s": time.perf_counter() - t, **json.loads(proc.stdout)}
    for use_old, figures in ((True, before), (False, now)):
        code = E2E.format(baseline=str(HERE / "baseline"), use_old=use_old, graph=str(graph), query=QUERIES[0])
        figures["search_e2e"] = timed(
            lambda: subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, env=tool_env()),
            max(2, repeat // 2))
    return {"docs": docs, "before": before, "now": now, "load": load}


LABELS = {
    "add": "add_texts, chunks of 1,000",
    "open": "open a persisted store",
    "search_filter": "similarity_search_with_score, user and org filter",
    "search_all": "similarity_search_with_score, no filter",
    "search_e2e": "`kgraph search` end to end (process start to exit)",
}


def seconds(x: float) -> str:
    return f"{x * 1000:.2f} ms" if x < 1 else f"{x:.2f} s"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--docs", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="kgraph-vs-bench-") as work:
        res = compare(Path(work), args.docs, args.repeat)
    load = res["load"]
    print(f"{args.docs:,} documents; rankings, scores and documents identical: yes")
    print(f"kgraph load: {load['whole_s']:.2f} s end to end ({load['facts_per_second']:,.0f} facts/s writing)")
    print("| operation | before | now | ratio |\n|---|---:|---:|---:|")
    for key, label in LABELS.items():
        a, b = res["before"][key], res["now"][key]
        print(f"| {label} | {seconds(a)} | {seconds(b)} | {a / b:.1f}x |")


if __name__ == "__main__":
    main()
