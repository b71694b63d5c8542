"""How kgraph fails: bad usage (exit 2) and failures (exit 1), each as one
line on standard error and never a traceback."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from cli_support import kgraph, tool_env, write_jsonl


@pytest.fixture(scope="module")
def graph(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("usage")
    write_jsonl(tmp / "f.jsonl", [{"subject": "s", "predicate": "p", "object": "o", "user_id": "u", "org_id": "o"}])
    assert kgraph("--path", tmp / "g", "load", tmp / "f.jsonl", cwd=tmp).returncode == 0
    return tmp


@pytest.mark.parametrize("argv", [
    [],
    ["frobnicate"],
    ["search", "q"],                                  # --user and --org are required
    ["search", "q", "--user", "u", "--org", "o", "-k", "0"],
    ["search", "q", "--user", "u", "--org", "o", "-k", "many"],
    ["neighbours"],
    ["neighbours", "x", "--depth", "0"],
    ["neighbours", "x", "--format", "png"],
    ["fetch"],
    ["fetch", "--org", "o", "--filter", "novalue"],
    ["fetch", "--org", "o", "--filter", "a.b=c"],     # not a plain top-level key
    ["fetch", "--org", "o", "--filter", "$x=c"],
    ["fetch", "--org", "o", "--filter", "n:=not-json"],
    ["fetch", "--org", "o", "--filter", "k=1", "--filter", "k=2"],
    ["purge"],                                        # the period is never implied
    ["purge", "--days", "-1"],
    ["purge", "--days", "soon"],
    ["purge", "--days", "0"],                         # everything goes: only with --yes
    ["delete-context", "--org", "o"],
    ["load"],
    ["load", "f.jsonl", "--format", "xml"],
    ["demo", "--limit-modules", "0"],
    ["stats", "--path", ""],                          # an empty path is no path
    ["stats", "--wait", "-1"],
])
def test_bad_usage_exits_2_with_one_line(graph, argv):
    run = kgraph("--path", graph / "g", *argv, cwd=graph)
    assert run.returncode == 2, run
    assert len(run.error_lines) == 1 and run.error_lines[0].startswith("kgraph"), run
    assert "error:" in run.stderr and "Traceback" not in run.stderr


@pytest.mark.parametrize("command", ["neighbours", "view"])
def test_the_walk_needs_an_organisation(graph, command):
    run = kgraph("--path", graph / "g", command, "s", "--depth", "2", cwd=graph)
    assert run.returncode == 2 and "required: --org" in run.stderr, run


@pytest.mark.parametrize("argv, complaint", [
    (["stats"], "no knowledge graph"),
    (["search", "q", "--user", "u", "--org", "o"], "no knowledge graph"),
    (["neighbours", "x", "--org", "o"], "no knowledge graph"),
    (["fetch", "--org", "o"], "no knowledge graph"),
    (["purge", "--days", "1"], "no knowledge graph"),
    (["delete-context", "--org", "o", "--slice", "s"], "no knowledge graph"),
    (["load", "missing.jsonl"], "cannot open missing.jsonl"),
])
def test_failures_exit_1_with_one_line(tmp_path, argv, complaint):
    run = kgraph("--path", tmp_path / "nothing-here", *argv, cwd=tmp_path)
    assert run.returncode == 1, run
    assert run.error_lines == [line for line in run.error_lines if line.startswith("kgraph: error:")]
    assert len(run.error_lines) == 1 and complaint in run.stderr, run
    assert not (tmp_path / "nothing-here").exists()  # a query never creates a graph


def test_options_before_or_after_the_command(graph):
    before = kgraph("--path", graph / "g", "stats", "--json", cwd=graph)
    after = kgraph("stats", "--path", graph / "g", "--json", cwd=graph)
    assert before.json()["facts"] == after.json()["facts"] == 1


def test_path_from_the_environment(graph):
    run = kgraph("stats", "--json", cwd=graph, env=tool_env(KGRAPH_PATH=str(graph / "g")))
    assert run.json()["facts"] == 1
    default = kgraph("stats", cwd=graph)  # ./kgraph-data, which does not exist
    assert default.returncode == 1 and "kgraph-data" in default.stderr


def test_a_path_under_home(tmp_path):
    home = tmp_path / "home"
    home.mkdir()
    write_jsonl(tmp_path / "f.jsonl", [{"subject": "s", "predicate": "p", "object": "o"}])
    assert kgraph("--path=~/kg", "load", "f.jsonl", cwd=tmp_path, env=tool_env(HOME=str(home))).returncode == 0
    run = kgraph("search", "s p o", "--user", "", "--org", "", "--json", cwd=tmp_path,
                 env=tool_env(HOME=str(home), KGRAPH_PATH="~/kg"))
    assert run.returncode == 0, run
    assert sorted(p.name for p in (home / "kg").iterdir()) == ["kgraph.duckdb", "vectors"]
    assert not (tmp_path / "~").exists()


def test_a_reader_that_goes_away_is_no_error(tmp_path):
    """kgraph export | head: the pipe closes early; the tool exits 0, silently
    (without the summary it prints when the facts are all out)."""
    write_jsonl(tmp_path / "f.jsonl", [{"subject": f"s{i}", "predicate": "p", "object": "o" * 200, "user_id": "u",
                                        "org_id": "o"} for i in range(12_000)])
    assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path).returncode == 0
    proc = subprocess.Popen([sys.executable, "-m", "kgraph_cli", "--path", "g", "export"], cwd=tmp_path,
                            env=tool_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.readline()
    proc.stdout.close()
    assert proc.wait(timeout=60) == 0
    assert proc.stderr.read() == b""


def test_a_graph_in_use_by_another_process(graph):
    holder = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import sys
            from corvanta.vectorstores.factory import VectorStoreFactory
            VectorStoreFactory.configure(persist_directory=None)
            from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph
            DuckSqliteGraph({str(graph / "g")!r})
            print("ready", flush=True)
            sys.stdin.read()
        """)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=tool_env())
    try:
        assert holder.stdout.readline().strip() == "ready"
        run = kgraph("--path", graph / "g", "stats", cwd=graph)
    finally:
        holder.communicate("", timeout=60)
    assert run.returncode == 1, run
    assert len(run.error_lines) == 1 and "another kgraph process" in run.stderr
    assert "Traceback" not in run.stderr


def test_the_console_script_is_installed():
    script = Path(sys.executable).parent / "kgraph"
    assert script.is_file() and os.access(script, os.X_OK)
    run = subprocess.run([str(script), "--version"], capture_output=True, text=True, env=tool_env(), timeout=60)
    assert run.returncode == 0 and run.stdout.startswith("kgraph ")


def test_verbose_logs_the_stores_start(graph):
    quiet = kgraph("--path", graph / "g", "stats", cwd=graph)
    loud = kgraph("--path", graph / "g", "-v", "stats", cwd=graph)
    assert quiet.stderr == ""
    assert "INFO" in loud.stderr
