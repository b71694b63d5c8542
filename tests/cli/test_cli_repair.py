"""Where the table and the vector store part, and damage: seen by stats and
check, mended by reconcile, reindex and compact, as an operator runs them."""

from __future__ import annotations

import json
import random
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import duckdb
import pytest

from cli_support import TOOLS_DIR, kgraph, tool_env, write_jsonl

from corvanta.vectorstores.memory import InMemoryVectorStore

BIG = {"code": "x" * 70_000, "doc": "y" * 30_000}  # past the vector store's 60 kB budget


def facts(n, org="acme", start=0):
    return [{"subject": f"s{i}", "predicate": "p", "object": f"o{i % 97}", "user_id": f"u{i % 3}", "org_id": org,
             "graph_slice_id": f"sl{i % 4}", "metadata": {"n": i}} for i in range(start, start + n)]


def documents(directory):
    store = InMemoryVectorStore(persist_directory=directory)
    return {(d.id, d.page_content, repr(d.metadata)) for d in store.get_by_ids(store.ids())}


HOST = """
import sys, duckdb
from corvanta.vectorstores.factory import VectorStoreFactory
VectorStoreFactory.configure(persist_directory=None)  # a host without the tool's vector directory
from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph
graph = DuckSqliteGraph("g")
big = {big!r}
for i in range(5):
    graph.upsert_fact(f"host{{i}}", "wrote", "x", {{"user_id": "u0", "org_id": "acme", **(big if i == 0 else {{}})}})
graph.delete_context(org_id="acme", graph_slice_id="sl1")
graph.conn.execute("CREATE TABLE pending_vector_deletions(id TEXT, queued_at TIMESTAMP)")
graph.conn.execute("INSERT INTO pending_vector_deletions VALUES ('gone1', now()), ('gone2', now())")
"""


def test_facts_a_host_wrote_without_documents_are_seen_and_reconciled(tmp_path):
    write_jsonl(tmp_path / "f.jsonl", facts(40))
    assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path).returncode == 0
    host = subprocess.run([sys.executable, "-c", HOST.format(big=BIG)], cwd=tmp_path, capture_output=True,
                          text=True, env=tool_env())
    assert host.returncode == 0, host.stderr
    stats = kgraph("--path", "g", "stats", "--json", cwd=tmp_path).json()
    assert (stats["facts_without_documents"], stats["orphaned_documents"], stats["pending_deletions"]) == (5, 10, 2)
    dry = kgraph("--path", "g", "reconcile", "--dry-run", "--json", cwd=tmp_path).json()
    assert (dry["documents_added"], dry["documents_removed"], dry["pending_deletions"]) == (5, 10, 2)
    run = kgraph("--path", "g", "reconcile", cwd=tmp_path)
    assert run.returncode == 0 and "added 5 documents" in run.stdout and "removed 10 documents" in run.stdout, run
    assert "delivered 2 pending deletions" in run.stdout, run
    stats = kgraph("--path", "g", "stats", "--json", cwd=tmp_path).json()
    assert (stats["facts_without_documents"], stats["orphaned_documents"], stats["pending_deletions"]) == (0, 0, 0)
    assert stats["vector_documents"] == stats["facts"] == 35
    # Exactly the documents the upsert adds: the same facts loaded by the tool.
    write_jsonl(tmp_path / "h.jsonl", [{"subject": f"host{i}", "predicate": "wrote", "object": "x", "user_id": "u0",
                                        "org_id": "acme", "metadata": BIG if i == 0 else {}} for i in range(5)])
    assert kgraph("--path", "ref", "load", "h.jsonl", cwd=tmp_path).returncode == 0
    want = documents(tmp_path / "ref" / "vectors")
    assert want <= documents(tmp_path / "g" / "vectors")
    hit = kgraph("--path", "g", "search", "host0 wrote", "--user", "u0", "--org", "acme", "-k", "1", "--json",
                 cwd=tmp_path).json()
    assert hit[0]["subject"] == "host0"


def test_a_rewrite_leaves_no_stale_document_and_stale_ones_are_found_and_refreshed(tmp_path):
    small = {"subject": "s", "predicate": "p", "object": "o", "user_id": "u", "org_id": "acme"}
    big = {**small, "subject": "b", "metadata": BIG}  # past the budget: its document's metadata are clamped
    for version in (1, 2):
        write_jsonl(tmp_path / "f.jsonl", [{**small, "metadata": {"v": version, "x": float("nan")}}, big])
        assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path).returncode == 0
    vectors = InMemoryVectorStore(persist_directory=tmp_path / "g" / "vectors")
    held = {d.page_content: d for d in vectors.get_by_ids(vectors.ids())}
    assert held["s|p|o"].metadata["v"] == 2

    def stale():
        return kgraph("--path", "g", "stats", "--json", cwd=tmp_path).json()["stale_documents"]

    assert stale() == 0 and kgraph("--path", "g", "check", cwd=tmp_path).returncode == 0
    # What a vector store that kept the old document leaves (an older kgraph's).
    old = held["s|p|o"]
    vectors.add_texts([old.page_content], [{**old.metadata, "v": 1}], ids=[old.id])
    assert stale() == 1
    check = kgraph("--path", "g", "check", cwd=tmp_path)  # reported, but no damage
    assert check.returncode == 0 and "1 document holds other metadata than its fact" in check.stdout, check
    assert "'kgraph reconcile' refreshes them" in check.stdout
    run = kgraph("--path", "g", "reconcile", "--json", cwd=tmp_path)
    assert run.returncode == 0 and run.json()["documents_refreshed"] == 1, run
    assert stale() == 0 and kgraph("--path", "g", "check", cwd=tmp_path).returncode == 0


@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_an_interrupted_load_says_what_is_committed_and_runs_again(tmp_path, sig, status):
    write_jsonl(tmp_path / "f.jsonl", facts(15_000))
    proc = subprocess.Popen([sys.executable, "-m", "kgraph_cli", "--path", "g", "load", "f.jsonl", "--json",
                             "--progress-every", "500"], cwd=tmp_path, env=tool_env(), text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert proc.stderr.readline().startswith("loading f.jsonl")  # a chunk is in
    proc.send_signal(sig)
    out, _ = proc.communicate(timeout=120)
    assert proc.returncode == status, out
    summary = json.loads(out)
    assert summary["interrupted"] and 0 < summary["written"] < 15_000
    assert summary["committed_through_line"] == summary["written"]  # one fact per line
    stats = kgraph("--path", "g", "stats", "--json", cwd=tmp_path).json()
    assert stats["facts"] == summary["written"]
    assert stats["facts_without_documents"] == summary["without_documents"]
    again = kgraph("--path", "g", "load", "f.jsonl", "--json", cwd=tmp_path, timeout=300)
    assert again.returncode == 0 and again.json()["written"] == 15_000 - summary["written"], again
    stats = kgraph("--path", "g", "stats", "--json", cwd=tmp_path).json()
    assert (stats["facts"], stats["facts_without_documents"]) == (15_000, 0)


def test_signals_at_many_points_of_a_load_always_end_in_the_summary(tmp_path):
    """Real signals at many points of a 150,000-fact load (inside the store's
    statements, the vector store's add, the counting between chunks): each
    load ends in its summary with 130 or 143, what it says is committed is
    what is stored, and the vector files hold no cut write. Two signals in a
    row end the process at once."""
    make = [sys.executable, str(Path(TOOLS_DIR) / "scripts" / "make_facts.py"), "150000"]
    with open(tmp_path / "f.jsonl", "w") as out:
        subprocess.run(make, stdout=out, check=True)
    rng = random.Random(3)
    for run in range(9):
        sig = (signal.SIGINT, signal.SIGTERM)[run % 2]
        graph = tmp_path / f"g{run}"
        # A shell that started the suite in the background ignores SIGINT in
        # its children; the tool must see it as a user would.
        proc = subprocess.Popen([sys.executable, "-m", "kgraph_cli", "--path", graph, "load", "f.jsonl", "--json",
                                 "--progress-every", "1000"], cwd=tmp_path, env=tool_env(), text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        assert proc.stderr.readline().startswith("loading f.jsonl")
        time.sleep(rng.uniform(0, 2.5))
        proc.send_signal(sig)
        if run == 8:
            proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
        assert proc.returncode == 128 + sig, (run, out, err)
        if run == 8:
            continue  # stopped at once, summary or not
        summary = json.loads(out)
        assert summary["interrupted"] and summary["committed_through_line"] == summary["written"], (run, out, err)
        with duckdb.connect(str(graph / "kgraph.duckdb"), read_only=True) as conn:
            facts = {row[0] for row in conn.execute("SELECT id FROM facts").fetchall()}
        vectors = InMemoryVectorStore(persist_directory=graph / "vectors", read_only=True)
        assert vectors.problems == [], run
        assert len(facts) == summary["written"]
        assert len(facts - set(vectors.ids())) == summary["without_documents"], run


def overwrite(path, at, n, seed=0):
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(random.Random(seed).randbytes(n))


def answers(cwd):
    return [kgraph("--path", "g", "search", query, "--user", "u1", "--org", "acme", "--json", cwd=cwd).json()
            for query in ("s1 p o1", "o42")]


def test_vector_damage_is_checked_and_reindexed(tmp_path):
    write_jsonl(tmp_path / "f.jsonl", facts(3000))
    assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path).returncode == 0
    want = answers(tmp_path)
    vectors = tmp_path / "g" / "vectors"
    for name in ("vectorstore.jsonl", "vectorstore.vec"):
        overwrite(vectors / name, (vectors / name).stat().st_size // 2, 3000)
    damaged = {p.name: p.read_bytes() for p in vectors.iterdir()}

    check = kgraph("--path", "g", "check", cwd=tmp_path)
    assert check.returncode == 1, check
    lines = check.stdout.splitlines()
    assert any(line.startswith("vectors/vectorstore.jsonl at byte ") and "reconcile" in line for line in lines)
    assert any(line.startswith("vectors/vectorstore.vec at byte ") for line in lines)
    assert {p.name: p.read_bytes() for p in vectors.iterdir()} == damaged  # check changes nothing

    search = kgraph("--path", "g", "search", "s1 p o1", "--user", "u1", "--org", "acme", cwd=tmp_path)
    assert search.returncode == 0 and "vectorstore.jsonl at byte" in search.stderr, search
    run = kgraph("--path", "g", "reindex", cwd=tmp_path)
    assert run.returncode == 0 and "3,000 documents" in run.stdout, run
    assert kgraph("--path", "g", "check", cwd=tmp_path).returncode == 0
    assert answers(tmp_path) == want


def test_compact_reclaims_what_deletions_left_and_keeps_the_schema(tmp_path):
    write_jsonl(tmp_path / "f.jsonl", facts(6000))
    write_jsonl(tmp_path / "one.jsonl", facts(1, start=6000))
    assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path).returncode == 0
    for piece in ("sl1", "sl3"):
        assert kgraph("--path", "g", "delete-context", "--org", "acme", "--slice", piece, cwd=tmp_path).returncode == 0

    def schema():
        with duckdb.connect(str(tmp_path / "g" / "kgraph.duckdb"), read_only=True) as conn:
            return (conn.execute("SELECT table_name, sql FROM duckdb_tables() ORDER BY 1").fetchall(),
                    conn.execute("SELECT index_name, sql FROM duckdb_indexes() ORDER BY 1").fetchall(),
                    conn.execute("SELECT constraint_text FROM duckdb_constraints() ORDER BY 1").fetchall())

    shape = schema()
    assert [table for table, _ in shape[0]] == ["facts", "pending_vector_deletions"] and shape[1]
    before = kgraph("--path", "g", "stats", "--json", cwd=tmp_path).json()
    run = kgraph("--path", "g", "compact", "--json", cwd=tmp_path)
    assert run.returncode == 0, run
    after = kgraph("--path", "g", "stats", "--json", cwd=tmp_path).json()
    assert after["facts"] == after["vector_documents"] == 3000
    assert after["database_bytes"] < before["database_bytes"]
    assert after["vector_store_bytes"] < before["vector_store_bytes"] * 0.6
    assert schema() == shape
    assert kgraph("--path", "g", "load", "one.jsonl", cwd=tmp_path).returncode == 0
    assert kgraph("--path", "g", "check", cwd=tmp_path).returncode == 0


LOCK_HOLDER = textwrap.dedent("""
    import sys, time
    from corvanta.vectorstores.factory import VectorStoreFactory
    VectorStoreFactory.configure(persist_directory=None)
    from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph
    DuckSqliteGraph("g")
    print("ready", flush=True)
    time.sleep(float(sys.argv[1]))
""")


@pytest.mark.parametrize("wait, held, ok", [("10", "1", True), ("0.5", "30", False)])
def test_wait_for_a_graph_another_process_holds(tmp_path, wait, held, ok):
    write_jsonl(tmp_path / "f.jsonl", facts(3))
    assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path).returncode == 0
    holder = subprocess.Popen([sys.executable, "-c", LOCK_HOLDER, held], cwd=tmp_path, env=tool_env(),
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "ready"
        run = kgraph("--wait", wait, "--path", "g", "stats", "--by", "org", cwd=tmp_path)
    finally:
        holder.kill()
        holder.wait()
    assert (run.returncode == 0) == ok, run
    assert ok or ("another kgraph process" in run.stderr and f"after waiting {wait} s" in run.stderr)
