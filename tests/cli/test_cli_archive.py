"""Backup, damage, restore; export, then load into a new store."""

from __future__ import annotations

import json
import random

import duckdb
import pytest

from cli_support import kgraph, write_jsonl

FACTS = [{"subject": f"s{i}", "predicate": "p", "object": f"o{i % 50}", "user_id": f"u{i % 3}",
          "org_id": "acme" if i % 5 else "beta", "metadata": {"n": i, "tags": ["x"] * (i % 3)}} for i in range(3000)]
ODD = [{"subject": "", "predicate": "ünï", "object": "o|x", "metadata": {"nan": float("nan"), "inf": [float("inf")]}},
       {"subject": "a", "predicate": "b", "object": "c", "user_id": "u0", "org_id": "acme",
        "metadata": {"big": "z" * 200_000}}]


@pytest.fixture
def graph(tmp_path):
    # json.dumps writes NaN and Infinity, which the loader accepts.
    write_jsonl(tmp_path / "f.jsonl", FACTS + ODD)
    assert kgraph("--path", "g", "load", "f.jsonl", cwd=tmp_path).returncode == 0
    return tmp_path


def exported(cwd, path="g"):
    run = kgraph("--path", path, "export", cwd=cwd)
    assert run.returncode == 0, run
    return run.stdout


def without_created_at(text):
    return sorted(json.dumps({k: v for k, v in json.loads(line).items() if k != "created_at"}, sort_keys=True)
                  for line in text.splitlines())


def data_block(db_file):
    """The byte offset of a block holding the facts' subjects."""
    with duckdb.connect(str(db_file), read_only=True) as conn:
        (block,) = conn.execute("SELECT max(block_id) FROM pragma_storage_info('facts') "
                                "WHERE column_name = 'subject'").fetchone()
        (size,) = conn.execute("SELECT block_size FROM pragma_database_size()").fetchone()
    return 3 * 4096 + block * size + 64  # after the file's three headers


def test_backup_then_damage_then_restore(graph):
    before = exported(graph)
    run = kgraph("--path", "g", "backup", "bk", cwd=graph)
    assert run.returncode == 0 and "3,002 facts and 3,002 documents" in run.stdout, run
    manifest = json.loads((graph / "bk" / "manifest.json").read_text())
    assert set(manifest["files"]) == {"kgraph.duckdb", "vectors/vectorstore.jsonl", "vectors/vectorstore.vec",
                                      "vectors/vectorstore.idx"}
    db = graph / "g" / "kgraph.duckdb"
    with open(db, "r+b") as f:
        f.seek(data_block(db))
        f.write(random.Random(1).randbytes(3000))

    check = kgraph("--path", "g", "check", cwd=graph)
    assert check.returncode == 1 and check.stdout.startswith("kgraph.duckdb: the database file is damaged"), check
    assert "restore a backup" in check.stdout
    query = kgraph("--path", "g", "export", cwd=graph)
    assert query.returncode == 1 and "the database file is damaged" in query.stderr, query
    assert "another kgraph process" not in query.stderr + check.stdout

    refused = kgraph("--path", "g", "restore", "bk", cwd=graph)
    assert refused.returncode == 1 and "--yes" in refused.stderr and "nothing was changed" in refused.stderr
    run = kgraph("--path", "g", "restore", "bk", "--yes", cwd=graph)
    assert run.returncode == 0 and "restored 3,002 facts and 3,002 documents" in run.stdout, run
    assert kgraph("--path", "g", "check", cwd=graph).returncode == 0
    assert exported(graph) == before


@pytest.mark.parametrize("damage", ["a file changed", "a file missing", "manifest missing"])
def test_a_damaged_backup_changes_nothing(graph, damage):
    assert kgraph("--path", "g", "backup", "bk", cwd=graph).returncode == 0
    vectors = graph / "bk" / "vectors" / "vectorstore.vec"
    if damage == "a file changed":
        with open(vectors, "r+b") as f:
            f.seek(100)
            f.write(b"\0")
    else:
        (graph / "bk" / ("manifest.json" if damage == "manifest missing" else "vectors/vectorstore.vec")).unlink()
    target = graph / "other"
    run = kgraph("--path", target, "restore", "bk", cwd=graph)
    assert run.returncode == 1 and "nothing was changed" in run.stderr, run
    assert not (target / "kgraph.duckdb").exists()


def test_export_then_load_into_a_new_store_gives_the_same_graph(graph):
    text = exported(graph)
    lines = text.splitlines()
    assert len(lines) == 3002
    records = [json.loads(line, parse_constant=lambda word: pytest.fail(f"not strict JSON: {word}"))
               for line in lines]
    assert set(records[0]) == {"id", "created_at", "subject", "predicate", "object", "user_id", "org_id", "metadata"}
    (graph / "out.jsonl").write_text(text, encoding="utf-8")
    run = kgraph("--path", "copy", "load", "out.jsonl", cwd=graph)
    assert run.returncode == 0 and "written 3,002" in run.stdout and "created_at of the input is not kept" in run.stdout
    odd = next(r for r in records if r["predicate"] == "ünï")
    assert odd["metadata"] == {"nan": None, "inf": [None]}  # JSON has no NaN: null
    assert without_created_at(exported(graph, "copy")) == without_created_at(text)
    stats = [kgraph("--path", p, "stats", "--json", cwd=graph).json() for p in ("g", "copy")]
    assert [{k: s[k] for k in ("facts", "organisations", "users", "vector_documents")} for s in stats] == \
        [{"facts": 3002, "organisations": 2, "users": 3, "vector_documents": 3002}] * 2

    # An id that is not the fact's own is refused (the fact was edited).
    records[0]["subject"] = "edited"
    write_jsonl(graph / "edited.jsonl", [records[0]])
    edited = kgraph("--path", "copy", "load", "edited.jsonl", cwd=graph)
    assert edited.returncode == 1 and "is not this fact's id" in edited.stderr


def test_parquet_export_reads_back_in_any_engine(graph):
    run = kgraph("--path", "g", "export", "--format", "parquet", "-o", "facts.parquet", cwd=graph)
    assert run.returncode == 0, run
    with duckdb.connect() as conn:
        columns = [row[0] for row in conn.execute("DESCRIBE SELECT * FROM 'facts.parquet'".replace(
            "facts.parquet", str(graph / "facts.parquet"))).fetchall()]
        (n, metadata, odd) = conn.execute(f"SELECT count(*), max(metadata) FILTER (subject = 's7'), "
                                          f"max(metadata) FILTER (predicate = 'ünï') "
                                          f"FROM '{graph / 'facts.parquet'}'").fetchone()
    assert columns == ["id", "created_at", "subject", "predicate", "object", "user_id", "org_id", "metadata"]
    assert n == 3002 and json.loads(metadata) == FACTS[7]["metadata"] | {"user_id": "u1", "org_id": "acme"}
    # Strict JSON, as --json writes: JSON has no NaN.
    assert json.loads(odd, parse_constant=lambda word: pytest.fail(f"not strict JSON: {word}")) == \
        {"nan": None, "inf": [None]}
    assert "1 fact had NaN or infinite numbers" in run.stdout


@pytest.mark.parametrize("size", [lambda n: n // 2, lambda n: 0], ids=["cut short", "emptied"])
def test_a_truncated_database_is_reported_as_damaged_with_what_to_do(graph, size):
    db = graph / "g" / "kgraph.duckdb"
    with open(db, "r+b") as f:
        f.truncate(size(db.stat().st_size))
    for argv in (["stats"], ["load", "f.jsonl"]):
        run = kgraph("--path", "g", *argv, cwd=graph)
        assert run.returncode == 1 and len(run.error_lines) == 1, run
        assert "the database file is damaged" in run.stderr and "'kgraph check'" in run.stderr, run
        assert "'kgraph restore BACKUP_DIR --yes'" in run.stderr
    check = kgraph("--path", "g", "check", cwd=graph)
    assert check.returncode == 1 and check.stdout.startswith("kgraph.duckdb: the database file is damaged"), check
