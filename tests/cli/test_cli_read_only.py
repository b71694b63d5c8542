"""A graph on read-only media (a backup on read-only disks, a mounted
snapshot): every command that only reads works and changes nothing; every
command that writes says the graph is read-only. The tests run as root, whom
file modes do not stop: the graph is bind-mounted read-only in a mount
namespace of the command's own."""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from cli_support import Run, kgraph, tool_env, write_jsonl

READ_ONLY_MOUNT = 'mount --bind "$1" "$1" && mount -o remount,ro,bind "$1" && shift && exec "$@"'


def read_only_kgraph(directory, *args, cwd):
    proc = subprocess.run(["unshare", "-m", "sh", "-c", READ_ONLY_MOUNT, "sh", str(directory), sys.executable, "-m",
                           "kgraph_cli", *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=120,
                          env=tool_env())
    return Run(proc)


@pytest.fixture(scope="module")
def graph(tmp_path_factory):
    if shutil.which("unshare") is None:
        pytest.skip("unshare is not installed")
    tmp = tmp_path_factory.mktemp("ro")
    probe = subprocess.run(["unshare", "-m", "sh", "-c", READ_ONLY_MOUNT, "sh", str(tmp), "touch", str(tmp / "x")],
                           capture_output=True, text=True)
    if probe.returncode == 0 or "Read-only file system" not in probe.stderr:
        pytest.skip(f"no read-only bind mount here ({probe.stderr.strip() or 'the mount was writable'})")
    write_jsonl(tmp / "f.jsonl", [{"subject": f"s{i}", "predicate": "p", "object": f"o{i % 7}", "user_id": "u",
                                   "org_id": "acme", "graph_slice_id": f"sl{i % 2}"} for i in range(300)])
    assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp).returncode == 0
    # Writes a crash left in the database's log only (no checkpoint at exit).
    host = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import os
        from corvanta.vectorstores.factory import VectorStoreFactory
        VectorStoreFactory.configure(persist_directory="g/vectors")
        from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph
        graph = DuckSqliteGraph("g")
        graph.upsert_fact("late", "p", "o1", {"user_id": "u", "org_id": "acme"})
        os._exit(0)
    """)], cwd=tmp, capture_output=True, text=True, env=tool_env())
    assert host.returncode == 0 and (tmp / "g" / "kgraph.duckdb.wal").stat().st_size > 0, host.stderr
    return tmp


def digest(directory):
    return {p.relative_to(directory).as_posix(): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(directory.rglob("*")) if p.is_file()}


READING = [
    ["stats", "--json"],
    ["check"],
    ["search", "s1 p o1", "--user", "u", "--org", "acme", "--json"],
    ["fetch", "--org", "acme", "--filter", "graph_slice_id=sl1", "--json"],
    ["neighbours", "s1", "--org", "acme", "--json"],
    ["export"],
    ["purge", "--days", "0", "--dry-run", "--json"],
    ["delete-context", "--org", "acme", "--slice", "sl0", "--dry-run", "--json"],
    ["reconcile", "--dry-run", "--json"],
]


def test_commands_that_read_work_on_a_read_only_graph_and_change_nothing(graph):
    before = digest(graph / "g")
    for argv in READING:
        run = read_only_kgraph(graph / "g", "--path", "g", *argv, cwd=graph)
        assert run.returncode == 0 and "Read-only" not in run.stderr, (argv, run)
        if argv[0] == "stats":
            assert run.json()["facts"] == 301 and run.json()["vector_documents"] == 301
        if argv[0] == "search":
            assert run.json()[0]["subject"] == "s1"
    assert digest(graph / "g") == before


def test_a_backup_of_a_read_only_graph_restores_everything(graph):
    run = read_only_kgraph(graph / "g", "--path", "g", "backup", graph / "bk", cwd=graph)
    assert run.returncode == 0 and "301 facts and 301 documents" in run.stdout, run
    assert not (graph / "bk" / "kgraph.duckdb.wal").exists()  # the log's writes are in the copy
    assert kgraph("--path", "copy", "restore", graph / "bk", cwd=graph).returncode == 0
    exported = [kgraph("--path", path, "export", cwd=graph).stdout for path in ("g", "copy")]
    assert exported[0] == exported[1] and '"subject":"late"' in exported[0]


@pytest.mark.parametrize("argv", [
    ["load", "f.jsonl"],
    ["purge", "--days", "0", "--yes"],
    ["delete-context", "--org", "acme", "--slice", "sl0"],
    ["reconcile"],
    ["reindex"],
    ["compact"],
    ["demo", "--limit-modules", "1"],
])
def test_commands_that_write_say_the_graph_is_read_only(graph, argv):
    before = digest(graph / "g")
    run = read_only_kgraph(graph / "g", "--path", "g", *argv, cwd=graph)
    assert run.returncode == 1 and len(run.error_lines) == 1, run
    assert "is read-only" in run.stderr and "read-only file system" in run.stderr, run
    assert digest(graph / "g") == before
