"""kgraph context on a small graph: the hits and the facts around them as a
table grouped by hop, as prompt lines and as JSON; a deleted fact whose
document stayed behind is no hit."""

from __future__ import annotations

from cli_support import kgraph, write_jsonl

ALICE = {"user_id": "alice", "org_id": "acme"}
FACTS = [
    {"subject": "parser", "predicate": "written_in", "object": "C++", **ALICE, "graph_slice_id": "code"},
    {"subject": "parser", "predicate": "part_of", "object": "compiler", **ALICE, "graph_slice_id": "code"},
    {"subject": "compiler", "predicate": "owned_by", "object": "team-x", **ALICE, "graph_slice_id": "code"},
    {"subject": "parser", "predicate": "reviewed_by", "object": "bob", "user_id": "bob", "org_id": "acme",
     "graph_slice_id": "code"},
    {"subject": "parser", "predicate": "written_in", "object": "Go", "user_id": "alice", "org_id": "other",
     "graph_slice_id": "code"},
    {"subject": "parser", "predicate": "written_in", "object": "Rust", **ALICE, "graph_slice_id": "old"},
]


def test_context_in_its_formats_and_without_deleted_facts(tmp_path):
    write_jsonl(tmp_path / "facts.jsonl", FACTS)
    assert kgraph("--path", "g", "load", "facts.jsonl", cwd=tmp_path).returncode == 0
    run = lambda *args: kgraph("--path", "g", *args, cwd=tmp_path)  # noqa: E731
    ask = ["context", "parser written in", "--user", "alice", "--org", "acme", "-k", "1"]

    records = run(*ask, "--depth", "2", "--json").json()
    assert [(r["subject"], r["predicate"], r["object"], r["hop"]) for r in records] == [
        ("parser", "written_in", "C++", 0), ("parser", "part_of", "compiler", 1),
        ("parser", "written_in", "Rust", 1), ("compiler", "owned_by", "team-x", 2)]
    assert len({r["score"] for r in records}) == 1 and all(len(r["id"]) == 64 for r in records)
    wider = run(*ask, "--scope", "org", "--json").json()
    assert ("parser", "reviewed_by", "bob") in {(r["subject"], r["predicate"], r["object"]) for r in wider}

    lines = run(*ask, "--format", "lines", "--limit", "2")
    assert lines.stdout.splitlines() == ["parser written_in C++", "parser part_of compiler"]
    table = run(*ask).stdout.splitlines()
    assert table[0] == "hits" and table[3].split()[1:] == ["parser", "written_in", "C++"]
    assert "1 hop from the hits" in table and table[-1] == (
        "3 facts: 1 hit, 2 of user 'alice' in organisation 'acme' around them")

    assert run("delete-context", "--org", "acme", "--slice", "code", "--keep-vectors").returncode == 0
    searched = run("search", "parser written in", "--user", "alice", "--org", "acme", "-k", "1", "--json").json()
    assert searched[0]["object"] == "C++"  # its document stayed behind
    assert [r["object"] for r in run(*ask, "--json").json()] == []
