"""The query and retention commands of kgraph over a small graph: tables,
--json parsed back, neighbourhood pictures, and search in a later process."""

from __future__ import annotations

import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys

import pytest

from cli_support import TOOLS_DIR, kgraph, tool_env, write_jsonl

ACME = {"user_id": "alice", "org_id": "acme"}
# A chain A -> B -> C -> D and Z -> A, plus names that are hard to quote.
FACTS = [
    {"subject": "A", "predicate": "knows", "object": "B", **ACME, "graph_slice_id": "people"},
    {"subject": "B", "predicate": "knows", "object": "C", **ACME, "graph_slice_id": "people"},
    {"subject": "C", "predicate": "knows", "object": "D", **ACME, "graph_slice_id": "people"},
    {"subject": "Z", "predicate": "likes", "object": "A", **ACME, "graph_slice_id": "people",
     "metadata": {"weight": 3, "reviewed": True}},
    {"subject": "A", "predicate": 'says "hi" | {x}', "object": 'C:\\temp\\new "dir"\nline two', **ACME,
     "graph_slice_id": "odd"},
    {"subject": "parser", "predicate": "written_in", "object": "C++", **ACME, "graph_slice_id": "project-x"},
    {"subject": "parser", "predicate": "owned_by", "object": "bob", "user_id": "bob", "org_id": "acme",
     "graph_slice_id": "project-x"},
    {"subject": "parser", "predicate": "written_in", "object": "Go", "user_id": "alice", "org_id": "other",
     "graph_slice_id": "project-x"},
]


@pytest.fixture(scope="module")
def graph(tmp_path_factory):
    """A graph loaded by one process; every test queries it from others."""
    tmp = tmp_path_factory.mktemp("queries")
    write_jsonl(tmp / "facts.jsonl", FACTS)
    run = kgraph("--path", tmp / "g", "load", tmp / "facts.jsonl", cwd=tmp)
    assert run.returncode == 0, run
    return tmp


def q(graph, *args: str):
    return kgraph("--path", graph / "g", *args, cwd=graph)


# ------------------------------------------------------------------- search


def test_search_in_a_later_process_finds_what_load_wrote(graph):
    run = q(graph, "search", "parser written in", "--user", "alice", "--org", "acme", "--json")
    assert run.returncode == 0, run
    results = run.json()
    assert [(r["subject"], r["predicate"], r["object"]) for r in results][0] == ("parser", "written_in", "C++")
    scores = [r["score"] for r in results]
    assert scores == sorted(scores, reverse=True)


@pytest.mark.parametrize("user, org, expected", [
    ("bob", "acme", {("parser", "owned_by", "bob")}),
    ("alice", "other", {("parser", "written_in", "Go")}),
    ("carol", "acme", set()),
])
def test_search_is_scoped_to_user_and_organisation(graph, user, org, expected):
    run = q(graph, "search", "parser", "--user", user, "--org", org, "-k", "10", "--json")
    assert {(r["subject"], r["predicate"], r["object"]) for r in run.json()} == expected


def test_search_table_and_k(graph):
    run = q(graph, "search", "knows", "--user", "alice", "--org", "acme", "-k", "2")
    assert run.returncode == 0
    header, rule, *rows = run.stdout.splitlines()
    assert header.split() == ["score", "subject", "predicate", "object"]
    assert len(rows) == 2 and all(re.match(r"\d\.\d{3}\s", row) for row in rows)


def test_search_with_nothing_in_scope_says_so(graph):
    run = q(graph, "search", "parser", "--user", "nobody", "--org", "acme")
    assert run.returncode == 0 and "no facts found" in run.stdout


@pytest.mark.parametrize("args, rows, whole", [
    (("search", "knows", "--user", "alice", "--org", "acme", "-k", "6"), 6, r"\d\.\d{3}\s"),
    (("neighbours", "A", "--org", "acme", "--depth", "1"), 3, r"1\s+A\s+knows\s+B$"),
    (("fetch", "--org", "acme"), 7, r"parser\s+owned_by\s+bob\s"),
])
def test_tables_in_a_pipe_keep_one_line_per_row_within_columns(graph, args, rows, whole):
    """Narrow output: the widest columns are cut with "…", the narrow ones
    stay whole, no row wraps, and nothing but text reaches the pipe."""
    run = kgraph("--path", graph / "g", *args, cwd=graph, env=tool_env(COLUMNS="44"))
    assert run.returncode == 0, run
    header, rule, *body = run.stdout.splitlines()[: 2 + rows]
    assert set(rule) == {"─"} and "\x1b" not in run.stdout
    assert all(len(line) <= 44 and line == line.rstrip() for line in [header, rule, *body]), run
    assert any("…" in line for line in body) and any(re.match(whole, line) for line in body), run


@pytest.mark.parametrize("columns", [24, 200])
def test_table_columns_count_terminal_cells(monkeypatch, capsys, columns):
    """Wide characters take two cells, a combining accent none: the columns
    line up and fit the width as a terminal shows them."""
    sys.path.insert(0, str(TOOLS_DIR))
    from rich.cells import cell_len

    from kgraph_cli import render

    monkeypatch.setenv("COLUMNS", str(columns))
    rows = [("漢字の主語", "Ye\u0301te", "x" * 30), ("plain", "Yp", "o…")]
    render.print_table(["subject", "predicate", "object"], rows)
    lines = capsys.readouterr().out.splitlines()
    assert all(cell_len(line) <= columns for line in lines)
    # The second column starts in the same cell on every row.
    assert len({cell_len(line[:line.index("Y")]) for line in lines[2:]}) == 1
    assert ("…" in lines[2]) == (columns == 24)


def test_a_table_on_a_terminal_is_styled(graph):
    master, slave = pty.openpty()
    proc = subprocess.run([sys.executable, "-m", "kgraph_cli", "--path", graph / "g", "neighbours", "A", "--org",
                           "acme"],
                          cwd=graph, env=tool_env(), stdout=slave, stderr=subprocess.PIPE, timeout=120)
    os.close(slave)
    out = b""
    try:
        while chunk := os.read(master, 65536):
            out += chunk
    except OSError:  # the other side closed
        pass
    os.close(master)
    assert proc.returncode == 0 and b"\x1b[1m" in out and b"knows" in out, (out, proc.stderr)


# --------------------------------------------------------------- neighbours


def triples(records):
    return [(r["subject"], r["predicate"], r["object"]) for r in records]


def test_neighbours_lists_each_fact_once_with_its_hop(graph):
    # B at hop 1: (A knows B) and (B knows C); hop 2 reaches (B knows C) again,
    # which keeps its hop 1, and (C knows D).
    want = [("A", "knows", "B", 1), ("B", "knows", "C", 1), ("C", "knows", "D", 2)]
    run = q(graph, "neighbours", "B", "--org", "acme", "--depth", "2", "--json")
    assert run.returncode == 0, run
    assert [(r["subject"], r["predicate"], r["object"], r["hop"]) for r in run.json()] == want
    table = q(graph, "neighbours", "B", "--org", "acme", "--depth", "2").stdout
    assert [tuple(line.split()) for line in table.splitlines()[2:5]] == [(str(h), s, p, o) for s, p, o, h in want]
    assert "3 facts of organisation 'acme' within 2 hops" in table


@pytest.mark.parametrize("scope, expected", [
    (["--org", "acme"], {("parser", "written_in", "C++"), ("parser", "owned_by", "bob")}),
    (["--org", "acme", "--user", "bob"], {("parser", "owned_by", "bob")}),
    (["--org", "other"], {("parser", "written_in", "Go")}),
    (["--org", "nobody"], set()),
])
def test_neighbours_never_cross_the_scope(graph, scope, expected):
    assert set(triples(q(graph, "neighbours", "parser", *scope, "--json").json())) == expected


def test_neighbours_limit_goes_into_the_query(graph):
    run = q(graph, "-vv", "neighbours", "B", "--org", "acme", "--limit", "2", "--json")
    assert "limit=2" in run.stderr and "returned 2 facts" in run.stderr, run
    assert triples(run.json()) == [("A", "knows", "B"), ("B", "knows", "C")]  # the nearest
    assert "--limit reached" in q(graph, "neighbours", "B", "--org", "acme", "--limit", "2").stdout


def test_neighbours_of_an_unknown_entity(graph):
    assert "no facts of organisation 'acme' mention" in q(graph, "neighbours", "nowhere", "--org", "acme").stdout
    assert q(graph, "neighbours", "nowhere", "--org", "acme", "--json").json() == []


CYCLE = [{"subject": s, "predicate": "r", "object": o, "user_id": "u", "org_id": "O"}
         for s, o in [("A", "B"), ("B", "C"), ("C", "A"), ("A", "C")]]


@pytest.mark.parametrize("depth", ["50", "1000000"])
def test_a_cycle_is_walked_at_once_whatever_the_depth(tmp_path, depth):
    write_jsonl(tmp_path / "f.jsonl", CYCLE)
    assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path).returncode == 0
    run = kgraph("--path", "g", "neighbours", "A", "--org", "O", "--depth", depth, "--json", cwd=tmp_path, timeout=30)
    assert run.returncode == 0, run
    assert [(r["subject"], r["object"], r["hop"]) for r in run.json()] == [
        ("A", "B", 1), ("A", "C", 1), ("C", "A", 1), ("B", "C", 2)]
    page = kgraph("--path", "g", "view", "A", "--org", "O", "--depth", depth, cwd=tmp_path, timeout=30)
    assert page.returncode == 0 and "4 facts within" in page.stdout, page


_DOT_STRING = r'"((?:[^"\\]|\\.)*)"'


def parse_dot(text: str) -> tuple[dict[str, str], list[tuple[str, str, str]]]:
    """Nodes (id -> label) and edges (from, label, to) of the DOT the tool
    writes, with the quoted strings unescaped; fails on anything unbalanced."""
    lines = text.strip().splitlines()
    assert re.fullmatch(r"digraph \w+ \{", lines[0]) and lines[-1] == "}"
    nodes: dict[str, str] = {}
    edges = []
    unescape = lambda s: re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), s)  # noqa: E731
    for line in lines[1:-1]:
        line = line.strip()
        if m := re.fullmatch(rf"(n\d+) \[label={_DOT_STRING}(?:, [^\]]*)?\];", line):
            nodes[m.group(1)] = unescape(m.group(2))
        elif m := re.fullmatch(rf"(n\d+) -> (n\d+) \[label={_DOT_STRING}\];", line):
            edges.append((m.group(1), unescape(m.group(3)), m.group(2)))
        else:
            assert re.fullmatch(r"(rankdir=\w+|(node|edge) \[.*\]);", line), line
    return nodes, edges


def test_neighbours_dot_quotes_every_label(graph):
    run = q(graph, "neighbours", "A", "--org", "acme", "--depth", "1", "--format", "dot")
    assert run.returncode == 0, run
    nodes, edges = parse_dot(run.stdout)
    named = {(nodes[a], label, nodes[b]) for a, label, b in edges}
    assert named == {("A", "knows", "B"), ("Z", "likes", "A"),
                     ("A", 'says "hi" | {x}', 'C:\\temp\\new "dir"\nline two')}
    assert nodes["n0"] == "A"


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz is not installed")
def test_neighbours_dot_renders_with_graphviz(graph):
    dot_text = q(graph, "neighbours", "A", "--org", "acme", "--format", "dot").stdout
    rendered = subprocess.run(["dot", "-Tsvg"], input=dot_text, capture_output=True, text=True, timeout=60)
    assert rendered.returncode == 0, rendered.stderr
    assert "<svg" in rendered.stdout and "says &quot;hi&quot;" in rendered.stdout


def test_neighbours_mermaid_escapes_what_would_break_the_chart(graph):
    run = q(graph, "neighbours", "A", "--org", "acme", "--depth", "1", "--format", "mermaid")
    lines = run.stdout.splitlines()
    assert lines[0] == "flowchart LR"
    nodes = {m.group(1): m.group(2) for line in lines if (m := re.fullmatch(r'\s+(n\d+)\["([^"]*)"\]', line))}
    edges = [m.groups() for line in lines if (m := re.fullmatch(r'\s+(n\d+) -->\|"([^"|]*)"\| (n\d+)', line))]
    assert len(edges) == 3 and len(nodes) == 4
    assert any(label == "says #quot;hi#quot; #124; #123;x#125;" for _, label, _ in edges)
    assert all("\n" not in label for label in nodes.values())


# -------------------------------------------------------------------- fetch


@pytest.mark.parametrize("filters, expected", [
    ([], {"A", "B", "C", "Z", "parser"}),
    (["--filter", "graph_slice_id=people"], {"A", "B", "C", "Z"}),
    (["--filter", "graph_slice_id=people", "--filter", "weight:=3"], {"Z"}),
    (["--filter", "weight=3"], set()),  # the text "3" is not the number 3
    (["--filter", "reviewed:=true"], {"Z"}),
    (["--filter", "user_id=bob"], {"parser"}),
])
def test_fetch_filters(graph, filters, expected):
    run = q(graph, "fetch", "--org", "acme", *filters, "--json")
    assert run.returncode == 0, run
    assert {r["subject"] for r in run.json()} == expected


def test_fetch_returns_the_whole_metadata_and_a_table(graph):
    records = q(graph, "fetch", "--org", "acme", "--filter", "graph_slice_id=people", "--json").json()
    z = next(r for r in records if r["subject"] == "Z")
    assert z["metadata"] == {"user_id": "alice", "org_id": "acme", "graph_slice_id": "people",
                             "weight": 3, "reviewed": True}
    table = q(graph, "fetch", "--org", "acme", "--filter", "graph_slice_id=people").stdout
    assert table.splitlines()[0].split() == ["subject", "predicate", "object", "metadata"]
    assert "4 facts" in table


def test_fetch_never_crosses_organisations(graph):
    records = q(graph, "fetch", "--org", "other", "--json").json()
    assert triples(records) == [("parser", "written_in", "Go")]


# -------------------------------------------------------------------- stats


def test_stats(graph):
    run = q(graph, "stats", "--json")
    assert run.returncode == 0, run
    info = run.json()
    assert (info["facts"], info["organisations"], info["users"], info["slices"]) == (8, 2, 2, 4)
    assert info["oldest"] <= info["newest"]
    assert info["database_bytes"] > 0 and info["vector_store_bytes"] > 0
    table = q(graph, "stats").stdout
    assert re.search(r"^facts\s+8$", table, re.M) and re.search(r"^slices\s+4$", table, re.M)


# --------------------------------------------------------- purge and delete


@pytest.fixture
def scratch(tmp_path):
    write_jsonl(tmp_path / "f.jsonl", FACTS)
    assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path).returncode == 0
    return tmp_path


def test_delete_context_removes_one_slice_of_one_organisation(scratch):
    dry = q(scratch, "delete-context", "--org", "acme", "--slice", "project-x", "--dry-run", "--json").json()
    assert (dry["removed"], dry["dry_run"]) == (2, True)
    assert q(scratch, "stats", "--json").json()["facts"] == 8
    done = q(scratch, "delete-context", "--org", "acme", "--slice", "project-x")
    assert done.returncode == 0 and "removed 2 facts" in done.stdout and "and 2 documents" in done.stdout
    left = {(r["subject"], r["object"]) for r in q(scratch, "fetch", "--org", "acme", "--json").json()}
    assert ("parser", "C++") not in left and ("A", "B") in left
    assert triples(q(scratch, "fetch", "--org", "other", "--json").json()) == [("parser", "written_in", "Go")]
    again = q(scratch, "delete-context", "--org", "acme", "--slice", "project-x", "--json").json()
    assert again["removed"] == 0


def test_purge_by_age(scratch):
    keep = q(scratch, "purge", "--days", "30", "--json").json()
    assert keep["removed"] == 0
    dry = q(scratch, "purge", "--days", "0", "--dry-run", "--json").json()
    assert (dry["removed"], dry["dry_run"]) == (8, True)
    assert q(scratch, "stats", "--json").json()["facts"] == 8
    gone = q(scratch, "purge", "--days", "0", "--yes")
    assert gone.returncode == 0 and "removed 8 facts older than 0 days" in gone.stdout
    assert q(scratch, "stats", "--json").json()["facts"] == 0


def found(graph, query="parser written in", user="alice", org="acme"):
    return {(r["subject"], r["object"]) for r in
            q(graph, "search", query, "--user", user, "--org", org, "-k", "50", "--json").json()}


@pytest.mark.parametrize("keep", [False, True], ids=["default", "keep-vectors"])
@pytest.mark.parametrize("command, gone", [
    (["delete-context", "--org", "acme", "--slice", "project-x"], {("parser", "C++")}),
    (["purge", "--days", "0", "--yes"], {("parser", "C++"), ("A", "B"), ("Z", "A")}),
])
def test_deleted_facts_leave_search_unless_vectors_are_kept(scratch, command, gone, keep):
    before = found(scratch)
    assert gone <= before
    extra = ["--keep-vectors"] if keep else []
    dry = q(scratch, *command, *extra, "--dry-run", "--json").json()
    assert dry["documents_removed"] == (None if keep else dry["removed"])
    assert found(scratch) == before
    done = q(scratch, *command, *extra, "--json")
    assert done.returncode == 0, done
    result = done.json()
    assert result["documents_removed"] == (None if keep else result["removed"])
    assert result["pending_deletions"] == 0
    after = found(scratch)
    assert after == before if keep else not (after & gone)
    stats = q(scratch, "stats", "--json").json()
    assert stats["orphaned_documents"] == (result["removed"] if keep else 0)


# The tool with a vector store whose delete fails, or hangs until a signal.
FLAKY_DELETE = """
import sys, time
from corvanta.vectorstores.memory import InMemoryVectorStore

def delete(self, ids=None, **kwargs):
    if sys.argv[1] == "fail":
        raise OSError(28, "No space left on device")
    print("deleting", file=sys.stderr, flush=True)
    time.sleep(60)

InMemoryVectorStore.delete = delete
from kgraph_cli.cli import main
sys.exit(main(sys.argv[2:]))
"""


@pytest.mark.parametrize("mode, command, n, status, says", [
    ("fail", ["delete-context", "--org", "acme", "--slice", "people"], 4, 0,
     "removed 4 facts of slice 'people' in organisation 'acme' and 0 documents; 4 documents of deleted facts "
     "still to be removed from the vector store ('kgraph reconcile' removes them)"),
    ("SIGTERM", ["purge", "--days", "0", "--yes"], 8, 143,
     "interrupted by SIGTERM: the deletion is committed: 8 facts older than 0 days"),
])
def test_documents_a_deletion_could_not_remove_stay_pending_until_reconcile(scratch, mode, command, n, status, says):
    gone = {("A", "B"), ("Z", "A")}
    proc = subprocess.Popen([sys.executable, "-c", FLAKY_DELETE, mode, "--path", "g", *command], cwd=scratch,
                            env=tool_env(), text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if mode == "SIGTERM":
        assert proc.stderr.readline() == "deleting\n"
        proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == status and says in out, (out, err)
    assert "kgraph reconcile" in out
    assert q(scratch, "stats", "--json").json()["pending_deletions"] == n
    assert gone <= found(scratch, "A knows B")
    dry = q(scratch, "reconcile", "--dry-run", "--json").json()
    assert (dry["deletions_delivered"], dry["pending_deletions"], dry["documents_removed"]) == (0, n, 0)
    run = q(scratch, "reconcile", "--json")
    assert run.returncode == 0, run
    # Delivered first, so their documents are no orphans by the time those are sought.
    assert (run.json()["deletions_delivered"], run.json()["pending_deletions"], run.json()["documents_removed"]) \
        == (n, 0, 0)
    assert not found(scratch, "A knows B") & gone
    assert q(scratch, "stats", "--json").json()["pending_deletions"] == 0


RECONCILE_SCRIPT = """
import sys
from corvanta.vectorstores.factory import VectorStoreFactory
VectorStoreFactory.configure(persist_directory="g/vectors")
from corvanta.kgraph.providers.duckdb_sqlite.duck_graph import DuckSqliteGraph
graph = DuckSqliteGraph("g")
print(graph.delete_context(org_id="acme", graph_slice_id="people"))
"""


def test_reconcile_removes_documents_a_host_left_behind(scratch):
    """The store deletes rows only; reconcile finds their documents afterwards."""
    import sys
    host = subprocess.run([sys.executable, "-c", RECONCILE_SCRIPT], cwd=scratch, capture_output=True, text=True)
    assert host.returncode == 0 and host.stdout.strip() == "4", host.stderr
    assert ("A", "B") in found(scratch, "A knows B")
    stats = q(scratch, "stats")
    assert re.search(r"^orphaned documents\s+4 ", stats.stdout, re.M), stats
    assert q(scratch, "reconcile", "--dry-run", "--json").json()["documents_removed"] == 4
    run = q(scratch, "reconcile")
    assert run.returncode == 0 and "removed 4 documents" in run.stdout
    assert not {("A", "B"), ("B", "C"), ("Z", "A")} & found(scratch, "A knows B")
    assert ("parser", "C++") in found(scratch)
    assert q(scratch, "reconcile", "--json").json()["documents_removed"] == 0


def test_view_writes_a_self_contained_page(graph):
    run = q(graph, "view", "A", "--org", "acme", "--depth", "1", "-o", str(graph / "a.html"))
    assert run.returncode == 0 and "wrote" in run.stdout, run
    page = (graph / "a.html").read_text(encoding="utf-8")
    start = page.index("new vis.DataSet(") + len("new vis.DataSet(")
    nodes = json.loads(page[start:page.index(");", start)])
    start = page.index("new vis.DataSet(", start) + len("new vis.DataSet(")
    edges = json.loads(page[start:page.index(");", start)])
    names = {n["id"]: n["label"] for n in nodes}
    assert nodes[0]["label"] == "A" and "color" in nodes[0]  # the entity, highlighted
    assert {(names[e["from"]], e["label"], names[e["to"]]) for e in edges} >= {
        ("A", "knows", "B"), ("Z", "likes", "A")}
    assert all(len(n["label"]) <= 40 for n in nodes)  # the long object is cut
    # Nothing is loaded from elsewhere: no linked resource at all.
    assert not re.search(r"""(src|href)\s*=\s*["']?\s*(https?:)?//|url\(\s*["']?(https?:)?//|@import""", page, re.I)
    assert "<script src" not in page and "<link" not in page


@pytest.mark.parametrize("limit, cut", [("2", True), ("50", False)])
def test_a_view_page_cut_by_the_limit_says_so(graph, limit, cut):
    run = q(graph, "view", "A", "--org", "acme", "--depth", "3", "--limit", limit, "-o", str(graph / "cut.html"))
    assert run.returncode == 0, run
    title = re.search(r"<title>(.*)</title>", (graph / "cut.html").read_text(encoding="utf-8")).group(1)
    assert ("cut at the nearest 2 (--limit): there may be more" in title) == cut, title
    assert ("--limit reached" in run.stdout) == cut
