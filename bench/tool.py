"""The kgraph tool's own figures: `kgraph demo` over the standard library,
`kgraph load` of synthetic facts, the default vector store against its
previous version (bench/vector_store.py), and the operator's commands
(reconcile, export, check, compact) against load's rate; each command timed
from process start to exit."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import vector_store

HERE = Path(__file__).resolve().parent

# A database of n facts of the realistic shape (bench/workload.py), the rows
# exactly as the upsert writes them, without documents.
BUILD = """
import sys
sys.path.insert(0, {bench!r})
from _common import MODULE_NAME, NullVectorStore
from workload import Workload, bulk_load
from corvanta.vectorstores.factory import VectorStoreFactory
VectorStoreFactory.set_store(NullVectorStore())
import importlib
graph = importlib.import_module(MODULE_NAME).DuckSqliteGraph({path!r})
bulk_load(graph.conn, Workload({n}).facts(), workdir={path!r})
graph.conn.execute("CHECKPOINT")
print(graph.conn.execute("SELECT count(*) FROM facts").fetchone()[0])
"""


# A command's peak RSS is read by its own process at exit (VmHWM): the
# rusage of a child of this large process would count this one's memory too.
RUN = """
import atexit, os, runpy, sys
def report():
    with open("/proc/self/status") as status, open(os.environ["KGRAPH_BENCH_PEAK"], "w") as out:
        out.write(next(line for line in status if line.startswith("VmHWM")).split()[1])
atexit.register(report)
sys.argv = ["kgraph", *sys.argv[1:]]
runpy.run_module("kgraph_cli", run_name="__main__", alter_sys=True)
"""


def kgraph(*argv: str) -> dict[str, Any]:
    """Runs one kgraph command; its time from start to exit, its peak RSS,
    its exit status and its standard output."""
    with tempfile.NamedTemporaryFile("r", suffix=".peak") as peak:
        t = time.perf_counter()
        proc = subprocess.run([sys.executable, "-c", RUN, *argv], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              text=True, env={**vector_store.tool_env(), "KGRAPH_BENCH_PEAK": peak.name})
        seconds = time.perf_counter() - t
        rss_kb = int(peak.read() or 0)
    return {"s": seconds, "rss_mb": rss_kb / 1024, "status": proc.returncode, "out": proc.stdout}


def _size(path: Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file())


def operator_commands(work: Path, graph: Path, scale_facts: int) -> dict[str, Any]:
    """reconcile on the graph `kgraph load` wrote, its vector store gone; then
    reconcile, export, check, a purge of everything and compact on a
    database of `scale_facts` facts."""
    out: dict[str, Any] = {}
    shutil.rmtree(graph / "vectors")
    run = kgraph("--path", str(graph), "reconcile", "--json")
    out["reconcile"] = {**run, **json.loads(run.pop("out"))}

    big = work / "big"
    proc = subprocess.run([sys.executable, "-c", BUILD.format(bench=str(HERE), path=str(big), n=scale_facts)],
                          check=True, capture_output=True, text=True, env=vector_store.tool_env())
    facts = int(proc.stdout.strip().splitlines()[-1])
    out["scale"] = scale = {"facts": facts}
    run = kgraph("--path", str(big), "reconcile", "--json")
    scale["reconcile"] = {**run, **json.loads(run.pop("out"))}
    scale["export_jsonl"] = kgraph("--path", str(big), "export", "-o", str(work / "facts.jsonl"))
    scale["export_jsonl"]["bytes"] = (work / "facts.jsonl").stat().st_size
    (work / "facts.jsonl").unlink()
    scale["export_parquet"] = kgraph("--path", str(big), "export", "--format", "parquet", "-o",
                                     str(work / "facts.parquet"))
    scale["export_parquet"]["bytes"] = (work / "facts.parquet").stat().st_size
    scale["check"] = kgraph("--path", str(big), "check", "--json")
    scale["check"]["damaged"] = json.loads(scale["check"].pop("out"))["damaged"]
    scale["purge"] = kgraph("--path", str(big), "purge", "--days", "0", "--yes")
    scale["purged_bytes"] = _size(big)
    scale["stats_purged"] = kgraph("--path", str(big), "stats")
    scale["compact"] = kgraph("--path", str(big), "compact")
    scale["compacted_bytes"] = _size(big)
    scale["stats_compacted"] = kgraph("--path", str(big), "stats")
    for run in scale.values():
        if isinstance(run, dict):
            run.pop("out", None)
    return out


def run(workdir: str, docs: int, repeat: int, demo_modules: int | None = None,
        scale_facts: int = 1_000_000) -> dict[str, Any]:
    work = Path(workdir)
    argv = [sys.executable, "-m", "kgraph_cli", "demo", "--path", str(work / "demo")]
    if demo_modules is not None:
        argv += ["--limit-modules", str(demo_modules)]
    t = time.perf_counter()
    subprocess.run(argv, check=True, capture_output=True, env=vector_store.tool_env())
    demo = {"whole_s": time.perf_counter() - t, "whole_library": demo_modules is None,
            **json.loads((work / "demo" / "demo.json").read_text(encoding="utf-8"))}
    shutil.rmtree(work / "demo")
    compared = vector_store.compare(work, docs, repeat)
    return {"demo": demo, **compared, "operator": operator_commands(work, work / "graph", scale_facts)}


# ------------------------------------------------------------------- report

def operator_report(res: dict[str, Any], table: Any, check: Any) -> list[str]:
    """The lines of the report about the operator's commands (bench/run.py's
    `table` draws, its `check` records a missed goal)."""
    op = res.get("operator")
    if not op:
        return []
    load = res["load"]
    loaded = load["written"] + load["replaced"]
    load_rate = loaded / load["whole_s"]
    at_size = res["docs"] >= 100_000
    scale = op["scale"]
    n = scale["facts"]

    def secs(x: float) -> str:
        return f"{x * 1000:,.0f} ms" if x < 1 else f"{x:,.2f} s"

    def row(label: str, items: int, figures: dict[str, Any], goal: str = "", met: str = "") -> list[str]:
        rate = items / figures["s"]
        return [label, secs(figures["s"]), f"{rate:,.0f}", f"{rate / load_rate:.2f}x",
                f"{figures['rss_mb']:,.0f} MiB", goal, met]

    rec = op["reconcile"]
    rec_rate = rec["documents_added"] / rec["s"]
    rows = [
        row(f"`kgraph load` of {loaded:,} facts (above)", loaded, {"s": load["whole_s"], "rss_mb": float("nan")}),
        row(f"`kgraph reconcile` adding the {rec['documents_added']:,} documents of that graph", rec["documents_added"],
            rec, "≥ 1x", check(at_size, rec_rate >= load_rate,
                               f"`kgraph reconcile` adding {rec['documents_added']:,} documents: {rec_rate:,.0f}/s "
                               f"against `kgraph load`'s {load_rate:,.0f} facts/s (goal: at least as fast)")),
        row(f"`kgraph reconcile` adding the {n:,} documents of the scale database", n, scale["reconcile"]),
        row(f"`kgraph export` of the {n:,} facts as JSON Lines "
            f"({scale['export_jsonl']['bytes'] / 1e6:,.0f} MB)", n, scale["export_jsonl"]),
        row(f"`kgraph export --format parquet` of them ({scale['export_parquet']['bytes'] / 1e6:,.0f} MB)", n,
            scale["export_parquet"]),
        row(f"`kgraph check` of them and their {n:,} documents"
            + (" (damage reported!)" if scale["check"]["damaged"] else ""), n, scale["check"]),
    ]
    rows[0][4] = "-"
    mb = lambda b: f"{b / 1e6:,.1f} MB"  # noqa: E731
    return [
        "",
        f"The operator's commands, each against `kgraph load`'s rate over the whole command (rates in facts or "
        f"documents a second). The {res['docs']:,}-fact graph is the one `kgraph load` wrote above, with its "
        f"vector store removed; the scale database holds {n:,} facts of the realistic shape (`bench/workload.py`, "
        "the rows as the upsert writes them, no documents until the reconcile of the third row).",
        "",
        table(["command", "whole command", "rate", "against load", "peak RSS", "goal", "met"], rows),
        "",
        f"After `kgraph purge --days 0 --yes` of the scale database ({secs(scale['purge']['s'])}) the graph still "
        f"took {mb(scale['purged_bytes'])} and `kgraph stats` {secs(scale['stats_purged']['s'])} (the vector store "
        f"replays every deletion); `kgraph compact` ({secs(scale['compact']['s'])}) brought it to "
        f"{mb(scale['compacted_bytes'])} and `kgraph stats` to {secs(scale['stats_compacted']['s'])}.",
    ]
